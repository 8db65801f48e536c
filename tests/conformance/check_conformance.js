#!/usr/bin/env node
// Reads what a subscriber to spBv1.0/# captured from the edge node, one
// message a line: "TOPIC QOS RETAIN HEX-PAYLOAD" (mosquitto_sub -F
// '%t %q %r %x', subscribed at QoS 1 with retain as published), decodes
// every payload with the independent codec and checks each Sparkplug B 3.0
// rule that binds an edge node. Prints one table row per rule; exits 1 when
// any fails.
//
//   check_conformance.js CAPTURE GROUP NODE DEVICE-IDS PRIMARY-HOST [NULL-POINT] [UINT32-POINT]
"use strict";

const fs = require("fs");
const sparkplug = require("sparkplug-payload").get("spBv1.0");

const [capture, group, node, deviceList, primary, nullPoint, uint32Point] = process.argv.slice(2);
const devices = deviceList.split(",");
const NODE_TYPES = new Set(["NBIRTH", "NDEATH", "DBIRTH", "DDATA", "DDEATH", "NCMD", "DCMD"]);

const num = (v) => (v === null || v === undefined ? v : Number(v.toString()));

function read(path) {
  const out = [];
  for (const line of fs.readFileSync(path, "utf8").split("\n")) {
    if (!line) continue;
    const [topic, qos, retain, hex = ""] = line.split(" ");
    const m = { topic, qos: Number(qos), retain: retain === "1", parts: topic.split("/") };
    const bytes = Buffer.from(hex, "hex");
    if (m.parts[1] === "STATE") {
      m.type = "STATE";
      m.state = JSON.parse(bytes.toString("utf8"));
    } else {
      m.type = m.parts[2];
      try {
        m.payload = sparkplug.decodePayload(bytes);
      } catch (e) {
        m.error = String(e);
      }
    }
    out.push(m);
  }
  return out;
}

const messages = read(capture);
const ours = messages.filter((m) => m.type !== "STATE" && m.type !== "NCMD");
const rows = [];
function rule(id, statement, failures, seen) {
  rows.push({ id, statement, ok: failures.length === 0 && seen > 0, detail: failures.length
    ? failures.slice(0, 3).join("; ") : seen > 0 ? `${seen} checked` : "nothing to check" });
}
const metric = (m, name) => (m.payload.metrics || []).find((x) => x.name === name);
const by = (type) => ours.filter((m) => m.type === type);

// Topics and decoding.
rule("topic-structure", "spBv1.0/group/TYPE/node[/device], the node's own ids",
  ours.filter((m) => !(m.parts[0] === "spBv1.0" && m.parts[1] === group && NODE_TYPES.has(m.type) &&
    m.parts[3] === node && m.parts.length === (m.type[0] === "D" ? 5 : 4))).map((m) => m.topic),
  ours.length);
rule("payloads-decode", "every payload decodes with the independent codec",
  ours.filter((m) => m.error).map((m) => `${m.topic}: ${m.error}`), ours.length);
const decoded = ours.filter((m) => !m.error);

// QoS, retain, timestamps.
rule("payloads-qos", "NBIRTH, DBIRTH, DDATA, DDEATH at QoS 0",
  decoded.filter((m) => m.type !== "NDEATH" && m.qos !== 0).map((m) => `${m.topic} QoS ${m.qos}`),
  decoded.filter((m) => m.type !== "NDEATH").length);
rule("payloads-retain", "no node message is retained",
  decoded.filter((m) => m.retain).map((m) => m.topic), decoded.length);
rule("ndeath-will-qos", "NDEATH (the will) at QoS 1",
  by("NDEATH").filter((m) => m.qos !== 1).map((m) => `QoS ${m.qos}`), by("NDEATH").length);
const now = Date.now();
rule("payloads-timestamp", "NBIRTH, DBIRTH, DDATA carry a UTC timestamp in ms",
  decoded.filter((m) => ["NBIRTH", "DBIRTH", "DDATA"].includes(m.type) &&
    !(Math.abs(num(m.payload.timestamp) - now) < 86400e3)).map((m) => `${m.topic} ${m.payload.timestamp}`),
  decoded.length);

