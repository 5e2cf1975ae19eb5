// The development server's page: the devices as the server's record has
// them, refreshed whenever the record grows (server-sent events), and the
// commands a person may send to one device.
"use strict";

const WINDOW = 600;          // seconds shown by the charts
const REPLY_WAIT = 30;       // seconds a command waits for the agent's answer
const CHAIN_COLORS = ["#0969da", "#cf222e", "#1a7f37", "#9a6700"];
const SVG = "http://www.w3.org/2000/svg";

const page = {
  selected: decodeURIComponent(location.hash.slice(1)) || null,
  skew: 0,             // server clock minus this browser's, in seconds
  snapshot: null,
  detail: null,
  messagesKey: "",
  poolsFilledFor: null,
  pending: null,       // {device, type, t}: a command waiting for its answer
  busy: false,
  again: false,
};

function $(id) { return document.getElementById(id); }

function el(tag, attrs, ...kids) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === null || v === undefined) continue;
    if (k === "class") node.className = v; else node.setAttribute(k, v);
  }
  for (const kid of kids) node.append(kid);
  return node;
}

function svgEl(tag, attrs) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  return node;
}

function serverNow() { return Date.now() / 1000 + page.skew; }

// ---- how values read -------------------------------------------------------
function mhs(ghs) { return ghs === null || ghs === undefined ? "–" : (ghs * 1000).toFixed(1) + " MH/s"; }

function ago(t) {
  if (t === null || t === undefined) return "never";
  const s = Math.max(0, Math.round(serverNow() - t));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min " + (s % 60) + " s ago";
  return Math.floor(s / 3600) + " h " + Math.floor(s / 60) % 60 + " min ago";
}

function clock(t) {
  return new Date(t * 1000).toLocaleTimeString("en-GB", {hour12: false});
}

function uptime(s) {
  if (s === null || s === undefined) return "";
  const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60, sec = s % 60;
  return `up ${h}:${String(m).padStart(2, "0")}:${String(sec).padStart(2, "0")}`;
}

function fansText(fans) {
  return fans.length ? fans.map((f) => `${f.rpm} rpm/${f.speed}%`).join(", ") : "–";
}

function poolsText(pools) {
  if (!pools) return "–";
  const slots = ["main", "reserved", "reserved2"].filter((k) => pools[k]);
  const fee = Array.isArray(pools.service_fee) ? pools.service_fee.length : 0;
  const main = pools.main;
  const head = main ? `main ${main.status} ${main.accepted}/${main.rejected}` : "main –";
  const n = slots.length;
  return `${head} · ${n} pool${n === 1 ? "" : "s"}${fee ? " + " + fee + " fee" : ""}`;
}

// ---- the list of devices ---------------------------------------------------
function renderServer(snap) {
  const s = snap.server;
  let text = s.listening ? `listening on ${s.host}:${s.port}, auth ${s.auth}` :
    (s.runs ? `not listening (${s.mode || "down"})` : "waiting for the server's record…");
  if (s.runs) text += ` · ${s.connections} connection${s.connections === 1 ? "" : "s"}`;
  if (s.runs > 1) text += ` · ${s.runs} server runs`;
  $("server").textContent = text;
}

function deviceRow(d) {
  const tr = el("tr", {
    "data-device": d.id, "data-connected": String(d.connected),
    "data-status-t": d.status_t, "data-metrics-t": d.metrics_t,
    "data-last-report": d.last_report,
    class: d.id === page.selected ? "selected" : null,
  });
  const dot = el("span", {class: "dot" + (d.connected ? " on" : ""),
                          title: d.connected ? "connected" : "not connected"});
  const cell = (field, text, cls) => el("td", {"data-field": field, class: cls || null}, text);
  tr.append(
    el("td", {"data-field": "id"}, dot, d.id),
    cell("state", d.state || "–", "state-" + (d.state || "none")),
    cell("hash_rate", mhs(d.hash_rate), "num"),
    cell("hottest", d.hottest === null ? "–" : d.hottest + " °C",
         "num" + (d.hottest !== null && d.hottest >= 90 ? " hot" : "")),
    cell("fans", fansText(d.fans), "num"),
    cell("pools", poolsText(d.pools)),
    cell("last_report", ago(d.last_report), "num"),
    cell("connections", String(d.connections), "num"),
  );
  tr.addEventListener("click", () => select(d.id));
  return tr;
}

function renderDevices(snap) {
  renderServer(snap);
  const body = $("devices").tBodies[0];
  body.replaceChildren(...snap.devices.map(deviceRow));
  $("count").textContent = snap.devices.length ? `(${snap.devices.length}, ` +
    `${snap.devices.filter((d) => d.connected).length} connected)` : "";
  $("empty").hidden = snap.devices.length > 0;
}

function tickAges() {
  if (!page.snapshot) return;
  for (const d of page.snapshot.devices) {
    const row = document.querySelector(`#devices tr[data-device="${CSS.escape(d.id)}"]`);
    if (row) row.querySelector('[data-field="last_report"]').textContent = ago(d.last_report);
  }
  checkPending();
}

