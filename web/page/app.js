// The page of sipper-web: draws the deck from /api/v1/deck, follows
// /api/v1/events (through events-worker.js) and sends commands to
// /api/v1/commands. No framework, no download: everything comes from
// sipper-web itself.
"use strict";

const API = "/api/v1";
const SVG_NS = "http://www.w3.org/2000/svg";
const LOG_LINES = 300;

const page = {
  token: sessionStorage.getItem("sipper-web-token") || "",
  deck: null,
  plateName: null,
  wellState: {},      // well name -> "seen" | "missed" | "done" | "failed" | "pending"
  lastStatus: null,
  records: {},        // id -> the newest record of the operations seen, for their outcome
  port: null,         // to the shared event reader, when there is one
};

function $(id) { return document.getElementById(id); }

function svg(tag, attrs, parent) {
  const e = document.createElementNS(SVG_NS, tag);
  for (const k in attrs) e.setAttribute(k, attrs[k]);
  if (parent) parent.appendChild(e);
  return e;
}

function headers(extra) {
  const h = Object.assign({}, extra || {});
  if (page.token) h["Authorization"] = "Bearer " + page.token;
  return h;
}

function askToken() {
  return new Promise(function (resolve) {
    const dialog = $("token-dialog");
    dialog.addEventListener("close", function once() {
      dialog.removeEventListener("close", once);
      page.token = $("token-input").value.trim();
      sessionStorage.setItem("sipper-web-token", page.token);
      if (page.port) page.port.postMessage({ token: page.token });
      resolve();
    });
    if (!dialog.open) dialog.showModal();
  });
}

async function api(path, options) {
  for (;;) {
    const response = await fetch(API + path, Object.assign({}, options, { headers: headers(options && options.headers) }));
    if (response.status === 401) { await askToken(); continue; }
    let body = null;
    try { body = await response.json(); } catch (e) { body = null; }
    return { status: response.status, body: body };
  }
}

function message(text, isError) {
  const m = $("message");
  m.textContent = text;
  m.className = "message" + (isError ? " error" : "");
}

// The text of an error answer: {"error": {"code", "message"}}.
function errorText(r) {
  return (r.body && r.body.error && r.body.error.message) || ("HTTP " + r.status);
}

// A record's line for the message: its outcome, and the sipper's own text
// when it refused or failed the operation.
function showRecord(record) {
  const failed = record.state === "failed" || record.state === "refused";
  message(record.command + " " + record.state + (record.message ? ": " + record.message : ""), failed);
}

async function command(body) {
  const r = await api("/commands", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body),
  });
  if (r.status === 201) {
    // Its event may have come first with a later state.
    const known = page.records[r.body.id];
    page.records[r.body.id] = known || r.body;
    showRecord(page.records[r.body.id]);
  } else {
    message(body.command + ": " + errorText(r), true);
  }
  return r;
}

// Operations of any tab or client: the end of each is shown, sips by their well.
function onRecord(record) {
  const mine = record.id in page.records;
  page.records[record.id] = record;
  const ended = record.state !== "queued" && record.state !== "running";
  if ((mine || ended) && !record.well) showRecord(record);
}

// ---- the deck -----------------------------------------------------------