// NBIRTH, NDEATH and bdSeq.
rule("nbirth-seq", "NBIRTH at seq 0",
  by("NBIRTH").filter((m) => num(m.payload.seq) !== 0).map((m) => `seq ${m.payload.seq}`), by("NBIRTH").length);
rule("nbirth-bdseq", "NBIRTH carries bdSeq as Int64, 0 to 255",
  by("NBIRTH").filter((m) => { const b = metric(m, "bdSeq"); return !b || b.type !== "Int64" ||
    !(num(b.value) >= 0 && num(b.value) <= 255); }).map((m) => JSON.stringify(metric(m, "bdSeq"))),
  by("NBIRTH").length);
rule("nbirth-rebirth", "NBIRTH carries Node Control/Rebirth, Boolean false",
  by("NBIRTH").filter((m) => { const r = metric(m, "Node Control/Rebirth");
    return !r || r.type !== "Boolean" || r.value !== false; }).map((m) => m.topic), by("NBIRTH").length);
rule("node-metrics-alias", "bdSeq and Node Control/Rebirth carry no alias",
  by("NBIRTH").concat(by("NDEATH")).flatMap((m) => (m.payload.metrics || [])
    .filter((x) => x.alias !== undefined && num(x.alias) !== 0).map((x) => x.name)), by("NBIRTH").length);
{
  const fails = [];
  let born = null, afterDeath = null, seen = 0;
  for (const m of decoded) {
    if (m.type === "NBIRTH") {
      const b = num(metric(m, "bdSeq").value);
      if (afterDeath !== null && b !== (afterDeath + 1) % 256) fails.push(`NBIRTH ${b} after NDEATH ${afterDeath}`);
      if (afterDeath === null && born !== null && b !== born) fails.push(`rebirth ${b} after ${born}`);
      born = b;
      afterDeath = null;
      seen++;
    } else if (m.type === "NDEATH") {
      const d = num(metric(m, "bdSeq").value);
      if (m.payload.seq !== undefined && m.payload.seq !== null) fails.push("NDEATH with a seq");
      if (born !== null && d !== born) fails.push(`NDEATH ${d} after NBIRTH ${born}`);
      afterDeath = d;
    }
  }
  rule("bdseq-connect", "NDEATH has its NBIRTH's bdSeq and no seq; bdSeq +1 per new connection",
    fails, seen);
}

// Sequence, order, aliases.
{
  const seqFails = [], orderFails = [], aliasFails = [], unknown = [];
  let seq = null, born = new Set(), data = false, aliases = new Map(), seen = 0;
  for (const m of decoded) {
    if (m.type === "NBIRTH") {
      seq = 0; born = new Set(); data = false; aliases = new Map();
      continue;
    }
    if (!["DBIRTH", "DDATA", "DDEATH"].includes(m.type) || seq === null) continue;
    seen++;
    if (num(m.payload.seq) !== (seq + 1) % 256) seqFails.push(`${m.topic} seq ${m.payload.seq} after ${seq}`);
    seq = num(m.payload.seq);
    const device = m.parts[4];
    if (m.type === "DBIRTH") {
      if (data && !born.has(device)) orderFails.push(`DBIRTH of ${device} after a DDATA`);
      born.add(device);
      for (const x of m.payload.metrics) {
        const a = num(x.alias);
        const owner = aliases.get(a);
        if (owner !== undefined && owner !== `${device}/${x.name}`) aliasFails.push(`${a}: ${owner} and ${device}/${x.name}`);
        aliases.set(a, `${device}/${x.name}`);
      }
    } else if (m.type === "DDATA") {
      if (!data && born.size < devices.length) orderFails.push(`DDATA of ${device} before ${devices.length - born.size} DBIRTHs`);
      if (!born.has(device)) orderFails.push(`DDATA of ${device} before its DBIRTH`);
      data = true;
      for (const x of m.payload.metrics)
        if (x.name !== undefined || !(aliases.get(num(x.alias)) || "").startsWith(`${device}/`))
          unknown.push(`${device}: ${x.name || num(x.alias)}`);
    }
  }
  rule("payloads-sequence", "seq +1 (mod 256) per message after NBIRTH", seqFails, seen);
  rule("payloads-ddata-order", "every device's DBIRTH before any DDATA, after each NBIRTH", orderFails, seen);
  rule("payloads-alias-uniqueness", "aliases unique across the edge node's metrics", aliasFails, seen);
  rule("ddata-by-alias", "DDATA metrics by alias alone, each one its device's DBIRTH gave", unknown, seen);
}

