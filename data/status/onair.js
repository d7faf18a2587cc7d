// The on-air view for a wall monitor: per channel what plays, its time left in large type,
// what comes next, and the next timed start; the same API as the status page.
"use strict";

let view = null;
const $ = (id) => document.getElementById(id);

function build() {
  const box = Show.element("section", "channel");
  for (const name of ["name", "slug", "story", "left", "times"]) Show.element("div", name, box);
  Show.element("div", "", Show.element("div", "bar", box));
  Show.element("div", "next", box);
  Show.element("div", "timed", box);
  return box;
}

function show(box, c) {
  const [name, slug, story, , , , next, timed] = box.children;
  const a = c.onAir;
  Show.classes(box, "channel" + (a ? " live" : ""));
  Show.text(name, c.name + (a ? " \u00b7 ON AIR" : ""));
  Show.text(slug, a ? a.itemSlug || a.itemID : "nothing on air");
  Show.text(story, a ? a.storyID + (a.storySlug ? " " + a.storySlug : "") + " \u00b7 " + a.roID : "");
  const n = c.next;
  const start = n && (n.expectedStart || n.plannedStart);
  Show.text(next, n ? "NEXT " + (n.itemSlug || n.itemID) + (start ? " " + Show.clock(start) : "") +
    (n.ready ? "" : " \u2014 NOT READY") : "NEXT \u2014");
  Show.classes(next, "next" + (n && !n.ready ? " notready" : ""));
  timed.hidden = !c.timedStart;
  Show.classes(timed, "timed" + (c.timedStart && c.timedStart.clash ? " clash" : ""));
}

function tick() {
  Show.showTrust($("stale"));
  const now = Show.now();
  if (now !== null) Show.text($("clock"), Show.clock(now) + " " + Show.zone());
  if (!view || now === null) return;
  for (const c of view.channels) {
    const box = Array.from($("channels").children).find((b) => b.dataset.key === String(c.index));
    if (!box) continue;
    const a = c.onAir;
    const [, , , left, times, bar, , timed] = box.children;
    if (a) {
      const total = a.durationSeconds;
      const elapsed = Show.elapsed(a, now);
      Show.text(left, a.paused ? "PAUSED" : "-" + Show.countdown(total - elapsed));
      Show.text(times, Show.countdown(elapsed, true) + " / " + Show.countdown(total, true) +
        (a.paused ? "" : " \u00b7 ends " + Show.clock(a.ends)));
      bar.firstElementChild.style.width = (total > 0 ? 100 * elapsed / total : 0).toFixed(2) + "%";
    } else {
      Show.text(left, "");
      Show.text(times, "");
      bar.firstElementChild.style.width = "0%";
    }
    const t = c.timedStart;
    if (t) {
      Show.text(timed, t.roID + " in " + Show.countdown((Date.parse(t.at) - now) / 1000) +
        (t.clash ? " \u2014 CUTS " + t.clash.storyID + " WITH " + t.clash.secondsLeft.toFixed(1) +
          " s LEFT" : ""));
    }
  }
}

async function refresh() {
  try {
    view = await Show.get("api/onair");
    Show.heard(view.now, view.zone);
    Show.text($("badge"), view.badge.text);
    Show.classes($("badge"), "badge " + view.badge.level);
    Show.alarms($("alarms"), view.alarms);
    Show.sync($("channels"), view.channels, (c) => c.index, build, show);
  } catch (error) {
    Show.failed(error);
  }
  tick();
}

function loop() {
  refresh().finally(() => setTimeout(loop, 1000));
}

loop();
setInterval(tick, 200);
