// Polls the server's JSON API once a second and redraws the page from it.
"use strict";

const kJournalRows = 50;

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function fill(tbody, rows, build) {
  tbody.replaceChildren();
  for (const r of rows) {
    const tr = document.createElement("tr");
    build(tr, r);
    tbody.appendChild(tr);
  }
}

async function get(path) {
  const response = await fetch(path, { cache: "no-store" });
  if (!response.ok) throw new Error(path + ": " + response.status);
  return response.json();
}

function showState(s) {
  const state = document.getElementById("state");
  state.textContent = s.state;
  state.className = "state " + s.state;
  document.getElementById("age").textContent =
    s.newestMessageAgeSeconds === null ? "no messages" : "newest message " +
      s.newestMessageAgeSeconds.toFixed(1) + " s ago";
  document.getElementById("ports").textContent =
    s.lowerPort ? "ports " + s.lowerPort + " / " + s.upperPort : "";
  document.getElementById("store").textContent = s.store
    ? "running orders saved in " + s.store.database + " (" +
      (s.store.bytes / 1048576).toFixed(1) + " MiB, last commit " +
      (s.store.lastCommit || "none") + ", " + s.store.restoredAtStart + " restored at start)"
    : "running orders in memory only";
  const m = s.media;
  document.getElementById("media").textContent = !m ? "" : !m.present
    ? "media folder " + m.folder + " is NOT there"
    : !m.firstScanComplete || m.scanning
      ? "media folder " + m.folder + ": " + m.found + " files found, " + m.probed +
        " probed, " + (m.found - m.probed) + " left"
      : m.objects + " media objects in " + m.folder;
}

function showPeers(p) {
  fill(document.querySelector("#peers tbody"), p.connections, (tr, c) => {
    cell(tr, c.peer);
    cell(tr, c.port);
    cell(tr, c.receivedNumber + " / " + c.answerNumber);
    cell(tr, c.since);
  });
  document.getElementById("senders").textContent =
    p.noticeSenders + " notice sender(s) to NRCS upper ports, " + p.objectSenders +
    " object sender(s) to NRCS lower ports";
  document.getElementById("resync").textContent = p.resync.map((r) =>
    "NRCS " + r.host + " asked " + r.requested + " time(s) for running orders (last " +
    r.last + "), " + r.stored + " stored, " + r.waiting + " waiting").join("; ");
}

// What the NRCS reported of an element with its own roElementStat.
function nrcsText(view) {
  return view ? view.status + (view.time ? " at " + view.time : "") : "";
}

function showChannels(list) {
  const root = document.getElementById("channels");
  root.replaceChildren();
  for (const ch of list.channels) {
    const box = document.createElement("div");
    box.className = "channel";
    box.id = "channel-" + ch.index;
    const title = document.createElement("h3");
    title.textContent = ch.name + " (" + ch.player + ")";
    box.appendChild(title);
    const onair = document.createElement("p");
    onair.className = ch.playing ? "onair" : "muted";
    onair.textContent = ch.playing
      ? "on air: " + ch.playing.roID + " / " + ch.playing.storyID + " / " + ch.playing.itemID +
        ", " + ch.playing.remainingSeconds.toFixed(1) + " s left"
      : "nothing on air";
    box.appendChild(onair);
    for (const ro of ch.runningOrders) {
      const h = document.createElement("p");
      h.textContent = "running order " + ro.roID + (ro.roSlug ? " – " + ro.roSlug : "") +
        " (" + ro.trigger + ")" +
        (ro.readyToAir ? ", NRCS says " + ro.readyToAir + " to air" : "") +
        (ro.nrcs ? ", NRCS: " + nrcsText(ro.nrcs) : "");
      box.appendChild(h);
      const table = document.createElement("table");
      table.innerHTML = "<thead><tr><th>story</th><th>item</th><th>object</th>" +
        "<th>state</th><th>NRCS says</th><th>planned start</th><th>duration (s)</th></tr>" +
        "</thead><tbody></tbody>";
      const rows = [];
      for (const st of ro.stories) {
        for (const it of st.items) rows.push({ story: st, item: it });
      }
      fill(table.querySelector("tbody"), rows, (tr, r) => {
        tr.className = r.item.state;
        tr.dataset.item = ro.roID + "/" + r.story.storyID + "/" + r.item.itemID;
        cell(tr, r.story.storyID + (r.story.storySlug ? " " + r.story.storySlug : ""));
        cell(tr, r.item.itemID);
        cell(tr, r.item.objID);
        cell(tr, r.item.state, "item-state");
        cell(tr, nrcsText(r.item.nrcs || r.story.nrcs));
        cell(tr, r.item.start);
        cell(tr, r.item.durationSeconds.toFixed(2));
      });
      box.appendChild(table);
      for (const st of ro.stories) {
        if (!st.storyBody) continue;
        const body = document.createElement("details");
        const summary = document.createElement("summary");
        summary.textContent = "story text of " + st.storyID;
        const text = document.createElement("pre");
        text.textContent = st.storyBody;
        body.append(summary, text);
        box.appendChild(body);
      }
    }
    root.appendChild(box);
  }
}