function drawDeck(deck) {
  page.deck = deck;
  const area = $("deck");
  while (area.firstChild) area.removeChild(area.firstChild);
  const t = deck.travel;
  const margin = 12;
  // X runs to the right, Y downwards, as the stage is seen from the front.
  area.setAttribute("viewBox", (-margin) + " " + (-margin) + " " + (t.x + 2 * margin) + " " + (t.y + 2 * margin));
  area.setAttribute("preserveAspectRatio", "xMidYMid meet");
  svg("rect", { class: "travel", x: 0, y: 0, width: t.x, height: t.y }, area);
  svg("text", { class: "axis-label", x: t.x - 2, y: -3, "text-anchor": "end" }, area).textContent = "X " + t.x + " mm →";
  const yl = svg("text", { class: "axis-label", x: -3, y: t.y, "text-anchor": "start",
                           transform: "rotate(-90 -3 " + t.y + ")" }, area);
  yl.textContent = "Y " + t.y + " mm →";

  const wells = deck.wells || [];
  const pitch = (deck.plate && deck.plate.pitch) || 9;
  if (wells.length > 0) drawPlate(deck.plate, wells, pitch, area);
  for (const w of wells) {
    const c = svg("circle", { class: "well", id: "well-" + w.name, cx: w.x, cy: w.y, r: pitch * 0.38 }, area);
    svg("title", {}, c).textContent = w.name + "  (" + w.x.toFixed(1) + ", " + w.y.toFixed(1) + ", " + w.z.toFixed(1) + ")";
    c.addEventListener("click", function () { sipWell(w.name); });
  }
  for (const s of deck.wash_stations || []) {
    svg("rect", { class: "wash", id: "station-" + s.id, x: s.x - 5, y: s.y - 5, width: 10, height: 10, rx: 2 }, area);
    // Left of the station: the matrix stations usually stand to its right.
    svg("text", { class: "label", x: s.x - 7, y: s.y + 2, "text-anchor": "end" }, area).textContent = s.name;
  }
  for (const s of deck.matrix_stations || []) {
    svg("rect", { class: "matrix", id: "station-" + s.id, x: s.x - 4, y: s.y - 4, width: 8, height: 8,
                  transform: "rotate(45 " + s.x + " " + s.y + ")" }, area);
    svg("text", { class: "label", x: s.x + 7, y: s.y + 2 }, area).textContent = s.name;
  }
  if (deck.plate_swap) {
    const p = deck.plate_swap;
    svg("rect", { class: "swap", id: "plate-swap", x: p.x - 8, y: p.y - 8, width: 16, height: 16 }, area);
    svg("text", { class: "label", x: p.x - 8, y: p.y - 11 }, area).textContent = "plate swap";
  }
  if (deck.problem) {
    svg("text", { class: "label", x: 4, y: 10 }, area).textContent = deck.problem;
  }
  const probe = svg("g", { id: "probe", class: "unknown" }, area);
  svg("circle", { cx: 0, cy: 0, r: 5 }, probe);
  svg("line", { x1: -9, y1: 0, x2: 9, y2: 0 }, probe);
  svg("line", { x1: 0, y1: -9, x2: 0, y2: 9 }, probe);
  paintWells();
  drawGauge();
  if (page.lastStatus) showPosition(page.lastStatus);
}

// The plate as it lies on the stage: its outline follows the rows and
// columns from well A1, whichever way they run, and each row and column is
// labelled on A1's side.
function drawPlate(plate, wells, pitch, area) {
  const at = {};
  for (const w of wells) at[w.row + "," + w.column] = w;
  const a1 = at["0,0"], lastRow = at[(plate.rows - 1) + ",0"], lastCol = at["0," + (plate.columns - 1)];
  if (!a1 || !lastRow || !lastCol) return;
  const unit = function (to, fallback) {
    const dx = to.x - a1.x, dy = to.y - a1.y, n = Math.hypot(dx, dy);
    return n > 0 ? { x: dx / n, y: dy / n } : fallback;
  };
  const ur = unit(lastRow, { x: 1, y: 0 });       // from row A on
  const uc = unit(lastCol, { x: -ur.y, y: ur.x }); // from column 1 on
  const off = function (p, r, c) { return { x: p.x + r * ur.x + c * uc.x, y: p.y + r * ur.y + c * uc.y }; };
  // Room for the labels before row A and column 1.
  const low = 1.6 * pitch, high = 0.8 * pitch;
  const last = at[(plate.rows - 1) + "," + (plate.columns - 1)];
  const corners = [off(a1, -low, -low), off(lastRow, high, -low), off(last, high, high), off(lastCol, -low, high)];
  svg("polygon", { class: "plate-outline", points: corners.map(function (p) { return p.x + "," + p.y; }).join(" ") }, area);
  const top = corners.reduce(function (a, b) { return b.y < a.y || (b.y === a.y && b.x < a.x) ? b : a; });
  svg("text", { class: "label", x: top.x, y: top.y - 2 }, area).textContent =
      plate.name + " (" + plate.rows + " × " + plate.columns + ")";
  const size = Math.min(5, pitch * 0.6);
  const label = function (p, text, id) {
    svg("text", { class: "well-label", id: id, x: p.x, y: p.y, "font-size": size }, area).textContent = text;
  };
  for (let r = 0; r < plate.rows; ++r) {
    const w = at[r + ",0"];
    label(off(w, 0, -pitch), w.name.replace(/\d+$/, ""), "row-label-" + r);
  }
  for (let c = 0; c < plate.columns; ++c) label(off(at["0," + c], -pitch, 0), String(c + 1), "column-label-" + c);
}

