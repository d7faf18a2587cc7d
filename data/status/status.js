// The status page: a client of the JSON API. The on-air picture, state and journal are asked
// for once a second, one round at a time; the running orders only when their version has
// moved. Between answers the bars and countdowns run on the server's clock carried forward.
"use strict";

const kJournalRows = 50;
const kRefreshMs = 1000;

let onair = null;          // the last /api/onair
let channelsVersion = "";  // of the running orders shown
const openEntries = new Map();  // journal entries shown whole: number -> text

const $ = (id) => document.getElementById(id);

function cell(row, index, value, className) {
  while (row.cells.length <= index) row.insertCell();
  const td = row.cells[index];
  Show.text(td, value);
  td.title = value === null || value === undefined ? "" : String(value);
  if (className !== undefined) Show.classes(td, className);
  return td;
}

// The pair: this server's role, its peer and the link, red while the pair does not protect
// the air (a main alone, a backup that hears no main, a link refused).
function showPair(pair) {
  const el = $("pair");
  el.hidden = !pair;
  if (!pair) return;
  const behind = pair.role === "main" && pair.behind > 0 ? ", " + pair.behind + " behind" : "";
  Show.text(el, pair.role.toUpperCase() + " (epoch " + pair.epoch + ") \u00b7 " +
    (pair.role === "main" ? "backup " : "main ") + pair.peer + " " + pair.link + behind +
    (pair.degraded ? " \u00b7 ALONE" : ""));
  const bad = pair.degraded || pair.link === "refused" ||
    (pair.role === "backup" && pair.link === "down");
  Show.classes(el, "badge " + (bad ? "alarm" : pair.link === "in step" ? "ok" : "warn"));
}

function showHeader(view, state) {
  Show.text($("badge"), view.badge.text);
  Show.classes($("badge"), "badge " + view.badge.level);
  Show.text($("state"), view.state + (view.phase === "serving" ? "" : " \u00b7 " + view.phase));
  showPair(view.pair);
  if (state) {
    const s = state.store;
    Show.text($("store"), !s ? "running orders in memory only"
      : !s.open ? "state database " + s.database + " (" + (view.phase === "stopping"
        ? "being closed" : view.phase === "starting" ? "being opened" : "closed") + ")"
      : "running orders saved in " + s.database + " (" + (s.bytes / 1048576).toFixed(1) +
        " MiB, last commit " + (s.lastCommit ? Show.clock(s.lastCommit) : "none") + ", " +
        s.restoredAtStart + " restored at start)");
    const m = state.media;
    Show.text($("media"), !m ? "" : !m.present ? "media folder " + m.folder + " is NOT there"
      : !m.firstScanComplete || m.scanning
        ? "media folder " + m.folder + ": " + m.found + " files found, " + m.probed +
          " probed, " + (m.found - m.probed) + " left"
        : m.objects + " media objects in " + m.folder);
  }
}

// The panels: built once per channel, their numbers moved by tick().
function showOnAir(view) {
  Show.sync($("onair"), view.channels, (c) => c.index, () => {
    const box = Show.element("div", "panel");
    Show.element("h3", "", box);
    Show.element("div", "title", box);
    Show.element("div", "muted story", box);
    Show.element("div", "times", box);
    Show.element("div", "", Show.element("div", "bar", box));
    Show.element("div", "next", box);
    Show.element("div", "timed", box);
    return box;
  }, (box, c) => {
    const [h, title, story, , , next, timed] = box.children;
    Show.text(h, c.name);
    Show.classes(box, "panel" + (c.onAir ? " live" : ""));
    const a = c.onAir;
    Show.text(title, a ? (a.itemSlug || a.itemID) : "nothing on air");
    title.title = title.textContent;
    Show.text(story, a ? a.roID + " \u00b7 " + a.storyID + (a.storySlug ? " " + a.storySlug : "") +
      " \u00b7 item " + a.itemID : "");
    showNext(next, c);
    showTimed(timed, c);
  });
}