function showJournal(j) {
  document.getElementById("journal-count").textContent = "(" + j.count + " entries)";
  fill(document.querySelector("#journal tbody"), j.entries, (tr, e) => {
    cell(tr, e.number);
    cell(tr, e.time);
    cell(tr, e.direction === 1 ? "in" : "out");
    cell(tr, e.clientId);
    cell(tr, e.preview);
    tr.addEventListener("click", () => showEntry(e.number));
  });
}

async function showEntry(number) {
  const pre = document.getElementById("journal-text");
  try {
    const e = await get("api/journal/" + number);
    pre.textContent = "#" + number + " " + e.time + "\n" + e.text;
  } catch (error) {
    pre.textContent = String(error);
  }
  pre.hidden = false;
}

function frames(count, seconds) {
  return count === null ? "" : count + " fr (" + seconds.toFixed(2) + " s)";
}

function showReadiness(sheet) {
  const root = document.getElementById("readiness");
  root.replaceChildren();
  for (const ch of sheet.channels) {
    for (const r of ch.runningOrders) {
      const title = document.createElement("h3");
      title.textContent = ch.name + ": " + r.roID + (r.roSlug ? " \u201c" + r.roSlug +
        "\u201d" : "") + " \u2014 " + r.missing + " missing, " + r.unplayable +
        " unplayable; planned " + frames(r.plannedFrames, r.plannedSeconds) + ", available " +
        frames(r.availableFrames, r.availableSeconds);
      root.appendChild(title);
      const table = document.createElement("table");
      table.innerHTML = "<thead><tr><th>story / item</th><th>state</th><th>file</th>" +
        "<th>file length</th><th>planned</th><th>over / under</th></tr></thead><tbody></tbody>";
      fill(table.querySelector("tbody"), r.items, (tr, i) => {
        if (i.problem) tr.className = "problem";
        cell(tr, i.storyID + " / " + i.itemID);
        cell(tr, i.problem ? i.state + " (" + (i.reason || i.problem) + ")" : i.state);
        cell(tr, i.file);
        cell(tr, frames(i.fileFrames, i.fileSeconds));
        cell(tr, frames(i.plannedFrames, i.plannedSeconds));
        cell(tr, i.differenceFrames === null ? "" : (i.differenceFrames >= 0 ? "+" : "") +
          frames(i.differenceFrames, i.differenceSeconds));
      });
      root.appendChild(table);
    }
  }
}

async function refresh() {
  try {
    const [state, peers, channels, readiness, journal] = await Promise.all([
      get("api/state"), get("api/peers"), get("api/channels"), get("api/readiness"),
      get("api/journal?limit=" + kJournalRows)]);
    showState(state);
    showPeers(peers);
    showChannels(channels);
    showReadiness(readiness);
    showJournal(journal);
    document.getElementById("updated").textContent =
      "updated " + new Date().toLocaleTimeString();
  } catch (error) {
    document.getElementById("updated").textContent = "not reachable: " + error.message;
  }
}

refresh();
setInterval(refresh, 1000);
