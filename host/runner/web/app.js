// The live view: polls the host's JSON API, shows each device's state and the
// selected device's last record grouped by plant unit and kind, and draws a
// point's trend over the last hour from the history.
"use strict";

const REFRESH_MS = 2000;
const TREND_MINUTES = 60;
const KINDS = ["analog inputs", "motors", "valves", "meters", "system"];

const $ = (id) => document.getElementById(id);

const view = {
  devices: [],
  history: false,
  broker: null,        // the broker's state, when the host publishes
  selected: null,      // device id shown
  userSelected: false, // chosen by a click, kept even without a record
  shown: null,         // "id/records" of the record on the page
  layoutFor: null,     // device id the point rows were built for
  rows: [],            // one per point: {tr, val, name, key, index, text, group}
  groups: [],          // {el, rows, unit}
  units: [],           // {el, groups}
  chosen: null,        // point index (from 1) whose trend is shown
  reachable: true,     // the host answered the last poll
};

// Flags whose names end in Alarm or Fault: highlighted when set.
const isFlag = (name) => /(Alarm|Fault)$/.test(name);

// The device and point in the address (?device=9&point=600), so a view can be shared.
function readAddress() {
  const q = new URLSearchParams(location.search);
  const d = Number.parseInt(q.get("device"), 10);
  const p = Number.parseInt(q.get("point"), 10);
  if (Number.isInteger(d)) { view.selected = d; view.userSelected = true; }
  if (Number.isInteger(p) && p > 0) view.chosen = p;
}

function writeAddress() {
  const q = new URLSearchParams();
  if (view.selected !== null) q.set("device", view.selected);
  if (view.chosen !== null) q.set("point", view.chosen);
  const text = q.toString();
  history.replaceState(null, "", text ? `?${text}` : location.pathname);
}

// Enter or space on a focusable row does what a click does.
function activatable(tr, action) {
  tr.tabIndex = 0;
  tr.addEventListener("click", action);
  tr.addEventListener("keydown", (e) => {
    if (e.key === "Enter" || e.key === " ") { e.preventDefault(); action(); }
  });
}

// --- values as `quorlin decode` prints them ---------------------------------

function floatFromRaw(hex) {
  const bytes = new Uint8Array(4);
  for (let i = 0; i < 4; i++) bytes[i] = parseInt(hex.substr(2 * i, 2), 16);
  return new DataView(bytes.buffer).getFloat32(0, true);
}

// The shortest decimal that reads back as the same single-precision float
// (the closest one when several are as short), in fixed or scientific form,
// whichever is shorter: what C++'s std::to_chars(float) writes.
function floatText(f) {
  if (Number.isNaN(f)) return "nan";
  if (f === Infinity) return "inf";
  if (f === -Infinity) return "-inf";
  if (f === 0) return Object.is(f, -0) ? "-0" : "0";
  const sign = f < 0 ? "-" : "";
  const a = Math.abs(f);
  for (let p = 1; p <= 9; p++) {
    const [mantissa, e] = a.toExponential(p - 1).split("e");
    const n = Number(mantissa.replace(".", ""));
    const shift = Number(e) - p + 1;
    const fits = [n - 1, n, n + 1].filter((c) => c >= 10 ** (p - 1) && c < 10 ** p &&
      Math.fround(Number(`${c}e${shift}`)) === a);
    if (fits.length) {
      // The closest; of two as close, the even one.
      const dist = distances(fits, shift, a);
      let best = 0;
      for (let i = 1; i < fits.length; i++) {
        if (dist[i] < dist[best] || (dist[i] === dist[best] && fits[i] % 2 === 0)) best = i;
      }
      let digits = String(fits[best]);
      const exp = shift + digits.length - 1;
      digits = digits.replace(/0+$/, "");
      return sign + decimalText(digits, exp, a);
    }
  }
  return sign + String(a);  // not reached: nine digits always read back
}

// |c * 10^shift - a| for each c, exactly (as integers of one common scale).
function distances(cs, shift, a) {
  let k = 0;
  while (!Number.isInteger(a * 2 ** k)) k++;  // a = N / 2^k exactly
  const t = shift < 0 ? -shift : 0;
  const target = BigInt(a * 2 ** k) * 10n ** BigInt(t);
  const scale = 10n ** BigInt(shift + t) * 2n ** BigInt(k);
  return cs.map((c) => {
    const d = BigInt(c) * scale - target;
    return d < 0n ? -d : d;
  });
}