function showNext(element, c) {
  const n = c.next;
  if (!n) {
    Show.text(element, "next: none");
    Show.classes(element, "next muted");
    return;
  }
  const start = n.expectedStart || n.plannedStart;
  Show.text(element, "next: " + (n.itemSlug || n.itemID) + " (" + n.storyID + ")" +
    (start ? " at " + Show.clock(start) : n.trigger === "MANUAL" ? " on command" : "") +
    " \u00b7 " + n.state + (n.ready ? "" : " \u2014 NOT READY TO PLAY"));
  element.title = element.textContent;
  Show.classes(element, "next" + (n.ready ? "" : " notready"));
}

function showTimed(element, c) {
  element.hidden = !c.timedStart;
  Show.classes(element, "timed" + (c.timedStart && c.timedStart.clash ? " clash" : ""));
}

// Live numbers: elapsed, remaining, bars and countdowns on the server's clock.
function tick() {
  Show.showTrust($("stale"));
  const now = Show.now();
  if (now !== null) Show.text($("clock"), Show.clock(now) + " " + Show.zone());
  if (!onair || now === null) return;
  for (const c of onair.channels) {
    const box = child($("onair"), c.index);
    if (!box) continue;
    const times = box.children[3];
    const bar = box.children[4].firstElementChild;
    const a = c.onAir;
    if (a) {
      const total = a.durationSeconds;
      const elapsed = Show.elapsed(a, now);
      Show.text(times, Show.countdown(elapsed, true) + " of " + Show.countdown(total, true) + " \u00b7 " +
        (a.paused ? "PAUSED" : Show.countdown(total - elapsed) + " left, ends " + Show.clock(a.ends)));
      bar.style.width = (total > 0 ? (100 * elapsed / total).toFixed(2) : 0) + "%";
    } else {
      Show.text(times, "");
      bar.style.width = "0%";
    }
    if (c.timedStart) {
      Show.text(box.children[6], timedText(c.timedStart, now));
    }
  }
}

// "LATE-2200 starts in 0:42 and cuts S4 with 5.5 s left", counted down on the page.
function timedText(t, now) {
  const left = (Date.parse(t.at) - now) / 1000;
  let text = t.roID + (t.roSlug ? " \u201c" + t.roSlug + "\u201d" : "") + " (TIMED) starts in " +
    Show.countdown(left) + " at " + Show.clock(t.at);
  if (t.clash) {
    text += " and cuts " + t.clash.storyID + " with " + t.clash.secondsLeft.toFixed(1) + " s left";
  }
  return text;
}

function totalsText(t, rate) {
  if (!t) return "";
  let text = "planned " + Show.timecode(t.plannedSeconds, rate) +
    (t.plannedFrom === "roEdDur" ? " (roEdDur)" : " (sum of items)") + " \u00b7 played " +
    Show.timecode(t.playedSeconds, rate) + " \u00b7 remaining " +
    Show.timecode(t.remainingSeconds, rate) + " \u00b7 ends " + Show.clock(t.estimatedEnd);
  if (t.overUnderSeconds !== null) {
    text += " \u00b7 " + (t.overUnderSeconds > 0 ? "over " : "under ") +
      Show.timecode(Math.abs(t.overUnderSeconds), rate) + " against " + Show.clock(t.plannedEnd);
  }
  return text;
}

function itemState(it) {
  if (it.cut) return "CUT (" + it.cut.secondsLeft.toFixed(1) + " s left)";
  if (it.skipped) return "NOT READY \u2014 skipped";
  return it.state;
}

function nrcsText(view) {
  return view ? view.status + (view.time ? " at " + Show.clock(view.time) : "") : "";
}

// The channel's box among the children of parent, without searching the rows below it.
function child(parent, key) {
  for (const c of parent.children) if (c.dataset.key === String(key)) return c;
  return null;
}

// Whether a running order has the item on air, as the last on-air picture says.
function isOnAir(channelIndex, roID) {
  const c = onair && onair.channels.find((x) => x.index === channelIndex);
  return !!(c && c.onAir && c.onAir.roID === roID);
}