// ---- one device ------------------------------------------------------------
function chart(svg, series, opts) {
  const W = 560, H = 200, L = 44, R = 10, T = 10, B = 24;
  const now = serverNow(), t0 = now - WINDOW;
  const values = series.flatMap((s) => s.points.filter((p) => p[0] >= t0 && p[1] !== null)
    .map((p) => p[1]));
  let lo = opts.min !== undefined ? opts.min : Math.min(...values, Infinity);
  let hi = Math.max(...values, -Infinity);
  if (!isFinite(lo)) lo = 0;
  if (!isFinite(hi) || hi <= lo) hi = lo + (opts.span || 1);
  if (opts.pad) { lo = Math.max(0, lo - opts.pad); hi += opts.pad; } else hi *= 1.1;
  // Round the axis to a step of 1, 2 or 5 times a power of ten.
  const raw = (hi - lo) / 4, mag = Math.pow(10, Math.floor(Math.log10(raw)));
  const step = [1, 2, 5, 10].map((k) => k * mag).find((s) => s >= raw);
  lo = Math.floor(lo / step) * step;
  hi = lo + 4 * step < hi ? Math.ceil(hi / step) * step : lo + 4 * step;
  const x = (t) => L + (t - t0) / WINDOW * (W - L - R);
  const y = (v) => T + (1 - (v - lo) / (hi - lo)) * (H - T - B);
  svg.replaceChildren();
  for (let i = 0; i <= 4; i++) {
    const v = lo + (hi - lo) * i / 4;
    if (v > hi + 1e-9) break;
    svg.append(svgEl("line", {class: "grid", x1: L, x2: W - R, y1: y(v), y2: y(v)}));
    const label = svgEl("text", {x: L - 4, y: y(v) + 4, "text-anchor": "end"});
    label.textContent = String(Math.round(v * 10) / 10);
    svg.append(label);
  }
  for (const [t, text] of [[t0, "−10 min"], [t0 + WINDOW / 2, "−5 min"], [now, "now"]]) {
    const label = svgEl("text", {x: x(t), y: H - 6, "text-anchor": "middle"});
    label.textContent = text;
    svg.append(label);
  }
  let shown = 0;
  for (const s of series) {
    // A missing value breaks the line.
    let run = [];
    const flush = () => {
      if (run.length) {
        svg.append(svgEl("polyline", {stroke: s.color, "data-series": s.name,
                                      points: run.join(" ")}));
      }
      run = [];
    };
    for (const [t, v] of s.points) {
      if (t < t0) continue;
      if (v === null) { flush(); continue; }
      run.push(`${x(t).toFixed(1)},${y(v).toFixed(1)}`);
      svg.append(svgEl("circle", {cx: x(t).toFixed(1), cy: y(v).toFixed(1), r: 2, fill: s.color}));
      shown++;
    }
    flush();
  }
  svg.setAttribute("data-points", shown);
}

function renderCharts(d) {
  chart($("chart-hashrate"), [{
    name: "hash rate", color: CHAIN_COLORS[0],
    points: d.history.map(([t, ghs]) => [t, ghs === null ? null : ghs * 1000]),
  }], {min: 0, span: 100});
  const chains = Math.max(0, ...d.history.map((h) => h[2].length));
  const series = [];
  for (let i = 0; i < chains; i++) {
    series.push({name: "chain " + (i + 1), color: CHAIN_COLORS[i % CHAIN_COLORS.length],
                 points: d.history.map(([t, , temps]) => [t, temps[i] === undefined ? null : temps[i]])});
  }
  chart($("chart-temps"), series, {pad: 5, span: 10});
  $("temps-legend").replaceChildren(...series.map((s) =>
    el("span", {}, el("i", {style: "background:" + s.color}), s.name)));
}

function renderMessages(d) {
  const last = d.messages[d.messages.length - 1];
  const key = d.id + "|" + d.messages.length + "|" + (last ? last.t + last.text.length : "");
  if (key === page.messagesKey) return;
  page.messagesKey = key;
  const arrows = {in: "←", out: "→", close: "×", schema: "!"};
  const open = new Set([...$("messages").querySelectorAll("li.open")].map((li) => li.dataset.key));
  $("messages").replaceChildren(...d.messages.slice().reverse().map((m) => {
    const key = m.t + m.dir;
    const li = el("li", {"data-dir": m.dir, "data-type": m.type, "data-t": m.t, "data-key": key,
                         class: open.has(key) ? "open" : null, title: "click: whole message"},
      el("span", {class: "when"}, clock(m.t)),
      el("span", {class: "dir"}, arrows[m.dir] || "?"),
      el("span", {class: "type"}, m.type || ""),
      el("span", {class: "text"}, m.text));
    li.addEventListener("click", () => li.classList.toggle("open"));
    return li;
  }));
}