// digits "d1d2..." times 10^exp with d1 in the ones place, for the value a.
// Like printf's %f, the fixed form of a whole number has all its exact digits.
function decimalText(digits, exp, a) {
  const k = digits.length;
  let fixed;
  if (exp >= k - 1) fixed = BigInt(a).toString();
  else if (exp >= 0) fixed = digits.slice(0, exp + 1) + "." + digits.slice(exp + 1);
  else fixed = "0." + "0".repeat(-exp - 1) + digits;
  const sci = digits[0] + (k > 1 ? "." + digits.slice(1) : "") + "e" +
    (exp < 0 ? "-" : "+") + String(Math.abs(exp)).padStart(2, "0");
  return fixed.length <= sci.length ? fixed : sci;
}

function valueText(p) {
  return p.width === 4 ? floatText(floatFromRaw(p.raw)) : String(p.value);
}

// The field's bytes in record order, e.g. "79 1e 0a 42".
function rawBytes(p) {
  if (p.width === 4) return p.raw.match(/../g).join(" ");
  const hex = (b) => (b & 0xff).toString(16).padStart(2, "0");
  return p.width === 1 ? hex(p.value) : `${hex(p.value)} ${hex(p.value >> 8)}`;
}

// --- grouping by node id ------------------------------------------------------

// [unit, kind] of a node id such as "t|D3G3_M11_冷凝器出水温度".
function groupOf(name) {
  const n = name.replace(/^t\|/, "");
  const m = /^D3G(\d+)_?(.*)$/.exec(n);
  const unit = m ? `unit ${m[1]}` : "plant";
  const rest = m ? m[2] : n.replace(/^D3_?/, "");
  let kind = "system";
  if (/^AI\d/.test(rest)) kind = "analog inputs";
  else if (/^G?M\d/.test(rest)) kind = "motors";
  else if (/^V\d/.test(rest)) kind = "valves";
  else if (/^(DBR|NLG|XLG)|流量|能量/.test(rest)) kind = "meters";
  return [unit, kind];
}

function unitOrder(unit) {
  const m = /^unit (\d+)$/.exec(unit);
  return m ? Number(m[1]) : 1e9;
}

function element(tag, attrs, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") el.className = v;
    else el.setAttribute(k, v);
  }
  for (const c of children) el.append(c);
  return el;
}

// --- the record ----------------------------------------------------------------

function buildLayout(record) {
  const units = new Map();
  view.rows = [];
  for (const p of record.points) {
    const [unit, kind] = groupOf(p.name);
    if (!units.has(unit)) units.set(unit, new Map());
    const kinds = units.get(unit);
    if (!kinds.has(kind)) kinds.set(kind, []);
    const val = element("td", { class: "val" });
    const name = element("td", { class: "name" }, p.name);
    if (p.overwritten_by) {
      name.append(element("span", { class: "mark", title: `partly overwritten by ${p.overwritten_by}` }, "◐"));
    }
    const tr = element("tr", { "data-index": p.index }, element("td", { class: "idx" }, String(p.index)), name, val);
    const row = { tr, val, name: p.name, index: p.index, key: `${p.index} ${p.name}`.toLowerCase(), text: null,
      nameCell: name, quality: null, problem: false };
    activatable(tr, () => chooseTrend(p.index));
    kinds.get(kind).push(row);
    view.rows.push(row);
  }
  const root = $("groups");
  root.replaceChildren();
  view.groups = [];
  view.units = [];
  const unitNames = [...units.keys()].sort((a, b) => unitOrder(a) - unitOrder(b));
  for (const unit of unitNames) {
    const unitEl = element("div", { class: "unit" }, element("h3", {}, unit));
    const entry = { el: unitEl, groups: [] };
    const kinds = units.get(unit);
    for (const kind of KINDS) {
      if (!kinds.has(kind)) continue;
      const rows = kinds.get(kind);
      const tbody = element("tbody");
      for (const r of rows) tbody.append(r.tr);
      const el = element("div", { class: "kind" }, element("h4", {}, `${kind} (${rows.length})`),
        element("table", { class: "points" }, tbody));
      const group = { el, rows };
      entry.groups.push(group);
      view.groups.push(group);
      unitEl.append(el);
    }
    view.units.push(entry);
    root.append(unitEl);
  }
  applyFilter();
}