function drawGauge() {
  const g = $("zgauge");
  while (g.firstChild) g.removeChild(g.firstChild);
  if (!page.deck) return;
  const travel = page.deck.travel.z;
  const h = 400, top = 20;
  g.setAttribute("viewBox", "0 0 70 " + (h + 2 * top));
  svg("rect", { class: "gauge-track", x: 28, y: top, width: 14, height: h }, g);
  svg("text", { class: "gauge-text", x: 35, y: 13, "text-anchor": "middle" }, g).textContent = "Z";
  const scale = function (z) { return top + h * Math.max(0, Math.min(1, z / travel)); };
  const marks = [];
  if (page.deck.plate && page.deck.plate.safe_z != null) marks.push(["safe", page.deck.plate.safe_z]);
  if (page.deck.wells && page.deck.wells.length) marks.push(["well", page.deck.wells[0].z]);
  for (const m of marks) {
    svg("line", { class: "gauge-line", x1: 22, x2: 48, y1: scale(m[1]), y2: scale(m[1]) }, g);
    svg("text", { class: "gauge-text", x: 2, y: scale(m[1]) + 3 }, g).textContent = m[0];
  }
  svg("text", { class: "gauge-text", x: 35, y: h + top + 14, "text-anchor": "middle" }, g).textContent = travel + " mm";
  page.gaugeScale = scale;
  svg("polygon", { id: "zmark", class: "gauge-mark", points: "0,0" }, g);
}

function paintWells() {
  for (const name in page.wellState) {
    const e = $("well-" + name);
    if (e) e.setAttribute("class", "well " + page.wellState[name]);
  }
}

async function loadDeck() {
  if (page.loadingDeck) return;
  page.loadingDeck = true;
  let r;
  try { r = await api("/deck"); } finally { page.loadingDeck = false; }
  if (r.status !== 200) {
    banner("deck: " + errorText(r));
    return;
  }
  if (page.plateName !== null && page.plateName !== r.body.plate.name) page.wellState = {};
  page.plateName = r.body.plate.name;
  drawDeck(r.body);
  const select = $("plate-select");
  while (select.firstChild) select.removeChild(select.firstChild);
  for (const name of r.body.plates || []) {
    const o = document.createElement("option");
    o.value = name;
    o.textContent = name;
    if (name === r.body.plate.name) o.selected = true;
    select.appendChild(o);
  }
}

function sipWell(name) {
  if (!window.confirm("Sip well " + name + "?")) return;
  page.wellState[name] = "pending";
  paintWells();
  command({
    command: "sip", well: name,
    depth: Number($("sip-depth").value) || 0,
    wash_time1: parseInt($("sip-wash1").value, 10) || 0,
    wash_time2: parseInt($("sip-wash2").value, 10) || 0,
  }).then(function (r) {
    if (r.status !== 201) { delete page.wellState[name]; $("well-" + name).setAttribute("class", "well"); }
  });
}

// ---- status ------------------------------------------------------------

function indicator(id, text, kind) {
  const e = $(id);
  e.querySelector("b").textContent = text;
  e.className = "ind" + (kind ? " " + kind : "");
  e.dataset.value = text;
}

// The banner shows what is wrong; with the way out when the sipper is in its error state.
function banner(text, actions) {
  $("banner").hidden = !text;
  $("banner-text").textContent = text || "";
  $("banner-actions").hidden = !actions;
}

function fmt(v) { return v === null || v === undefined ? "–" : v.toFixed(2); }

function showPosition(s) {
  // Before homing the axes' counts mean nothing: no place is drawn or given.
  const p = s.homed ? s.position || {} : {};
  $("pos-x").textContent = fmt(p.x);
  $("pos-y").textContent = fmt(p.y);
  $("pos-z").textContent = fmt(p.z);
  const probe = $("probe");
  if (probe) {
    if (s.connected && s.homed && p.x != null && p.y != null) {
      probe.setAttribute("transform", "translate(" + p.x + " " + p.y + ")");
      probe.setAttribute("class", "");
      probe.dataset.x = p.x;
      probe.dataset.y = p.y;
    } else {
      probe.setAttribute("class", "unknown");
    }
  }
  const mark = $("zmark");
  if (mark && page.gaugeScale && p.z != null) {
    const y = page.gaugeScale(p.z);
    mark.setAttribute("points", "44," + y + " 56," + (y - 6) + " 56," + (y + 6));
  }
}

function showStatus(s) {
  page.lastStatus = s;
  if (!s.connected) {
    indicator("ind-link", s.result_name || "down", "bad");
    banner("sipper not answering: " + (s.error || s.result_name));
    showPosition(s);
    return;
  }
  if (s.status_name === "error") {
    banner("Error state: " + (s.error_reason || "the sipper gave no reason; see the log") +
           ". Clear error to go on, or Reset to start over.", true);
  } else {
    banner("");
  }
  indicator("ind-link", "ok", "good");
  indicator("ind-state", s.state_name, s.state_name === "RUNNING" ? "good" : (s.state_name === "INIT_FAILED" ? "bad" : "warn"));
  indicator("ind-status", s.status_name, s.status_name === "idle" ? "good" : (s.status_name === "busy" ? "warn" : "bad"));
  indicator("ind-homed", s.homed ? "yes" : "no", s.homed ? "good" : "warn");
  indicator("ind-configured", s.configured ? "yes" : "no", s.configured ? "good" : "warn");
  indicator("ind-inhibit", s.inhibit_tripped ? "TRIPPED" : "closed", s.inhibit_tripped ? "bad" : "good");
  showPosition(s);
  if (s.plate && page.plateName !== null && s.plate.name !== page.plateName) loadDeck();
}