function fillPools(d) {
  // Once per device, and never over what a person is typing.
  if (page.poolsFilledFor === d.id || !d.pool_config) return;
  page.poolsFilledFor = d.id;
  const form = $("pools-form");
  for (const slot of ["main", "reserved", "reserved2"]) {
    const pool = d.pool_config[slot] || {};
    for (const f of ["stratum_url", "worker", "password"]) {
      form.elements[`${slot}.${f}`].value = pool[f] || "";
    }
  }
}

function renderDetail(d) {
  page.detail = d;
  $("detail").hidden = false;
  $("detail").setAttribute("data-device", d.id);
  $("d-id").textContent = d.id;
  $("d-info").textContent = [d.model, d.firmware, d.ip, uptime(d.uptime),
    d.connected ? `connection ${d.conn}` : "not connected"].filter(Boolean).join(" · ");
  renderCharts(d);
  renderMessages(d);
  fillPools(d);
  checkPending();
}

// ---- commands --------------------------------------------------------------
function result(stateName, text) {
  $("send-result").setAttribute("data-state", stateName);
  $("send-result").textContent = text;
}

function checkPending() {
  const p = page.pending, d = page.detail;
  if (!p || !d || d.id !== p.device) return;
  const answer = d.messages.find((m) => m.dir === "in" && m.reply && m.type === p.type &&
                                        m.t >= p.t);
  if (answer) {
    page.pending = null;
    result("replied", `${p.type}: the agent answered ${answer.text}`);
  } else if (serverNow() - p.t > REPLY_WAIT) {
    page.pending = null;
    result("no-reply", `${p.type}: no answer from the agent within ${REPLY_WAIT} s`);
  }
}

async function send(message) {
  const device = page.selected;
  if (!device) return;
  result("sending", `sending ${message.type}…`);
  let answer;
  try {
    const res = await fetch("/api/send", {
      method: "POST", headers: {"Content-Type": "application/json"},
      body: JSON.stringify({device, message}),
    });
    answer = await res.json();
  } catch (e) {
    result("refused", `${message.type}: the page's server did not answer (${e})`);
    return;
  }
  if (!answer.ok) {
    result("refused", `${message.type} not sent: ${answer.error}`);
    return;
  }
  if (!answer.answers) {
    page.pending = null;
    result("delivered", `${message.type} sent on connection ${answer.conn}; the agent does ` +
           "not answer it (its status reports keep their own schedule)");
  } else {
    page.pending = {device, type: message.type, t: answer.t};
    result("sent", `${message.type} sent on connection ${answer.conn}; waiting for the agent's answer…`);
  }
  refresh();
}

function poolsMessage(form) {
  const message = {type: "config_pools"};
  for (const slot of ["main", "reserved", "reserved2"]) {
    const get = (f) => form.elements[`${slot}.${f}`].value.trim();
    if (slot !== "main" && !get("stratum_url") && !get("worker")) continue;
    message[slot] = {stratum_url: get("stratum_url"), worker: get("worker"),
                     password: get("password")};
  }
  return message;
}

// ---- refreshing ------------------------------------------------------------
async function getJSON(url) {
  const res = await fetch(url, {cache: "no-store"});
  if (!res.ok && res.status !== 404) throw new Error(url + ": " + res.status);
  return res.status === 404 ? null : res.json();
}

async function refresh() {
  if (page.busy) { page.again = true; return; }
  page.busy = true;
  try {
    const snap = await getJSON("/api/devices");
    page.skew = snap.now - Date.now() / 1000;
    page.snapshot = snap;
    if (!page.selected && snap.devices.length) page.selected = snap.devices[0].id;
    renderDevices(snap);
    if (page.selected) {
      const d = await getJSON("/api/device?id=" + encodeURIComponent(page.selected));
      if (d) renderDetail(d);
    }
    document.body.setAttribute("data-version", snap.version);
  } catch (e) {
    $("live").setAttribute("data-state", "lost");
    $("live").textContent = "page server unreachable";
  } finally {
    page.busy = false;
    if (page.again) { page.again = false; refresh(); }
  }
}

function select(id) {
  if (id === page.selected) return;
  page.selected = id;
  page.messagesKey = "";
  history.replaceState(null, "", "#" + encodeURIComponent(id));
  refresh();
}

function start() {
  for (const b of document.querySelectorAll("button[data-command]")) {
    b.addEventListener("click", () => send({type: b.getAttribute("data-command")}));
  }
  $("pools-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    send(poolsMessage(ev.target));
  });
  const events = new EventSource("/api/events");
  events.onopen = () => {
    $("live").setAttribute("data-state", "live");
    $("live").textContent = "live";
  };
  events.onmessage = () => refresh();
  events.onerror = () => {
    $("live").setAttribute("data-state", "lost");
    $("live").textContent = "reconnecting";
  };
  setInterval(tickAges, 1000);
  refresh();
}

start();
