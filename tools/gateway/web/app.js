// The gateway's dashboard: the overview of units, one unit's points live
// from /api/events, its output controls and its sampling memory. Every value
// element carries data-point="UNIT/KIND/N[/BIT]", every control data-command.
"use strict";

const PLOT_SPAN_S = 300;     // a live plot shows the last five minutes
const PLOT_EVERY_MS = 500;   // and is redrawn at most this often
const OVERVIEW_EVERY_MS = 1000;

const state = { unit: null, events: null, points: new Map(), plots: new Map(), dirty: new Set() };
const $ = (id) => document.getElementById(id);

function element(tag, attributes = {}, text) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attributes)) e.setAttribute(k, v);
  if (text !== undefined) e.textContent = text;
  return e;
}

function showMessage(text) {
  const m = $("message");
  m.textContent = text || "";
  m.hidden = !text;
}

function headers(json) {
  const h = {};
  if (json) h["Content-Type"] = "application/json";
  const token = $("token").value || sessionStorage.getItem("kelvo-token");
  if (token) h.Authorization = "Bearer " + token;
  return h;
}

// A write: the gateway answers once the unit confirmed or refused it.
async function send(method, path, body) {
  const init = { method, headers: headers(body !== undefined) };
  if (body !== undefined) init.body = JSON.stringify(body);
  let response;
  try {
    response = await fetch(path, init);
  } catch (e) {
    return { ok: false, error: "the gateway did not answer (" + e.message + ")" };
  }
  let answer = {};
  try { answer = await response.json(); } catch (e) { /* not JSON */ }
  if (!response.ok) return { ok: false, status: response.status, error: answer.error || response.statusText };
  return { ok: true, answer };
}

function age(ms) {
  if (ms === null || ms === undefined) return "never";
  return ms < 1000 ? ms + " ms" : (ms / 1000).toFixed(1) + " s";
}

// ---- overview ---------------------------------------------------------------

async function refreshOverview() {
  let units;
  try {
    const r = await fetch("/api/units");
    units = await r.json();
  } catch (e) {
    return;
  }
  const body = $("units").tBodies[0];
  const rows = new Map([...body.rows].map((r) => [r.dataset.unit, r]));
  for (const u of units) {
    let row = rows.get(u.name);
    if (!row) {
      row = element("tr", { "data-unit": u.name });
      const link = element("a", { href: "#unit/" + encodeURIComponent(u.name) }, u.name);
      const name = element("td");
      name.append(link);
      row.append(name, element("td", {}, u.model), element("td", {}, u.address),
        element("td", { class: "state" }), element("td", { class: "num age" }),
        element("td", { class: "num reply" }));
      body.append(row);
    }
    rows.delete(u.name);
    const s = row.querySelector(".state");
    s.textContent = u.online ? "online" : "offline";
    s.className = "state " + (u.online ? "online" : "offline");
    row.querySelector(".age").textContent = age(u.lastPollAgeMs);
    row.querySelector(".reply").textContent =
      u.replyMs === null || u.replyMs === undefined ? "" : u.replyMs.toFixed(1) + " ms";
  }
  document.body.dataset.units = String(units.length);
}

// ---- one unit ---------------------------------------------------------------

function pointKey(unit, point) { return unit + "/" + point; }

function bitNames(p) { return p.bitNames || []; }

function portRow(unit, p) {
  const key = pointKey(unit, p.point);
  const row = element("div", { class: "port" });
  row.append(element("span", { class: "label" }, p.point));
  row.append(element("span", { class: "byte", "data-point": key }, String(p.raw)));
  const output = p.kind === "do";
  for (let b = 0; b < 8; b++) {
    const name = bitNames(p)[b] || "";
    const bitKey = key + "/" + b;
    const bit = element(output ? "button" : "span", { class: "bit", "data-point": bitKey, title: name || "bit " + b });
    if (output) {
      bit.setAttribute("data-command", bitKey);
      bit.type = "button";
      bit.addEventListener("click", () => toggle(unit, p.point, b, bit));
    }
    bit.append(element("span", { class: "bit-value" }, "0"));
    bit.append(element("small", {}, name || String(b)));
    row.append(bit);
  }
  return row;
}

