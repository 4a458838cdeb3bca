// The line's page: asks /api/line every 2 s and draws every station it
// tells; finds a unit's history with /api/history. Every text comes from the
// stations and their products, outside data: it is only ever set as
// textContent, never parsed as HTML, and its invisible characters are shown
// as escapes, as the station's page shows them.
"use strict";

(function () {
  const EVERY_MS = 2000;
  const ANSWER_MS = 4000;  // the line server answers at once, from what it read last
  const STATES = {
    starting: "STARTING …",
    watching: "WATCHING ●",
    paused: "PAUSED ‖",
    stopping: "STOPPING …",
    stopped: "STOPPED ■",
  };
  const LOST = "Connection to the line server lost";
  const SHUT_OUT = "The line server does not let this browser in: open a new link from the line server";
  const INVISIBLE = /[\p{Cc}\p{Cf}\p{Zl}\p{Zp}]/gu;

  const byId = (id) => document.getElementById(id);

  function visible(text) {
    return text.replace(INVISIBLE, (c) => {
      const code = c.codePointAt(0);
      if (code < 0x20 || code === 0x7f) return "\\x" + code.toString(16).padStart(2, "0");
      return code > 0xffff ? "\\U" + code.toString(16).padStart(8, "0") : "\\u" + code.toString(16).padStart(4, "0");
    });
  }
  function setText(node, text) {
    const value = text === null || text === undefined ? "" : visible(String(text));
    if (node.textContent !== value) node.textContent = value;
  }
  function setHidden(node, hidden) {
    if (node.hidden !== hidden) node.hidden = hidden;
  }
  // A time of today as its hour; of another day with its date as well.
  function when(iso) {
    const d = new Date(iso);
    if (isNaN(d.getTime())) return String(iso || "");
    const time = d.toLocaleTimeString([], {hour12: false});
    return d.toDateString() === new Date().toDateString() ? time : d.toLocaleDateString() + " " + time;
  }
  // Rows of `body` made to hold `items`, `cells` each, filled by `fill`.
  function drawRows(body, items, cells, fill) {
    while (body.rows.length > items.length) body.deleteRow(-1);
    while (body.rows.length < items.length) {
      const row = body.insertRow(-1);
      for (let i = 0; i < cells; ++i) row.insertCell(-1);
    }
    items.forEach((item, i) => fill(body.rows[i].cells, item));
  }

  // Only a web address becomes a link; anything else (javascript:, a file) is shown as text.
  function drawPage(node, page) {
    let url = null;
    try {
      url = new URL(page || "");
    } catch (e) {
      url = null;  // no address at all: a name, a path
    }
    const link = node.querySelector("a");
    if (url && (url.protocol === "http:" || url.protocol === "https:")) {
      const a = link || document.createElement("a");
      if (a.getAttribute("href") !== url.href) a.setAttribute("href", url.href);
      setText(a, "Its page: " + page);
      if (!link) node.replaceChildren(a);
    } else {
      if (link) node.replaceChildren();
      setText(node, page ? "Its page: " + page : "");
    }
  }

  function drawStation(card, s) {
    const state = s.silent ? "silent" : s.state || "";
    card.dataset.state = state;
    setText(card.querySelector(".name"), s.name);
    setText(card.querySelector(".state"),
            s.silent ? "SILENT SINCE " + when(s.seenAt) : STATES[state] || String(state).toUpperCase());
    setText(card.querySelector(".package"), s.package || "—");
    setText(card.querySelector(".firmware"), s.firmwareCode || "—");
    const today = s.today || {};
    setText(card.querySelector(".upgraded"), today.upgraded || 0);
    setText(card.querySelector(".failed"), today.failed || 0);
    setText(card.querySelector(".yield"), typeof today.yield === "number" ? Math.round(today.yield * 100) + " %" : "—");
    drawPage(card.querySelector(".page"), s.page);
    const failures = s.failures || [];
    setHidden(card.querySelector(".no-failures"), failures.length > 0);
    setHidden(card.querySelector(".failures"), failures.length === 0);
    drawRows(card.querySelector(".failures tbody"), failures, 4, (cells, f) => {
      setText(cells[0], when(f.time));
      setText(cells[1], f.serial);
      setText(cells[2], f.outcome);
      setText(cells[3], f.message);
    });
  }

  // One card per station, by name, in the order told; a station keeps its card.
  function drawStations(stations) {
    const list = byId("station-list");
    const kept = new Map();
    for (const card of Array.from(list.children)) kept.set(card.dataset.station, card);
    let at = list.firstElementChild;
    for (const s of stations) {
      let card = kept.get(s.name);
      if (card) {
        kept.delete(s.name);
      } else {
        card = byId("station-card").content.firstElementChild.cloneNode(true);
        card.dataset.station = s.name;
      }
      drawStation(card, s);
      if (card !== at) list.insertBefore(card, at);
      else at = at.nextElementSibling;
    }
    for (const card of kept.values()) card.remove();
  }

  function draw(line) {
    const db = line.database || {};
    const down = byId("db-down");
    setText(down, db.reachable ? "" : "The factory database cannot be reached since " + when(db.since) + ": " +
                                      (db.message || "no reason told"));
    setHidden(down, db.reachable !== false);
    const stations = line.stations || [];
    drawStations(stations);
    const none = byId("no-stations");
    setText(none, line.readAt ? "No station has written its heartbeat to the factory database yet."
                              : "Reading the factory database …");
    setHidden(none, stations.length > 0);
    setText(byId("read-at"), line.readAt ? "Read at " + when(line.readAt) : "");
  }

  function showLost(lost, shutOut) {
    setText(byId("lost"), shutOut ? SHUT_OUT : LOST);
    setHidden(byId("lost"), !lost);
  }

  function ask() {
    const asking = new AbortController();
    const giveUp = setTimeout(() => asking.abort(), ANSWER_MS);
    fetch("/api/line", {signal: asking.signal, cache: "no-store"})
      .then((answer) => {
        if (!answer.ok) throw new Error(String(answer.status));
        return answer.json();
      })
      .then((line) => {
        showLost(false, false);
        draw(line);
      }, (error) => showLost(true, error.message === "401"))
      .finally(() => {
        clearTimeout(giveUp);
        setTimeout(ask, EVERY_MS);
      });
  }

  function drawHistory(serial, history) {
    const rows = history.rows || [];
    setText(byId("search-state"), rows.length === 0 ? "No station recorded the serial number " + serial + "."
                                                    : "Serial number " + serial + ": " + rows.length +
                                                      (rows.length === 1 ? " record line" : " record lines") +
                                                      ", oldest first.");
    setHidden(byId("history"), rows.length === 0);
    drawRows(byId("history-rows"), rows, 5, (cells, r) => {
      setText(cells[0], when(r.time));
      setText(cells[1], r.station);
      setText(cells[2], r.outcome);
      setText(cells[3], String(r.packageSha256 || "").slice(0, 12));
      cells[3].title = String(r.packageSha256 || "");
      setText(cells[4], r.message);
    });
  }

  function search(event) {
    event.preventDefault();
    const serial = byId("serial").value;
    const state = byId("search-state");
    setText(state, "Looking for " + serial + " …");
    setHidden(byId("history"), true);
    fetch("/api/history?serial=" + encodeURIComponent(serial), {cache: "no-store"})
      .then((answer) => answer.json().then((body) => ({status: answer.status, body: body}),
                                           () => ({status: answer.status, body: {}})))
      .then(({status, body}) => {
        if (status === 200) return drawHistory(serial, body);
        if (status === 504) return setText(state, "The factory database did not answer in time: try again.");
        setText(state, body.message || "The search failed (" + status + "): try again.");
      }, () => setText(state, "The line server did not answer: try again."));
  }

  byId("search-form").addEventListener("submit", search);
  ask();
})();