// Each running order folds: open at first when it is on air or the channel's first, its
// rows drawn only while it is open, so a day's worth of running orders stays light.
function showChannels(list) {
  Show.sync($("channels"), list.channels, (c) => c.index, () => {
    const box = Show.element("div", "channel");
    Show.element("h3", "", box);
    Show.element("div", "", box);
    return box;
  }, (box, c) => {
    Show.text(box.children[0], c.name + " (" + c.player + ")" +
      (c.runningOrders.length ? "" : ": no running order"));
    Show.sync(box.children[1], c.runningOrders, (r) => r.roID, () => {
      const part = Show.element("details", "ro");
      const summary = Show.element("summary", "", part);
      Show.element("span", "ro-title", summary);
      Show.element("div", "totals muted", summary);
      const table = Show.element("table", "", part);
      table.createTHead().innerHTML = "<tr><th>story</th><th>item</th><th>object</th>" +
        "<th>state</th><th>NRCS says</th><th>planned start</th><th>length</th></tr>";
      table.createTBody();
      Show.element("div", "texts", part);
      part.addEventListener("toggle", () => { if (part.open) loadRows(part); });
      return part;
    }, (part, r) => {
      part.ro = r;
      part.channel = c;
      if (!part.dataset.seen) {
        part.dataset.seen = "1";
        part.open = c.runningOrders[0] === r || isOnAir(c.index, r.roID);
      }
      showRo(part, r);
      if (part.open) loadRows(part);
    });
  });
}

function showRo(part, r) {
  Show.text(part.firstElementChild.firstElementChild, "running order " + r.roID +
    (r.roSlug ? " \u2013 " + r.roSlug : "") +
    " (" + r.trigger + (r.trigger === "TIMED" ? (r.timedStartUsed ? ", started" : "") +
      (r.start ? " at " + Show.clock(r.start) : "") : "") + ")" +
    (r.readyToAir ? ", NRCS says " + r.readyToAir + " to air" : "") +
    (r.nrcs ? ", NRCS: " + nrcsText(r.nrcs) : ""));
}

// The stories of an open running order, asked for when its version has moved since they
// were drawn.
async function loadRows(part) {
  const wanted = part.ro.version;
  if (part.drawnVersion === wanted || part.loading === wanted) return;
  part.loading = wanted;
  try {
    const detail = await Show.get("api/ro?channel=" + part.channel.index + "&roID=" +
      encodeURIComponent(part.ro.roID));
    showRows(part, detail);
    part.drawnVersion = detail.version === wanted ? wanted : undefined;
  } catch (error) {
    Show.text(part.children[2], "the running order cannot be shown: " + error.message);
  } finally {
    part.loading = undefined;
  }
}

function showRows(part, r) {
  const c = part.channel;
  const rows = [];
  const seen = new Map();
  for (const st of r.stories) {
    for (const it of st.items) {
      const k = st.storyID + "/" + it.itemID;
      const n = (seen.get(k) || 0) + 1;
      seen.set(k, n);
      rows.push({ key: k + (n > 1 ? "#" + n : ""), story: st, item: it });
    }
  }
  Show.sync(part.children[1].tBodies[0], rows, (x) => x.key, () => document.createElement("tr"),
    (tr, x) => {
      const it = x.item;
      Show.classes(tr, it.state.replace(" ", "-") + (it.cut ? " cut" : ""));
      tr.dataset.item = r.roID + "/" + x.story.storyID + "/" + it.itemID;
      cell(tr, 0, x.story.storyID + (x.story.storySlug ? " " + x.story.storySlug : ""));
      cell(tr, 1, it.itemID + (it.itemSlug ? " " + it.itemSlug : ""));
      cell(tr, 2, it.objID);
      cell(tr, 3, itemState(it), "item-state");
      cell(tr, 4, nrcsText(it.nrcs || x.story.nrcs));
      cell(tr, 5, it.start ? Show.clock(it.start) : "");
      cell(tr, 6, Show.timecode(it.durationSeconds, c.frameRate));
    });
  const texts = r.stories.filter((st) => st.storyBody);
  Show.sync(part.children[2], texts, (st) => st.storyID, () => {
    const body = document.createElement("details");
    Show.element("summary", "", body);
    Show.element("pre", "", body);
    return body;
  }, (body, st) => {
    Show.text(body.children[0], "story text of " + st.storyID + (st.storySlug ? " " + st.storySlug : ""));
    Show.text(body.children[1], st.storyBody);
  });
}