function channelRow(unit, p) {
  const key = pointKey(unit, p.point);
  const row = element("div", { class: "channel" });
  row.append(element("span", { class: "label" }, p.point));
  const value = element("span", {});
  value.append(element("span", { class: "value", "data-point": key }, p.text));
  value.append(" ");
  value.append(element("span", { class: "eu" }, p.unit || ""));
  row.append(value);
  if (p.output) {
    const input = element("input", { type: "text", inputmode: "decimal", "data-command": key,
      placeholder: p.scale ? "value" : "code", size: "10" });
    input.addEventListener("keydown", (e) => { if (e.key === "Enter") setValue(unit, p, input); });
    input.addEventListener("change", () => setValue(unit, p, input));
    row.append(input);
  } else {
    row.append(element("span"));
  }
  if (p.kind === "ai" || p.kind === "ao") {
    const box = element("div", { class: "plot" });
    const canvas = element("canvas", { "data-plot": key });
    box.append(canvas);
    row.append(box);
    state.plots.set(key, newPlot(canvas, p.point + (p.unit ? " (" + p.unit + ")" : "")));
  }
  return row;
}

function newPlot(canvas, label) {
  return new Chart(canvas, {
    type: "line",
    data: { datasets: [{ label, data: [], borderColor: "#24364b", borderWidth: 1.5, pointRadius: 0 }] },
    options: {
      animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
      plugins: { legend: { display: false } },
      scales: { x: { type: "linear", title: { display: true, text: "s" } } },
    },
  });
}

async function toggle(unit, point, bit, button) {
  const now = button.classList.contains("on") ? 0 : 1;
  button.disabled = true;
  const r = await send("PUT", `/api/units/${encodeURIComponent(unit)}/${point}/${bit}`, { value: now });
  button.disabled = false;
  report(r, button, `${unit}/${point}/${bit}`);
}

async function setValue(unit, p, input) {
  if (input.dataset.sending === input.value) return;  // Enter and change together
  input.dataset.sending = input.value;
  const text = input.value.trim();
  const number = Number(text);
  const body = { value: text === "" || Number.isNaN(number) ? text : number };
  const r = await send("PUT", `/api/units/${encodeURIComponent(unit)}/${p.point}`, body);
  delete input.dataset.sending;
  report(r, input, `${unit}/${p.point}`);
}

function report(r, control, what) {
  control.classList.toggle("error", !r.ok);
  if (r.ok) {
    control.removeAttribute("data-error");
    showMessage("");
    if (r.answer && r.answer.point) show(r.answer.point, r.answer, state.unit);
  } else {
    control.setAttribute("data-error", r.error);
    showMessage(`${what} refused: ${r.error}`);
  }
}

// A point's value into its elements, and into its plot.
function show(point, e, unit) {
  const key = pointKey(unit, point);
  const el = document.querySelector(`[data-point="${CSS.escape(key)}"]`);
  if (!el) return;
  const kind = point.split("/")[0];
  if (kind === "di" || kind === "do") {
    el.textContent = String(e.raw);
    for (let b = 0; b < 8; b++) {
      const bit = document.querySelector(`[data-point="${CSS.escape(key + "/" + b)}"]`);
      if (!bit) continue;
      const on = (e.raw >> b) & 1;
      bit.classList.toggle("on", !!on);
      bit.dataset.value = String(on);
      bit.querySelector(".bit-value").textContent = String(on);
    }
  } else {
    el.textContent = e.text;
    el.dataset.value = String(e.value);
  }
  if (e.quality) el.dataset.quality = e.quality;
  const plot = state.plots.get(key);
  if (plot && e.at) {
    const data = plot.data.datasets[0].data;
    data.push({ x: (e.at - state.since) / 1000, y: e.value });
    const oldest = data[data.length - 1].x - PLOT_SPAN_S;
    while (data.length && data[0].x < oldest) data.shift();
    state.dirty.add(plot);
  }
}

function redrawPlots() {
  for (const plot of state.dirty) plot.update("none");
  state.dirty.clear();
}