// Metrics in births: datatypes, Quality, typed and null points.
{
  const births = by("DBIRTH");
  const typeFails = [], qualityFails = [];
  let qualities = 0;
  for (const m of births)
    for (const x of m.payload.metrics) {
      if (!x.type || x.type === "Unknown") typeFails.push(`${m.parts[4]}/${x.name}`);
      const q = x.properties && x.properties.Quality;
      if (!q) continue;
      qualities++;
      if (q.type !== "Int32" || ![0, 192, 500].includes(num(q.value))) qualityFails.push(`${x.name}: ${JSON.stringify(q)}`);
      const s = x.properties["OPC UA Status"];
      if (num(q.value) !== 192 && (!s || s.type !== "UInt32")) qualityFails.push(`${x.name}: no OPC UA Status`);
    }
  rule("metric-datatype", "every DBIRTH metric has a known datatype", typeFails, births.length);
  rule("propertyset-quality", "Quality is Int32 0, 192 or 500, with the OPC UA status beside it",
    qualityFails, qualities);
  const point = (name) => births.map((m) => m.payload.metrics.find((x) => x.name === name)).filter(Boolean);
  if (nullPoint)
    rule("metric-is-null", "a point never read goes out null", point(nullPoint)
      .filter((x) => x.value !== null).map((x) => `${nullPoint} = ${x.value}`), point(nullPoint).length);
  if (uint32Point)
    rule("metric-typed", "a point served as UInt32 is born as UInt32", point(uint32Point)
      .filter((x) => x.type !== "UInt32").map((x) => `${uint32Point}: ${x.type}`), point(uint32Point).length);
}

// The primary host: births only after its online STATE; its offline ends
// the session with NDEATH; an online STATE older than its last STATE is
// not believed.
{
  const fails = [];
  let online = false, last = -1, seen = 0, bornNow = false;
  for (const m of messages) {
    if (m.type === "STATE" && m.parts[2] === primary) {
      const ts = m.state.timestamp;
      if (m.state.online && ts >= last) online = true;
      if (!m.state.online && online) {
        online = false;
        if (bornNow) {
          // Messages on their way when the STATE came may follow it; the
          // session must end with NDEATH before any new NBIRTH.
          const next = messages.slice(messages.indexOf(m) + 1)
            .find((x) => x.type === "NDEATH" || x.type === "NBIRTH");
          if (!next || next.type !== "NDEATH") fails.push(`after offline ${ts}: ${next ? next.type : "no NDEATH"}`);
          seen++;
        }
      }
      last = Math.max(last, ts);
    } else if (m.type === "NBIRTH") {
      if (!online) fails.push("NBIRTH while the primary host is offline");
      bornNow = true;
    } else if (m.type === "NDEATH") {
      bornNow = false;
    }
  }
  rule("primary-host", "births only while the primary host is online; its offline brings NDEATH",
    fails, seen);
}
{
  const rebirths = [];
  messages.forEach((m, i) => {
    if (m.type !== "NCMD") return;
    const next = messages.slice(i + 1).find((x) => x.type === "NBIRTH" || x.type === "NDEATH");
    rebirths.push(next && next.type === "NBIRTH" ? "" : "no NBIRTH after NCMD Rebirth");
  });
  rule("ncmd-rebirth", "Node Control/Rebirth brings NBIRTH and the DBIRTHs again",
    rebirths.filter(Boolean), rebirths.length);
}

console.log("| rule | statement | verdict | seen |");
console.log("|---|---|---|---|");
for (const r of rows) console.log(`| ${r.id} | ${r.statement} | ${r.ok ? "holds" : "FAILS"} | ${r.detail} |`);
process.exit(rows.every((r) => r.ok) ? 0 : 1);
