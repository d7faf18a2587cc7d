// What the status page and the on-air view share: requests with a time limit, the server's
// clock carried forward between answers, station times and lengths written one way, and
// in-place updates that leave open sections, selections and scroll positions alone.
"use strict";

const Show = (() => {
  const kRequestLimitMs = 2500;
  const kStaleAfterMs = 3000;

  // The server's time at the last answer, and this page's monotonic time then: the server's
  // "now" carried forward with performance.now(), so neither a jump of the browser's clock
  // nor a slow answer moves the bars.
  let serverMs = null;
  let serverAt = 0;
  let zoneMinutes = 0;
  let zoneText = "";
  let lastGoodAt = null;
  let lastError = "";

  // A GET of the API, given up after kRequestLimitMs.
  async function get(path) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), kRequestLimitMs);
    try {
      const response = await fetch(path, { cache: "no-store", signal: abort.signal });
      if (!response.ok) throw new Error(path + " answered " + response.status);
      return await response.json();
    } catch (error) {
      if (error.name === "AbortError") {
        throw new Error(path + " gave no answer within " + kRequestLimitMs / 1000 + " s");
      }
      throw error;
    } finally {
      clearTimeout(timer);
    }
  }

  function parseZone(zone) {
    const m = /^([+-])(\d\d):(\d\d)$/.exec(zone || "");
    return m ? (m[1] === "-" ? -1 : 1) * (Number(m[2]) * 60 + Number(m[3])) : 0;
  }

  // An answer that carries the server's now and zone has come.
  function heard(now, zone) {
    const ms = Date.parse(now);
    if (!Number.isNaN(ms)) {
      serverMs = ms;
      serverAt = performance.now();
    }
    zoneMinutes = parseZone(zone);
    zoneText = zone || "";
    lastGoodAt = performance.now();
    lastError = "";
  }

  function failed(error) {
    lastError = String(error && error.message ? error.message : error);
  }

  // The server's time now, in ms since 1970; null before the first answer.
  function now() {
    return serverMs === null ? null : serverMs + (performance.now() - serverAt);
  }

  // How old the data are in ms (null before any), and whether that is too old to trust.
  function age() {
    return lastGoodAt === null ? null : performance.now() - lastGoodAt;
  }
  function stale() {
    const a = age();
    return a === null || a > kStaleAfterMs;
  }

  function pad(n, width) {
    return String(n).padStart(width || 2, "0");
  }

  // "12:01:05" of an ISO 8601 instant (or ms), in station time.
  function clock(when) {
    const ms = typeof when === "number" ? when : Date.parse(when);
    if (when === null || when === undefined || Number.isNaN(ms)) return "";
    const d = new Date(ms + zoneMinutes * 60000);
    return pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes()) + ":" + pad(d.getUTCSeconds());
  }
  // "2026-12-10 12:01:05" in station time.
  function dateTime(when) {
    const ms = typeof when === "number" ? when : Date.parse(when);
    if (when === null || when === undefined || Number.isNaN(ms)) return "";
    const d = new Date(ms + zoneMinutes * 60000);
    return d.getUTCFullYear() + "-" + pad(d.getUTCMonth() + 1) + "-" + pad(d.getUTCDate()) +
      " " + clock(ms);
  }

  // A length as "hh:mm:ss:ff", whole frames down.
  function timecode(seconds, rate) {
    if (seconds === null || seconds === undefined || !Number.isFinite(seconds)) return "";
    const fps = rate > 0 ? rate : 25;
    const sign = seconds < 0 ? "-" : "";
    const whole = Math.abs(seconds);
    const s = Math.floor(whole + 1e-9);
    const f = Math.min(Math.floor((whole - s) * fps + 1e-6), Math.round(fps) - 1);
    return sign + pad(Math.floor(s / 3600)) + ":" + pad(Math.floor(s / 60) % 60) + ":" +
      pad(s % 60) + ":" + pad(f);
  }

  // A countdown as "m:ss" (or "h:mm:ss"), whole seconds up: 0:00 only once it is time. A
  // time counted up (elapsed) goes down to the whole second instead.
  function countdown(seconds, up) {
    if (seconds === null || seconds === undefined || !Number.isFinite(seconds)) return "";
    const sign = seconds < 0 ? "-" : "";
    const s = up ? Math.floor(Math.abs(seconds) + 1e-9) : Math.ceil(Math.abs(seconds) - 1e-9);
    return sign + (s >= 3600
      ? Math.floor(s / 3600) + ":" + pad(Math.floor(s / 60) % 60) + ":" + pad(s % 60)
      : Math.floor(s / 60) + ":" + pad(s % 60));
  }

  // Sets an element's text only when it differs, so a selection in it survives.
  function text(element, value) {
    const v = value === null || value === undefined ? "" : String(value);
    if (element.textContent !== v) element.textContent = v;
  }
  function classes(element, value) {
    if (element.className !== value) element.className = value;
  }

  // The children of parent brought to match list, one per key, in order: kept children are
  // updated in place, new ones made, missing ones removed.
  function sync(parent, list, key, make, update) {
    const have = new Map();
    for (const child of Array.from(parent.children)) {
      if (child.dataset.key !== undefined) have.set(child.dataset.key, child);
    }
    let at = parent.firstElementChild;
    while (at && at.dataset.key === undefined) at = at.nextElementSibling;
    const keep = new Set();
    for (const entry of list) {
      const k = String(key(entry));
      let element = have.get(k);
      if (!element || keep.has(k)) {
        element = make(entry);
        element.dataset.key = k;
      }
      keep.add(k);
      update(element, entry);
      if (element !== at) {
        parent.insertBefore(element, at);
      } else {
        at = at.nextElementSibling;
        while (at && at.dataset.key === undefined) at = at.nextElementSibling;
      }
    }
    for (const [k, element] of have) {
      if (!keep.has(k) && element.parentNode === parent) element.remove();
    }
  }

  function element(tag, className, parent) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (parent) parent.appendChild(e);
    return e;
  }

  // Shows the page's trust in its data: greyed, with the age and the last error, once the
  // data are older than kStaleAfterMs.
  function showTrust(banner) {
    const a = age();
    const old = stale();
    document.body.classList.toggle("stale", old);
    banner.hidden = !old;
    if (old) {
      text(banner, a === null
        ? "no data from the server yet" + (lastError ? ": " + lastError : "")
        : "data are " + Math.floor(a / 1000) + " s old: " +
          (lastError || "the server has not answered"));
    }
  }

  function zone() {
    return zoneText;
  }

  // Seconds of the item on air gone by at now (server ms), from its start stamp.
  function elapsed(onAir, now) {
    return onAir.paused ? onAir.elapsedSeconds
      : Math.min(Math.max((now - Date.parse(onAir.started)) / 1000, 0), onAir.durationSeconds);
  }

  // The alarm strip: one line an alarm, in the API's order.
  function alarms(list, view) {
    sync(list, view, (a) => a.kind + "|" + a.text, () => document.createElement("li"),
      (li, a) => { text(li, a.text); classes(li, a.level); });
  }

  return { get, heard, failed, now, age, stale, clock, dateTime, timecode, countdown, text,
    classes, sync, element, showTrust, zone, elapsed, alarms };
})();