async function showUnit(name) {
  if (state.events) state.events.close();
  for (const plot of state.plots.values()) plot.destroy();
  state.plots.clear();
  state.dirty.clear();
  state.unit = name;
  state.since = Date.now();
  $("ports").replaceChildren();
  $("channels").replaceChildren();
  $("unit").hidden = !name;
  $("sampling").hidden = true;
  if (!name) return;
  const r = await fetch("/api/units/" + encodeURIComponent(name));
  if (!r.ok) {
    showMessage("no unit " + name);
    return;
  }
  const u = await r.json();
  if (state.unit !== name) return;
  $("unit-name").textContent = u.name;
  $("unit-model").textContent = `${u.model} at ${u.address}`;
  setUnitState(u.online);
  for (const p of u.points) {
    if (p.kind === "di" || p.kind === "do") $("ports").append(portRow(u.name, p));
    else $("channels").append(channelRow(u.name, p));
  }
  for (const p of u.points) show(p.point, { raw: p.raw, value: p.value, text: p.text, quality: p.quality }, u.name);
  samplingFor(u);
  const events = new EventSource("/api/events?unit=" + encodeURIComponent(name));
  state.events = events;
  events.addEventListener("open", () => { $("live").textContent = "live"; $("live").className = "online"; });
  events.addEventListener("error", () => { $("live").textContent = "reconnecting"; $("live").className = "offline"; });
  events.addEventListener("point", (m) => {
    const e = JSON.parse(m.data);
    if (e.unit === state.unit) show(e.point, e, e.unit);
  });
  events.addEventListener("state", (m) => {
    const e = JSON.parse(m.data);
    if (e.unit === state.unit) setUnitState(e.online);
  });
}

function setUnitState(online) {
  const s = $("unit-state");
  s.textContent = online ? "online" : "offline";
  s.className = "state " + (online ? "online" : "offline");
}

// ---- sampling memory ----------------------------------------------------------

let samplingPlot = null;

function samplingFor(u) {
  $("sampling").hidden = !u.sampling;
  $("sampling-state").textContent = "";
  $("sampling-csv").hidden = true;
  if (samplingPlot) { samplingPlot.destroy(); samplingPlot = null; }
}

function samplingPath(what) {
  return `/api/units/${encodeURIComponent(state.unit)}/sampling${what}`;
}

async function samplingCall(method, what, body) {
  const r = await send(method, samplingPath(what), body);
  const control = $("sampling-state");
  if (!r.ok) {
    showMessage(`sampling ${what || "status"} refused: ${r.error}`);
    control.setAttribute("data-error", r.error);
    return null;
  }
  showMessage("");
  control.removeAttribute("data-error");
  control.textContent = JSON.stringify(r.answer, null, 1);
  return r.answer;
}

async function samplingStart() {
  const channels = $("sampling-channels").value.split(",").map((c) => c.trim()).filter((c) => c !== "").map(Number);
  const settings = await samplingCall("PUT", "", { cycle: Number($("sampling-cycle").value), channels });
  if (settings) await samplingCall("POST", "/start", {});
}

async function samplingRead() {
  const r = await fetch(samplingPath("/data"));
  const capture = await r.json();
  if (!r.ok) {
    showMessage("sampling read refused: " + capture.error);
    return;
  }
  $("sampling-state").textContent = `${capture.samples.length} samples of ${capture.columns.join(", ")}`;
  if (samplingPlot) samplingPlot.destroy();
  const colours = ["#24364b", "#d9480f", "#2f9e44", "#7048e8", "#1098ad", "#c2255c", "#e67700", "#5c940d"];
  samplingPlot = new Chart($("sampling-plot"), {
    type: "line",
    data: {
      datasets: capture.columns.map((c, i) => ({
        label: c, borderColor: colours[i % colours.length], borderWidth: 1, pointRadius: 0,
        data: capture.samples.map((s, n) => ({ x: n, y: s[i] })),
      })),
    },
    options: { animation: false, parsing: false, maintainAspectRatio: false,
      scales: { x: { type: "linear", title: { display: true, text: "sample" } } } },
  });
  const csv = $("sampling-csv");
  csv.href = samplingPath("/data?format=csv");
  csv.hidden = false;
}

// ---- start ------------------------------------------------------------------

function route() {
  const m = location.hash.match(/^#unit\/(.+)$/);
  showUnit(m ? decodeURIComponent(m[1]) : null);
}

document.addEventListener("DOMContentLoaded", () => {
  const token = $("token");
  token.value = sessionStorage.getItem("kelvo-token") || "";
  token.addEventListener("change", () => sessionStorage.setItem("kelvo-token", token.value));
  $("sampling-start").addEventListener("click", samplingStart);
  $("sampling-stop").addEventListener("click", () => samplingCall("POST", "/stop", {}));
  $("sampling-status").addEventListener("click", () => samplingCall("GET", ""));
  $("sampling-read").addEventListener("click", samplingRead);
  window.addEventListener("hashchange", route);
  refreshOverview().then(() => {
    document.body.dataset.readyMs = String(Math.round(performance.now()));
    document.body.dataset.ready = "1";
  });
  setInterval(refreshOverview, OVERVIEW_EVERY_MS);
  setInterval(redrawPlots, PLOT_EVERY_MS);
  route();
});