// The running orders' totals come with the on-air picture, every second.
function showTotals(view) {
  for (const c of view.channels) {
    const box = child($("channels"), c.index);
    if (!box) continue;
    for (const t of c.runningOrders) {
      const part = child(box.children[1], t.roID);
      if (!part) continue;
      const line = part.firstElementChild.children[1];
      Show.text(line, totalsText(t, c.frameRate));
      Show.classes(line, "totals " + (t.overUnderSeconds > 0.5 ? "over"
        : t.overUnderSeconds !== null && t.overUnderSeconds < -0.5 ? "under" : "muted"));
    }
  }
}

function ago(seconds) {
  return seconds === null ? "never" : Show.countdown(seconds, true) + " ago";
}

function showLinks(links) {
  const body = $("links").tBodies[0];
  if (!links.length) {
    Show.sync(body, [{ none: true }], () => "none", () => document.createElement("tr"),
      (tr) => cell(tr, 0, "no NRCS has connected yet"));
    return;
  }
  Show.sync(body, links, (l) => l.host, () => document.createElement("tr"), (tr, l) => {
    Show.classes(tr, l.status === "lost" ? "problem" : "");
    cell(tr, 0, l.host + (l.nrcs ? " (" + l.nrcs + (l.active ? ", active" : "") + ")" : ""));
    cell(tr, 1, l.status + (l.connected ? " (" + l.connections + " connection" +
      (l.connections === 1 ? "" : "s") + ")" : ""));
    cell(tr, 2, ago(l.lastMessageAgeSeconds));
    cell(tr, 3, ago(l.lastHeartbeatAgeSeconds));
    cell(tr, 4, l.lastAckMessageID ? "#" + l.lastAckMessageID + ", " + ago(l.lastAckAgeSeconds)
      : "none");
    cell(tr, 5, l.noticesWaiting + (l.noticeSender ? " (sender on)" : ""));
    cell(tr, 6, !l.resync || !l.resync.requested ? "not asked yet"
      : l.resync.requested + " time(s), last at " + Show.clock(l.resync.last) + "; " +
        l.resync.stored + " stored, " + l.resync.waiting + " waiting");
  });
}

function showJournal(j) {
  Show.text($("journal-count"), "(" + j.count + " entries)");
  const rows = [];
  for (const e of j.entries) {
    rows.push({ key: "e" + e.number, entry: e });
    if (openEntries.has(e.number)) rows.push({ key: "t" + e.number, text: e.number });
  }
  Show.sync($("journal").tBodies[0], rows, (x) => x.key, (x) => {
    const tr = document.createElement("tr");
    if (x.entry) {
      const number = x.entry.number;
      tr.addEventListener("click", () => toggleEntry(number));
    } else {
      tr.className = "entry-text";
      const td = tr.insertCell();
      td.colSpan = 5;
      Show.element("pre", "", td);
    }
    return tr;
  }, (tr, x) => {
    if (x.entry) {
      const e = x.entry;
      cell(tr, 0, e.number);
      cell(tr, 1, Show.dateTime(e.time));
      cell(tr, 2, e.direction === 1 ? "in" : "out");
      cell(tr, 3, e.clientId);
      cell(tr, 4, e.preview);
    } else {
      Show.text(tr.cells[0].firstElementChild, openEntries.get(x.text));
    }
  });
}

