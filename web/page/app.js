// The page of sipper-web: draws the deck from /api/v1/deck, follows
// /api/v1/events and sends commands to /api/v1/commands. No framework, no
// download: everything comes from sipper-web itself.
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

async function command(body) {
  const r = await api("/commands", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify(body),
  });
  if (r.status === 201) {
    message(r.body.state + ": " + r.body.sent.method + " " + JSON.stringify(r.body.sent.arguments), r.body.state === "failed");
  } else {
    message(errorText(r), true);
  }
  return r;
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
  if (wells.length > 0) {
    let x0 = Infinity, y0 = Infinity, x1 = -Infinity, y1 = -Infinity;
    for (const w of wells) { x0 = Math.min(x0, w.x); y0 = Math.min(y0, w.y); x1 = Math.max(x1, w.x); y1 = Math.max(y1, w.y); }
    svg("rect", { class: "plate-outline", x: x0 - pitch, y: y0 - pitch, width: x1 - x0 + 2 * pitch,
                  height: y1 - y0 + 2 * pitch, rx: 2 }, area);
    const label = svg("text", { class: "label", x: x0 - pitch, y: y0 - pitch - 2 }, area);
    label.textContent = deck.plate.name + " (" + deck.plate.rows + " × " + deck.plate.columns + ")";
  }
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

function banner(text) {
  const b = $("banner");
  b.hidden = !text;
  b.textContent = text || "";
}

function fmt(v) { return v === null || v === undefined ? "–" : v.toFixed(2); }

function showPosition(s) {
  const p = s.position || {};
  $("pos-x").textContent = fmt(p.x);
  $("pos-y").textContent = fmt(p.y);
  $("pos-z").textContent = fmt(p.z);
  const probe = $("probe");
  if (probe) {
    if (s.connected && p.x != null && p.y != null) {
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
  banner("");
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

// EventSource cannot send the Authorization header, so the stream is read
// with fetch and split into events here.
async function followEvents() {
  for (;;) {
    try {
      // After a break the stream resumes where it left off.
      const extra = page.lastEventId ? { "Last-Event-ID": page.lastEventId } : {};
      const response = await fetch(API + "/events", { headers: headers(extra) });
      if (response.status === 401) { await askToken(); continue; }
      const reader = response.body.getReader();
      const decoder = new TextDecoder();
      let buffer = "";
      for (;;) {
        const chunk = await reader.read();
        if (chunk.done) break;
        buffer += decoder.decode(chunk.value, { stream: true });
        let end;
        while ((end = buffer.indexOf("\n\n")) >= 0) {
          handleFrame(buffer.slice(0, end));
          buffer = buffer.slice(end + 2);
        }
      }
    } catch (e) {
      // sipper-web itself went away; try again below.
    }
    indicator("ind-link", "no events", "bad");
    await new Promise(function (r) { setTimeout(r, 2000); });
  }
}

function handleFrame(frame) {
  let event = "message", data = "";
  for (const line of frame.split("\n")) {
    if (line.startsWith("id: ")) page.lastEventId = line.slice(4);
    else if (line.startsWith("event: ")) event = line.slice(7);
    else if (line.startsWith("data: ")) data += line.slice(6);
  }
  if (!data) return;
  const value = JSON.parse(data);
  if (event === "status") showStatus(value);
  else if (event === "log") addLog(value.line);
  else if (event === "sip") showSip(value);
}

// ---- start ---------------------------------------------------------------

function wire() {
  const simple = { "btn-reset": "reset", "btn-run": "run", "btn-home": "home", "btn-park": "park",
                   "btn-clear": "reset_error_state", "btn-stop": "stop_all_motion" };
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
