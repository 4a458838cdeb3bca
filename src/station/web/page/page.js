// The station page: follows /api/status/stream and draws each status it sends.
// Every text of the status comes from packages and devices, outside data: it
// is only ever set as textContent, never parsed as HTML, and its invisible
// characters are shown as escapes, as the text output shows them.
"use strict";

(function () {
  // A word and a symbol for each state, so that none is told by colour alone.
  const STATES = {
    arrived: "ARRIVED →",
    queued: "QUEUED …",
    upgrading: "UPGRADING",
    upgraded: "UPGRADED ✓",
    verifying: "VERIFYING …",
    verified: "VERIFIED ☑",
    notVerified: "NOT VERIFIED ✗",
    notReturned: "NOT RETURNED ⚠",
    returned: "RETURNED ↺",
    refused: "REFUSED ✗",
    lost: "TIME-OUT ⚠",
    failed: "FAILED ✗",
    denied: "DENIED ⊘",
    left: "LEFT ←",
    notTaken: "NOT TAKEN –",
    interrupted: "INTERRUPTED ■",
    notStarted: "NOT STARTED ■",
    claimed: "CLAIMED ⇄",
  };
  // The states whose upgrade ran.
  const TIMED = new Set(["upgrading", "upgraded", "refused", "lost", "failed", "interrupted", "verifying", "verified",
                         "notVerified", "notReturned"]);
  const STATION_STATES = {
    starting: "STARTING …",
    watching: "WATCHING ●",
    paused: "PAUSED ‖",
    stopping: "STOPPING …",
    stopped: "STOPPED ■",
  };
  // Nothing from the station for 6 s is a station lost: after 4 s of quiet the
  // page asks it, and gives it 2 s to answer.
  const QUIET_MS = 4000;
  const ANSWER_MS = 2000;
  const LOST = "Connection to the station lost";
  // A station started again has forgotten the browsers it let in.
  const SHUT_OUT = "The station does not let this browser in: open a new link from the station";
  const STOP_QUESTION = "Stop the station? Running upgrades stop at their next block.";
  // A stopped station is asked this often whether a new run began on its port.
  const STOPPED_ASK_MS = 10000;
  // Control characters, and the invisible format characters that reorder or
  // hide what follows (U+202E before "1A00" reads "00A1"): written as escapes.
  const INVISIBLE = /[\p{Cc}\p{Cf}\p{Zl}\p{Zp}]/gu;

  const byId = (id) => document.getElementById(id);
  let stream = null;
  let quietTimer = 0;
  let stationState = "";
  let connected = false;
  let runStarted = null;  // the run's startedAt, as its status told it

  function visible(text) {
    return text.replace(INVISIBLE, (c) => {
      const code = c.codePointAt(0);
      if (code < 0x20 || code === 0x7f) return "\\x" + code.toString(16).padStart(2, "0");
      return code > 0xffff ? "\\U" + code.toString(16).padStart(8, "0") : "\\u" + code.toString(16).padStart(4, "0");
    });
  }

  // Sets a node's text only when it changed, so that a redraw touches only what moved.
  function setText(node, text) {
    const value = text === null || text === undefined ? "" : visible(String(text));
    if (node.textContent !== value) node.textContent = value;
  }
  function setHidden(node, hidden) {
    if (node.hidden !== hidden) node.hidden = hidden;
  }
  function hex4(n) {
    return typeof n === "number" ? n.toString(16).padStart(4, "0") : "";
  }
  function seconds(s) {
    return typeof s === "number" ? s.toFixed(1) + " s" : "";
  }
  function clock(iso) {
    const d = new Date(iso);
    return isNaN(d.getTime()) ? String(iso || "") : d.toLocaleTimeString([], {hour12: false});
  }

  function drawPackage(p) {
    setText(byId("package-product"), p.productName);
    setText(byId("package-product-code"), p.productCode);
    setText(byId("package-firmware-code"), p.firmwareCode);
    setText(byId("package-ids"), p.vendorId === undefined ? "" : hex4(p.vendorId) + ":" + hex4(p.productId));
    setText(byId("package-sha256"), p.sha256);
    // A signer only when the station verified the signature against its trust.
    setText(byId("package-signer"), p.signer || "");
    byId("package-signed").hidden = !p.signer;
  }

  // The feed of the factory's database, with --record-db: what waits for it.
  function drawRecordDb(db) {
    byId("record-db").hidden = !db;
    if (db) setText(byId("record-db-state"), db.state + ", " + (db.waiting || 0) + " record lines waiting" +
                                             (db.text ? ": " + db.text : ""));
  }

  function drawCounters(c) {
    setText(byId("count-upgraded"), c.upgraded || 0);
    setText(byId("count-failed"), c.failed || 0);
    setText(byId("count-yield"), typeof c.yield === "number" ? Math.round(c.yield * 100) + " %" : "—");
    setText(byId("count-per-hour"), typeof c.perHour === "number" ? c.perHour.toFixed(0) : "—");
  }

  function drawTile(tile, p) {
    tile.dataset.state = p.state || "";
    setText(tile.querySelector(".place"), p.place);
    const serial = p.serial ? "Serial " + p.serial : "No serial number";
    setText(tile.querySelector(".serial"), p.duplicateSerial ? serial + " (also on another product)" : serial);
    const upgrading = p.state === "upgrading";
    // "UPGRADING 40 %", wrapped (if at all) before the percent, never inside it.
    const word = STATES[p.state] || String(p.state || "").toUpperCase();
    // The release it came back with, where it is not the one expected.
    const seen = p.state === "notVerified" && p.releaseAfter ? word + " · release " + p.releaseAfter : word;
    setText(tile.querySelector(".state .word"), upgrading ? word + " " : seen);
    setText(tile.querySelector(".state .percent"), upgrading ? (p.percent || 0) + " %" : "");
    const bar = tile.querySelector(".progress");
    setHidden(bar, !upgrading);
    if (upgrading) {
      bar.value = p.percent || 0;
      bar.setAttribute("aria-label", visible("Upgrade of " + (p.serial || p.place) + ": " + (p.percent || 0) + " %"));
    }
    const quiet = ["upgraded", "upgrading", "queued", "verifying", "verified"];
    const shown = quiet.includes(p.state) ? "" : p.message;
    setText(tile.querySelector(".message"), shown);
    setText(tile.querySelector(".seconds"), TIMED.has(p.state) ? seconds(p.seconds) : "");
  }

  // One tile per place, in the status's order; a place keeps its tile.
  function drawTiles(products) {
    const list = byId("tiles");
    const kept = new Map();
    for (const tile of Array.from(list.children)) kept.set(tile.dataset.place, tile);
    let at = list.firstElementChild;
    for (const p of products) {
      let tile = kept.get(p.place);
      if (tile) {
        kept.delete(p.place);
      } else {
        tile = byId("tile").content.firstElementChild.cloneNode(true);
        tile.dataset.place = p.place;
      }
      drawTile(tile, p);
      if (tile !== at) list.insertBefore(tile, at);
      else at = at.nextElementSibling;
    }
    for (const tile of kept.values()) tile.remove();
    setHidden(byId("no-products"), products.length > 0);
  }

  function drawRecords(records) {
    const body = byId("record-rows");
    // The status lists them oldest first, as /api/records does; the page shows the newest first.
    const rows = records.filter((r) => r.record === undefined || r.record === "product").reverse();
    while (body.rows.length > rows.length) body.deleteRow(-1);
    while (body.rows.length < rows.length) {
      const row = body.insertRow(-1);
      for (let i = 0; i < 5; ++i) row.insertCell(-1);
    }
    rows.forEach((r, i) => {
      const cells = body.rows[i].cells;
      body.rows[i].dataset.success = r.success ? "yes" : "no";
      setText(cells[0], clock(r.end || r.time));
      setText(cells[1], r.serial);
      setText(cells[2], r.location);
      setText(cells[3], r.outcome);
      setText(cells[4], typeof r.seconds === "number" ? r.seconds.toFixed(1) : "");
    });
  }

  function drawStation(s) {
    stationState = s.state || "";
    const state = byId("station-state");
    state.dataset.state = stationState;
    setText(state, STATION_STATES[stationState] || stationState.toUpperCase());
    setText(byId("station-name"), s.name ? "Station " + s.name : "Quorvella station");
    setText(byId("station-operator"), s.operator ? "— " + s.operator : "");
    const reason = byId("stop-reason");
    const why = stationState === "stopped" ? "Why the station stopped: " : "Why the station stops: ";
    setText(reason, s.stopReason ? why + s.stopReason : "");
    setHidden(reason, !s.stopReason);
    const stopped = byId("stopped");
    setText(stopped, typeof s.exitCode === "number" ? "Station stopped (exit code " + s.exitCode + ")" : "Station stopped");
    setHidden(stopped, stationState !== "stopped");
    setText(byId("started"), s.startedAt ? "Started " + clock(s.startedAt) : "");
    // Another run on this port (a restart, or a new run after a stop): its counters begin anew.
    if (s.startedAt && runStarted && s.startedAt !== runStarted) {
      setText(byId("new-run"), "A new run of the station began at " + clock(s.startedAt) +
        ": its counters and records begin anew.");
      setHidden(byId("new-run"), false);
    }
    if (s.startedAt) runStarted = s.startedAt;
    drawButtons();
  }

  function drawButtons() {
    const live = connected && stationState !== "stopped";
    byId("pause").disabled = !(live && stationState === "watching");
    byId("resume").disabled = !(live && stationState === "paused");
    // Kept while it stops: an upgrade that hangs there is interrupted by Stop.
    byId("stop").disabled = !live;
  }

  function draw(status) {
    drawStation(status.station || {});
    drawPackage(status.package || {});
    drawRecordDb(status.recordDb);
    drawCounters(status.counters || {});
    drawTiles(status.products || []);
    drawRecords(status.records || []);
  }

  function showLost(lost, shutOut = false) {
    connected = !lost;
    setText(byId("lost"), shutOut ? SHUT_OUT : LOST);
    setHidden(byId("lost"), !lost || stationState === "stopped");
    drawButtons();
  }

  // Nothing for a while: the stream may be quiet because nothing changed (its
  // keep-alive comments reach no script), so ask the station itself.
  function quiet() {
    const ask = new AbortController();
    const giveUp = setTimeout(() => ask.abort(), ANSWER_MS);
    fetch("/api/status", {signal: ask.signal, cache: "no-store"})
      .then((answer) => {
        if (!answer.ok) throw new Error(String(answer.status));
        return answer.json();
      })
      .then((status) => {
        clearTimeout(giveUp);
        showLost(false);
        take(status);
        if (stream && stream.readyState === EventSource.CLOSED) follow();  // refused once, it tries no more
      }, (error) => {
        clearTimeout(giveUp);
        showLost(true, error.message === "401");
        watch();
      });
  }
  function watch() {
    clearTimeout(quietTimer);
    if (stationState !== "stopped") quietTimer = setTimeout(quiet, QUIET_MS);
  }

  // A stopped station is asked now and then whether a new run began on its
  // port; once one did, the page follows it.
  function askStopped() {
    clearTimeout(quietTimer);
    quietTimer = setTimeout(() => {
      fetch("/api/status", {cache: "no-store"})
        .then((answer) => (answer.ok ? answer.json() : null))
        .then((status) => {
          if (status && status.station && status.station.state !== "stopped") {
            showLost(false);
            take(status);
            follow();
          } else {
            askStopped();
          }
        }, () => askStopped());
    }, STOPPED_ASK_MS);
  }

  function take(status) {
    draw(status);
    if (stationState === "stopped") {
      if (stream) stream.close();
      stream = null;
      setHidden(byId("lost"), true);
      askStopped();
    } else {
      watch();
    }
  }

  function follow() {
    if (stream) stream.close();
    stream = new EventSource("/api/status/stream");
    stream.addEventListener("status", (message) => {
      let status;
      try {
        status = JSON.parse(message.data);
      } catch (e) {
        return;
      }
      showLost(false);
      take(status);
    });
    stream.addEventListener("open", () => watch());
    stream.addEventListener("error", () => {
      if (stationState !== "stopped") showLost(true);  // the browser tries again by itself
    });
    watch();
  }

  function command(button, path) {
    button.addEventListener("click", () => {
      if (path === "/api/stop" && !window.confirm(STOP_QUESTION)) return;
      const refused = byId("refused-command");
      fetch(path, {method: "POST", headers: {"X-Quorvella-Control": "1"}})
        .then((answer) => {
          setHidden(refused, answer.ok);
          if (answer.ok) return;
          // The station says why, as {"error": ..., "message": ...}.
          setText(refused, button.textContent + " was refused by the station (" + answer.status + ")");
          answer.json().then((error) => {
            if (error && error.message) setText(refused, button.textContent + ": " + error.message);
          }, () => {});
        })
        .catch(() => {
          setText(refused, button.textContent + " did not reach the station");
          setHidden(refused, false);
        });
    });
  }

  command(byId("pause"), "/api/pause");
  command(byId("resume"), "/api/resume");
  command(byId("stop"), "/api/stop");
  follow();
})();