function renderRecord(device, record) {
  if (view.layoutFor !== device.id || view.rows.length !== record.points.length) {
    buildLayout(record);
    view.layoutFor = device.id;
  }
  record.points.forEach((p, i) => {
    const row = view.rows[i];
    const text = valueText(p);
    if (text === row.text) {
      row.tr.classList.remove("changed");
      return;
    }
    row.tr.classList.toggle("changed", row.text !== null);
    row.text = text;
    row.val.textContent = text;
    row.val.title = `offset ${p.offset}, ${p.width} byte${p.width > 1 ? "s" : ""}: ${rawBytes(p)}`;
  });
  let alarms = 0;
  record.points.forEach((p, i) => {
    const row = view.rows[i];
    const on = isFlag(p.name) && p.value !== 0 && p.value !== null;
    alarms += on;
    row.tr.classList.toggle("alarm-on", on);
    markQuality(row, p);
  });
  $("record-title").dataset.alarms = alarms;
  applyFilter();
  $("record-title").textContent = `device ${record.device_id} · record of ${record.time}`;
  if (!document.body.dataset.firstRecordMs) {
    document.body.dataset.firstRecordMs = performance.now().toFixed(1);
  }
}

// A point whose last read was not Good: coloured, a symbol, the status and
// read time on hover; the "problem points" filter lists these.
function markQuality(row, p) {
  const status = p.status || "Good";
  const bad = status.startsWith("Bad");
  const uncertain = status.startsWith("Uncertain");
  row.problem = bad || uncertain;
  row.tr.classList.toggle("bad", bad);
  row.tr.classList.toggle("uncertain", uncertain);
  row.tr.dataset.status = status;
  const title = `${status}, last read ${p.read_at || "never by this host"}`;
  if (!row.problem) {
    if (row.quality) { row.quality.remove(); row.quality = null; }
    return;
  }
  if (!row.quality) {
    row.quality = element("span", { class: "quality" });
    row.nameCell.append(row.quality);
  }
  row.quality.textContent = bad ? "✖" : "?";
  row.quality.title = title;
}

function clearRecord(text) {
  $("groups").replaceChildren(element("p", { class: "empty" }, text));
  view.rows = [];
  view.groups = [];
  view.units = [];
  view.layoutFor = null;
  view.shown = null;
  $("count").textContent = "";
}

function applyFilter() {
  const q = $("filter").value.trim().toLowerCase();
  const problems = $("problems").checked;
  let shown = 0;
  for (const r of view.rows) {
    const hit = (q === "" || r.key.includes(q)) && (!problems || r.problem);
    r.tr.classList.toggle("out", !hit);
    if (hit) shown++;
  }
  for (const u of view.units) {
    let any = false;
    for (const g of u.groups) {
      const some = g.rows.some((r) => !r.tr.classList.contains("out"));
      g.el.classList.toggle("out", !some);
      any = any || some;
    }
    u.el.classList.toggle("out", !any);
  }
  if (view.rows.length) {
    $("count").textContent = q === "" && !problems ? `${view.rows.length} points`
      : `${shown} of ${view.rows.length} points`;
  }
}

// --- devices -------------------------------------------------------------------

// The broker's state, when the host publishes to one.
function renderBroker() {
  const b = view.broker;
  $("broker").hidden = !b;
  $("backlog-head").hidden = !b;
  if (!b) return;
  $("broker").className = b.connected && b.primary_host_online ? "" : "error";
  $("broker").textContent = !b.connected ? "broker: not connected"
    : b.primary_host_online ? `broker: ${b.server}` : `broker: ${b.server}, primary host offline`;
}