async function toggleEntry(number) {
  if (openEntries.has(number)) {
    openEntries.delete(number);
  } else {
    let text;
    try {
      const e = await Show.get("api/journal/" + number);
      text = "#" + number + " " + Show.dateTime(e.time) + "\n" + e.text;
    } catch (error) {
      text = "#" + number + " cannot be shown: " + error.message;
    }
    openEntries.clear();  // one at a time, so memory does not grow over a day
    openEntries.set(number, text);
  }
  if (lastJournal) showJournal(lastJournal);
}
let lastJournal = null;

function frames(count, seconds, rate) {
  return count === null ? "" : Show.timecode(seconds, rate);
}

function showReadiness(sheet) {
  const list = [];
  for (const ch of sheet.channels) {
    for (const r of ch.runningOrders) list.push({ ch, r });
  }
  Show.sync($("readiness"), list, (x) => x.ch.name + "/" + x.r.roID, () => {
    const part = document.createElement("div");
    Show.element("h3", "", part);
    const table = Show.element("table", "", part);
    table.createTHead().innerHTML = "<tr><th>story / item</th><th>state</th><th>file</th>" +
      "<th>file length</th><th>planned</th><th>over / under</th></tr>";
    table.createTBody();
    return part;
  }, (part, x) => {
    const r = x.r;
    const rate = x.ch.frameRate;
    Show.text(part.children[0], x.ch.name + ": " + r.roID + (r.roSlug ? " \u201c" + r.roSlug +
      "\u201d" : "") + " \u2014 " + r.missing + " missing, " + r.unplayable +
      " unplayable; planned " + Show.timecode(r.plannedSeconds, rate) + ", available " +
      Show.timecode(r.availableSeconds, rate));
    Show.sync(part.children[1].tBodies[0], r.items, (i) => i.storyID + "/" + i.itemID,
      () => document.createElement("tr"), (tr, i) => {
        Show.classes(tr, i.problem ? "problem" : "");
        cell(tr, 0, i.storyID + " / " + i.itemID);
        cell(tr, 1, i.problem ? i.state + " (" + (i.reason || i.problem) + ")" : i.state);
        cell(tr, 2, i.file);
        cell(tr, 3, frames(i.fileFrames, i.fileSeconds, rate));
        cell(tr, 4, frames(i.plannedFrames, i.plannedSeconds, rate));
        cell(tr, 5, i.differenceFrames === null ? "" : i.differenceFrames === 0 ? "exact fit"
          : (i.differenceFrames > 0 ? "over " : "under ") +
            Show.timecode(Math.abs(i.differenceSeconds), rate));
      });
  });
}

// How long the last update of the page took once its data were in (ms), for measuring.
let lastUpdateMs = 0;

async function refresh() {
  const [view, state, channels, journal] = await Promise.allSettled([
    Show.get("api/onair"), Show.get("api/state"),
    Show.get("api/channels?outline=1&unless=" + encodeURIComponent(channelsVersion)),
    Show.get("api/journal?limit=" + kJournalRows)]);
  const started = performance.now();
  if (view.status === "fulfilled") {
    onair = view.value;
    Show.heard(onair.now, onair.zone);
    showHeader(onair, state.status === "fulfilled" ? state.value : null);
    Show.alarms($("alarms"), onair.alarms);
    showOnAir(onair);
    showLinks(onair.links);
  } else {
    Show.failed(view.reason);
  }
  if (channels.status === "fulfilled" && !channels.value.unchanged) {
    showChannels(channels.value);
    channelsVersion = channels.value.version;
    // Readiness changes only with the running orders' states: asked for with them.
    Show.get("api/readiness").then(showReadiness, (error) => {
      Show.text($("readiness"), "the readiness sheet cannot be shown: " + error.message);
    });
  }
  if (onair && view.status === "fulfilled") showTotals(onair);
  if (journal.status === "fulfilled") {
    lastJournal = journal.value;
    showJournal(journal.value);
  }
  tick();
  lastUpdateMs = performance.now() - started;
}

// One round at a time: a server that is slow or gone never piles up requests.
function loop() {
  refresh().catch(Show.failed).finally(() => setTimeout(loop, kRefreshMs));
}

loop();
setInterval(tick, 200);