function showSip(e) {
  if (!e.well) return;
  page.wellState[e.well] = e.outcome === "refused" || e.outcome === "unknown" ? undefined : e.outcome;
  if (page.wellState[e.well] === undefined) delete page.wellState[e.well];
  const w = $("well-" + e.well);
  if (w) w.setAttribute("class", "well" + (page.wellState[e.well] ? " " + page.wellState[e.well] : ""));
  message("sip " + e.well + ": " + e.outcome + (e.detail ? " — " + e.detail : ""), e.outcome !== "seen" && e.outcome !== "done");
}

// "12 12/08/26 14:21:16 <Sipper>: text" is shown as "14:21:16 <Sipper>: text".
const LOG_LINE = /^\d+ \d\d\/\d\d\/\d\d (\d\d:\d\d:\d\d) (.*)$/;

function addLog(line) {
  const m = LOG_LINE.exec(line);
  if (m) line = m[1] + " " + m[2];
  const log = $("log");
  const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  const div = document.createElement("div");
  div.textContent = line;
  log.appendChild(div);
  while (log.childNodes.length > LOG_LINES) log.removeChild(log.firstChild);
  if (atEnd) log.scrollTop = log.scrollHeight;
}

async function loadLog() {
  const r = await api("/log?tail=100");
  if (r.status === 200) for (const line of r.body.lines) addLog(line);
  else addLog("(log: " + errorText(r) + ")");
}

// ---- events ------------------------------------------------------------

async function loadStatus() {
  const r = await api("/status");
  if (r.status === 200) showStatus(r.body);
}

function onLink(ok) {
  if (!ok) indicator("ind-link", "no events", "bad");
}

// One stream for all tabs through the shared worker; a stream of its own
// where the browser has no SharedWorker.
function followEvents() {
  if (typeof SharedWorker === "function") {
    try {
      const worker = new SharedWorker("events-worker.js", { name: "sipper-web events" });
      page.port = worker.port;
      page.port.onmessage = function (m) {
        if (m.data.frame) handleFrame(m.data.frame);
        else if (m.data.link !== undefined) onLink(m.data.link);
        else if (m.data.needToken) askToken();
      };
      page.port.postMessage({ token: page.token });
      window.addEventListener("pagehide", function () { page.port.postMessage({ bye: true }); });
      window.addEventListener("pageshow", function (e) { if (e.persisted) page.port.postMessage({ token: page.token }); });
      return;
    } catch (e) {
      page.port = null;
    }
  }
  readEvents(function (refused) { return refused ? askToken().then(function () { return page.token; })
                                                 : Promise.resolve(page.token); }, handleFrame, onLink);
}

function handleFrame(frame) {
  let event = "message", data = "";
  for (const line of frame.split("\n")) {
    if (line.startsWith("event: ")) event = line.slice(7);
    else if (line.startsWith("data: ")) data += line.slice(6);
  }
  if (!data) return;
  const value = JSON.parse(data);
  if (event === "status") showStatus(value);
  else if (event === "log") addLog(value.line);
  else if (event === "sip") showSip(value);
  else if (event === "command") onRecord(value);
  else if (event === "reset") { loadStatus(); loadDeck(); }
}

// ---- start ---------------------------------------------------------------

function wire() {
  const simple = { "btn-reset": "reset", "btn-run": "run", "btn-home": "home", "btn-park": "park",
                   "btn-clear": "reset_error_state", "btn-stop": "stop_all_motion",
                   "banner-clear": "reset_error_state", "banner-reset": "reset" };
  for (const id in simple) $(id).addEventListener("click", function () { command({ command: simple[id] }); });
  $("btn-wash").addEventListener("click", function () {
    command({ command: "wash", wash_time1: parseInt($("sip-wash1").value, 10) || 0,
              wash_time2: parseInt($("sip-wash2").value, 10) || 0 });
  });
  $("plate-select").addEventListener("change", function (e) {
    command({ command: "set_active_plate", plate: e.target.value }).then(loadDeck);
  });
}

wire();
loadDeck();
loadLog();
followEvents();
// The deck may not be readable before the sipper answers; retry until it is.
setInterval(function () { if (!page.deck) loadDeck(); }, 3000);