function renderDevices() {
  const body = $("devices").tBodies[0];
  body.replaceChildren();
  for (const d of view.devices) {
    // Nothing the page knows is current while the host does not answer.
    const state = view.reachable ? d.state : "unknown";
    const cls = ["live", "stale", "restored", "unknown"].includes(state) ? state : "none";
    let health = "", hcls = "";
    if (!view.reachable) {
      health = "host not answering";
    } else if (d.last_error) {
      health = `${d.last_error} (${d.failed_rounds} failed)`;
      hcls = "fail";
    } else if (d.bad_points || d.uncertain_points) {
      health = `${d.bad_points} bad, ${d.uncertain_points} uncertain`;
      hcls = "warn";
    } else if (d.last_outcome) {
      health = "all points Good";
    }
    const tr = element("tr", { "data-id": d.id },
      element("td", {}, String(d.id)),
      element("td", {}, `${d.address}:${d.port}`),
      element("td", { class: `state ${cls}` }, state),
      element("td", { class: "num" }, String(d.records)),
      element("td", {}, d.last_stamp || "–"),
      element("td", { class: `health ${hcls}` }, health),
      element("td", { class: "num" }, d.active_alarms == null ? "–" : String(d.active_alarms)));
    if (view.broker) tr.append(element("td", { class: "num" }, d.backlog == null ? "–" : String(d.backlog)));
    if (!view.reachable) tr.classList.add("unknown");
    else if (hcls === "fail") tr.classList.add("failing");
    else if (hcls === "warn") tr.classList.add("warning");
    if (d.id === view.selected) tr.classList.add("selected");
    activatable(tr, () => {
      view.selected = d.id;
      view.userSelected = true;
      view.shown = null;
      view.chosen = null;
      $("trend").hidden = true;
      writeAddress();
      refreshNow();
    });
    body.append(tr);
  }
}

function pickDevice() {
  const current = view.devices.find((d) => d.id === view.selected);
  if (current && (view.userSelected || current.records > 0)) return current;
  const withRecord = view.devices.find((d) => d.records > 0);
  const next = withRecord || view.devices[0] || null;
  view.selected = next ? next.id : null;
  return next;
}

// --- trend ---------------------------------------------------------------------

function chooseTrend(index) {
  view.chosen = index;
  writeAddress();
  for (const r of view.rows) r.tr.classList.toggle("chosen", r.index === index);
  loadTrend();
}

async function loadTrend() {
  const index = view.chosen;
  const id = view.selected;
  if (index === null || id === null) return;
  const row = view.rows[index - 1];
  $("trend").hidden = false;
  $("trend-title").textContent = `#${index} ${row ? row.name : ""}`;
  if (!view.history) {
    $("trend-note").textContent = "no trend: qrn-host runs without --history";
    $("trend-svg").replaceChildren();
    return;
  }
  try {
    const h = await getJson(`/api/devices/${id}/points/${index}/history?minutes=${TREND_MINUTES}`);
    if (view.chosen === index && view.selected === id) drawTrend(h.values);
  } catch (e) {
    $("trend-note").textContent = `no trend: ${e.message}`;
  }
}

function svg(tag, attrs, text) {
  const el = document.createElementNS("http://www.w3.org/2000/svg", tag);
  for (const [k, v] of Object.entries(attrs)) el.setAttribute(k, v);
  if (text !== undefined) el.textContent = text;
  return el;
}

function drawTrend(values) {
  const box = $("trend-svg");
  box.replaceChildren();
  const pts = values.filter((v) => v[1] !== null)
    .map(([t, v]) => [Date.parse(t.replace(" ", "T")), v]);
  if (!pts.length) {
    $("trend-note").textContent = `no values in the last ${TREND_MINUTES} minutes`;
    return;
  }
  const W = 640, H = 180, L = 64, R = 10, T = 10, B = 24;
  let [t0, t1] = [pts[0][0], pts[pts.length - 1][0]];
  if (t1 === t0) { t0 -= 30000; t1 += 30000; }
  let lo = Math.min(...pts.map((p) => p[1]));
  let hi = Math.max(...pts.map((p) => p[1]));
  const [vmin, vmax] = [lo, hi];
  if (hi === lo) { const pad = Math.abs(hi) * 0.01 || 1; lo -= pad; hi += pad; }
  const x = (t) => L + (t - t0) / (t1 - t0) * (W - L - R);
  const y = (v) => T + (hi - v) / (hi - lo) * (H - T - B);
  box.append(svg("line", { class: "axis", x1: L, y1: T, x2: L, y2: H - B }));
  box.append(svg("line", { class: "axis", x1: L, y1: H - B, x2: W - R, y2: H - B }));
  box.append(svg("text", { x: L - 6, y: T + 8, "text-anchor": "end" }, floatText(Math.fround(hi))));
  box.append(svg("text", { x: L - 6, y: H - B, "text-anchor": "end" }, floatText(Math.fround(lo))));
  const hm = (t) => new Date(t).toTimeString().slice(0, 8);
  box.append(svg("text", { x: L, y: H - 6 }, hm(t0)));
  box.append(svg("text", { x: W - R, y: H - 6, "text-anchor": "end" }, hm(t1)));
  const line = pts.map(([t, v]) => `${x(t).toFixed(1)},${y(v).toFixed(1)}`).join(" ");
  box.append(svg("polyline", { class: "line", points: line }));
  if (pts.length <= 60) {  // few values: each one seen, a lone one too
    for (const [t, v] of pts) box.append(svg("circle", { class: "dot", cx: x(t), cy: y(v), r: 2.5 }));
  }
  $("trend-note").textContent =
    `${pts.length} values in the last ${TREND_MINUTES} minutes, ` +
    `from ${floatText(Math.fround(vmin))} to ${floatText(Math.fround(vmax))}`;
}

// --- polling -------------------------------------------------------------------

async function getJson(url) {
  const res = await fetch(url, { cache: "no-store" });
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(body.error || `HTTP ${res.status}`);
  return body;
}

let timer = null;
let running = false;

// The history's size, its file system's free space, its oldest row and the
// days its budget still has at the current rate, as /metrics gives them.
function mib(bytes) { return `${(bytes / 1048576).toFixed(1)} MiB`; }
function renderHistorySpace(h) {
  const el = $("history-space");
  el.hidden = !h;
  if (!h) return;
  const parts = [`history ${mib(h.bytes)}`];
  if (h.filesystem_free_bytes !== null) parts.push(`${mib(h.filesystem_free_bytes)} free`);
  if (h.oldest_record_timestamp !== null)
    parts.push(`since ${new Date(h.oldest_record_timestamp * 1000).toLocaleString()}`);
  if (h.days_left !== null) parts.push(`budget full in ${h.days_left.toFixed(1)} days`);
  el.textContent = parts.join(" · ");
}

async function refresh() {
  if (running) return;
  running = true;
  try {
    const list = await getJson("/api/devices");
    view.reachable = true;
    view.devices = list.devices;
    view.history = list.history;
    renderHistorySpace(list.history_space);
    view.broker = list.broker || null;
    renderBroker();
    const device = pickDevice();
    renderDevices();
    if (!device) {
      clearRecord("no devices configured");
    } else if (device.records === 0) {
      $("record-title").textContent = `device ${device.id}`;
      clearRecord(`device ${device.id} has handed over no record yet`);
    } else if (view.shown !== shownKey(device)) {
      const record = await getJson(`/api/devices/${device.id}/record`);
      view.shown = shownKey(device);
      renderRecord(device, record);
      if (view.chosen !== null) chooseTrend(view.chosen);
    }
    $("status").className = "";
    $("status").textContent = `updated ${new Date().toTimeString().slice(0, 8)}`;
  } catch (e) {
    $("status").className = "error";
    $("status").textContent = `host not reachable: ${e.message}`;
    if (view.reachable) { view.reachable = false; renderDevices(); }
  } finally {
    running = false;
    clearTimeout(timer);
    timer = setTimeout(refresh, REFRESH_MS);
  }
}

// A record is fetched again when a record or a round report came.
function shownKey(d) {
  return `${d.id}/${d.records}/${d.failed_rounds}/${d.bad_points}/${d.uncertain_points}/${d.round_ms}`;
}

function refreshNow() {
  clearTimeout(timer);
  refresh();
}

$("filter").addEventListener("input", applyFilter);
$("problems").addEventListener("change", applyFilter);
$("trend-close").addEventListener("click", () => {
  view.chosen = null;
  for (const r of view.rows) r.tr.classList.remove("chosen");
  $("trend").hidden = true;
  writeAddress();
});
readAddress();
refresh();
