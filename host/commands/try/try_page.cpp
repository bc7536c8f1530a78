#include "commands/try/try_page.h"

#include "reports/session_picture.h"

// The page draws everything from the session's messages: "state" (the
// whole session, after each load), then "update" (changed pins, new
// timeline lines, a fault). Actions go out one at a time, in the order the
// person made them, each with the time the browser saw its event and the
// modifier keys held then.
namespace {

const char kHead[] = R"page(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>semhost try</title>
<style>
)page";

const char kPage[] = R"page(
  body { font: 14px system-ui, sans-serif; margin: 0; padding: 0; background: #f4f4f1; color: #222; }
  body > header { background: #2d3640; color: #fff; padding: 10px 18px; display: flex; gap: 18px; align-items: baseline; }
  body > header h1 { font-size: 18px; margin: 0; color: #fff; }
  body > header .about { opacity: .75; color: #fff; }
  body > header .role { margin-left: auto; font-size: 12px; padding: 2px 8px; border-radius: 9px; background: #4a7; }
  body > header .role.viewer { background: #c84; }
  main { padding: 14px 18px; display: grid; grid-template-columns: minmax(260px, auto) 1fr; gap: 18px; }
  section { background: #fff; border: 1px solid #ddd; border-radius: 6px; padding: 12px; }
  section > h2 { font-size: 13px; text-transform: uppercase; letter-spacing: .05em; color: #666; margin: 0 0 8px; }
  #fault { display: none; grid-column: 1 / -1; background: #fde8e6; border-color: #e0a39b; }
  #fault pre { white-space: pre-wrap; margin: 0 0 8px; color: #a11; }
  .knobs { display: flex; flex-wrap: wrap; gap: 18px; }
  .knob { text-align: center; user-select: none; }
  .knob svg { cursor: ns-resize; display: block; margin: 0 auto; }
  .knob .dial { fill: #e8e6df; stroke: #888; stroke-width: 2; }
  .knob.pressed .dial { fill: #d4e6f7; stroke: #36c; }
  .knob .knob-pointer { stroke: #c33; stroke-width: 4; stroke-linecap: round; }
  .knob .knob-value { font: 600 16px ui-monospace, monospace; }
  .knob .knob-name { color: #666; font-size: 12px; }
  table { border-collapse: collapse; width: 100%; }
  td, th { padding: 4px 6px; border-bottom: 1px solid #eee; text-align: left; vertical-align: middle; }
  th { font-size: 12px; color: #666; font-weight: normal; }
  td.value { font: 13px ui-monospace, monospace; min-width: 6em; }
  td.dir { color: #888; font-size: 12px; }
  input[type=number] { width: 7em; }
  input[type=range] { width: 140px; vertical-align: middle; }
  #timeline, #picture { grid-column: 1 / -1; }
  #session { overflow-x: auto; }
  #lines { font: 12px/1.35 ui-monospace, monospace; max-height: 320px; overflow: auto; margin: 0; white-space: pre; }
  #lines .fault { color: #a11; font-weight: 600; }
  .hint { color: #777; font-size: 12px; margin-top: 6px; }
  body.viewer input, body.viewer button.act { pointer-events: none; opacity: .55; }
</style>
</head>
<body>
<header><h1 id="title">semhost try</h1><span class="about" id="about"></span><span id="where"></span>
  <span class="role" id="role">connecting</span></header>
<main>
  <section id="fault"><h2>The module faulted</h2><pre id="fault-text"></pre>
    <button id="reload" class="act">Load a fresh copy</button></section>
  <section id="panel"><h2>Panel</h2><div class="knobs" id="knobs"></div>
    <p class="hint">Press a knob to hold its press pin at 1, drag it up or down to set it. Ctrl, Shift and Alt held
      during a mouse event are held for the module.</p></section>
  <section><h2>Pins</h2><table><thead><tr><th>pin</th><th></th><th>set</th><th>value</th></tr></thead>
    <tbody id="pins"></tbody></table></section>
  <section id="timeline"><h2>Timeline</h2><pre id="lines"></pre></section>
  <section id="picture"><h2>Pins over time</h2><div id="session"></div></section>
</main>
<script>
)page";

const char kScript[] = R"page(
const query = new URLSearchParams(location.search);
const token = query.get("token") || "";
// The same tab keeps its id across reloads, so that it keeps driving.
let pageId = sessionStorage.getItem("semhost-try-page");
if (!pageId) {
  pageId = Array.from(crypto.getRandomValues(new Uint8Array(12)), b => b.toString(16).padStart(2, "0")).join("");
  sessionStorage.setItem("semhost-try-page", pageId);
}
const MAX_LINES = 4000;
const view = { pins: [], knobs: [], role: "", lines: [] };
// What tests and the benchmark read: the milliseconds from a knob press's
// mouse event to the page showing the knob pin's new value (latencies: in
// the document; frames: at the next frame drawn).
window.tryStats = { latencies: [], frames: [], updates: 0, states: 0, pictures: 0 };
const pendingPress = new Map();
let nextId = 1;

// Actions leave at once, numbered: the server takes them in that order
// whatever order their requests arrive in.
const load = Array.from(crypto.getRandomValues(new Uint8Array(8)), b => b.toString(16).padStart(2, "0")).join("");
let nextSeq = 1;
async function send(action) {
  action.page = pageId;
  action.load = load;
  action.seq = nextSeq++;
  try {
    const response = await fetch("/action?token=" + encodeURIComponent(token), {
      method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify(action) });
    if (!response.ok && response.status !== 202) addLines(["(the server refused: " + (await response.text()).trim() + ")"]);
  } catch (error) { addLines(["(the server cannot be reached)"]); }
}
function eventTime(event) { return performance.timeOrigin + event.timeStamp; }
function keysOf(event) { return { ctrl: event.ctrlKey, shift: event.shiftKey, alt: event.altKey }; }
function setPin(pin, value, event, id) {
  const action = { op: "set", pin: pin, value: value };
  if (event) { action.t = eventTime(event); if ("ctrlKey" in event) action.keys = keysOf(event); }
  if (id !== undefined) action.id = id;
  send(action);
}
window.trySet = (pin, value) => setPin(pin, value, { timeStamp: performance.now() });

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children) node.append(child);
  return node;
}
function svg(tag, attrs) {
  const node = document.createElementNS("http://www.w3.org/2000/svg", tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  return node;
}

function buildKnob(knob) {
  const pin = view.pins[knob.angle];
  const box = el("div", { className: "knob", id: "knob-" + knob.angle });
  const dial = svg("svg", { width: 120, height: 120, viewBox: "-60 -60 120 120" });
  dial.append(svg("circle", { class: "dial", r: 50 }));
  const pointer = svg("line", { class: "knob-pointer", x1: 0, y1: 0, x2: 0, y2: -42 });
  dial.append(pointer);
  const value = el("div", { className: "knob-value" });
  box.append(dial, value, el("div", { className: "knob-name", textContent: knob.label || pin.name }));
  knob.box = box; knob.pointer = pointer; knob.valueNode = value;
  let drag = null;
  dial.addEventListener("mousedown", event => {
    if (event.button !== 0 || view.role !== "driver") return;
    event.preventDefault();
    box.classList.add("pressed");
    const start = view.pins[knob.angle].value;
    drag = { y: event.clientY, start: typeof start === "number" ? start : knob.low, moved: false };
    if (knob.press >= 0) {
      const id = nextId++;
      pendingPress.set(id, event.timeStamp);
      setPin(knob.press, 1, event, id);
    }
  });
  window.addEventListener("mousemove", event => {
    if (!drag) return;
    const dy = drag.y - event.clientY;
    if (!drag.moved && Math.abs(dy) < 4) return;
    drag.moved = true;
    const span = knob.high - knob.low;
    const value = Math.min(knob.high, Math.max(knob.low, drag.start + dy * span / 200));
    setPin(knob.angle, value, event);
  });
  window.addEventListener("mouseup", event => {
    if (!drag || event.button !== 0) return;
    drag = null;
    box.classList.remove("pressed");
    if (knob.press >= 0) setPin(knob.press, 0, event);
  });
  return box;
}

function drawKnob(knob) {
  const pin = view.pins[knob.angle];
  knob.valueNode.textContent = pin.text;
  const value = typeof pin.value === "number" ? pin.value : knob.low;
  const share = Math.min(1, Math.max(0, (value - knob.low) / (knob.high - knob.low)));
  knob.pointer.setAttribute("transform", "rotate(" + (-135 + 270 * share) + ")");
}

function buildPinRow(pin) {
  const control = el("td");
  const kind = pin.kind;
  if (kind === "float") {
    const low = pin.low ?? 0, high = pin.high ?? 1;
    const number = el("input", { type: "number", step: "any", id: "num-" + pin.index, className: "act" });
    const slider = el("input", { type: "range", min: low, max: high, step: (high - low) / 1000,
                                 id: "slider-" + pin.index, className: "act" });
    number.addEventListener("change", event => setPin(pin.index, number.value, event));
    slider.addEventListener("input", event => setPin(pin.index, Number(slider.value), event));
    control.append(number, " ", slider);
    pin.inputs = [number, slider];
  } else if (kind === "bool") {
    const push = el("button", { textContent: "push", id: "push-" + pin.index, className: "act" });
    const toggle = el("input", { type: "checkbox", id: "toggle-" + pin.index, className: "act" });
    push.addEventListener("mousedown", event => { if (event.button === 0) { push.held = true; setPin(pin.index, 1, event); } });
    push.addEventListener("mouseup", event => { if (push.held) { push.held = false; setPin(pin.index, 0, event); } });
    push.addEventListener("mouseleave", event => { if (push.held) { push.held = false; setPin(pin.index, 0, event); } });
    toggle.addEventListener("click", event => setPin(pin.index, toggle.checked ? 1 : 0, event));
    control.append(push, " ", toggle);
    pin.inputs = [toggle];
  } else if (kind === "int" || kind === "short") {
    const number = el("input", { type: "number", step: 1, id: "num-" + pin.index, className: "act" });
    number.addEventListener("change", event => setPin(pin.index, number.value, event));
    control.append(number);
    pin.inputs = [number];
  } else {
    control.append(el("span", { className: "hint", textContent: kind === "stream" ? "audio stream" : "not settable" }));
    pin.inputs = [];
  }
  pin.valueNode = el("td", { className: "value", id: "value-" + pin.index });
  return el("tr", { id: "pin-" + pin.index }, el("td", { textContent: pin.name }),
            el("td", { className: "dir", textContent: pin.direction + " " + kind }), control, pin.valueNode);
}

function drawPin(pin) {
  pin.valueNode.textContent = pin.text;
  for (const input of pin.inputs) {
    if (input === document.activeElement && input.type !== "checkbox") continue;
    if (input.type === "checkbox") input.checked = pin.value !== 0;
    // The pin's own text is the shortest that reads back as its value.
    else if (typeof pin.value === "number") input.value = input.type === "range" ? pin.value : Number(pin.text);
  }
}

function addLines(lines, fault) {
  const box = document.getElementById("lines");
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  for (const line of lines) {
    const node = el("div", { textContent: line });
    if (fault && line === fault) node.className = "fault";
    box.append(node);
  }
  while (box.childElementCount > MAX_LINES) box.firstElementChild.remove();
  if (atEnd) box.scrollTop = box.scrollHeight;
}

function showFault(text) {
  document.getElementById("fault").style.display = text ? "block" : "none";
  document.getElementById("fault-text").textContent = text || "";
}

function drawState(state) {
  document.getElementById("title").textContent = state.module.name || state.file;
  document.getElementById("about").textContent = state.module.about || "";
  document.getElementById("where").textContent = state.file + ", copy " + state.copy + ", " + state.clock + " clock";
  if (state.panel.title) document.title = state.panel.title;
  view.pins = state.pins;
  view.knobs = state.panel.knobs;
  const rows = document.getElementById("pins");
  rows.replaceChildren(...view.pins.map(buildPinRow));
  view.pins.forEach(drawPin);
  const knobs = document.getElementById("knobs");
  knobs.replaceChildren(...view.knobs.map(buildKnob));
  view.knobs.forEach(drawKnob);
  document.getElementById("panel").style.display = view.knobs.length ? "" : "none";
  document.getElementById("lines").replaceChildren();
  addLines(state.lines, state.fault);
  showFault(state.fault);
  window.tryStats.states++;
}

function update(message) {
  for (const changed of message.pins || []) {
    const pin = view.pins[changed.index];
    if (!pin) continue;
    pin.text = changed.text;
    pin.value = changed.value;
    drawPin(pin);
    for (const knob of view.knobs) if (knob.angle === changed.index) drawKnob(knob);
  }
  if (message.lines) addLines(message.lines, message.fault);
  if (message.fault) showFault(message.fault);
  if (message.id !== undefined && pendingPress.has(message.id)) {
    const pressed = pendingPress.get(message.id);
    pendingPress.delete(message.id);
    if ((message.pins || []).some(p => view.knobs.some(k => k.angle === p.index))) {
      window.tryStats.latencies.push(performance.now() - pressed);
      requestAnimationFrame(() => window.tryStats.frames.push(performance.now() - pressed));
    }
  }
  window.tryStats.updates++;
}

// The picture is drawn when the page has nothing else to do, and only the
// newest of the pictures that came meanwhile, so that drawing it never
// holds up showing a pin's new value.
let pendingPicture = null;
function drawPictureSoon(data) {
  const scheduled = pendingPicture !== null;
  pendingPicture = data;
  if (scheduled) return;
  const draw = () => {
    const latest = pendingPicture;
    pendingPicture = null;
    render(latest, document.getElementById("session"));
    window.tryStats.pictures++;
  };
  if (window.requestIdleCallback) requestIdleCallback(draw, { timeout: 1000 }); else setTimeout(draw, 0);
}

function setRole(role) {
  view.role = role;
  const badge = document.getElementById("role");
  badge.textContent = role === "driver" ? "you drive the module" : "read-only: another page drives the module";
  badge.className = "role " + role;
  document.body.className = role;
}

document.getElementById("reload").addEventListener("click", () => send({ op: "reload" }));

const events = new EventSource("/events?token=" + encodeURIComponent(token) + "&page=" + pageId);
events.onmessage = event => {
  const message = JSON.parse(event.data);
  if (message.type === "role") setRole(message.role);
  else if (message.type === "state") drawState(message);
  else if (message.type === "update") update(message);
  else if (message.type === "picture") drawPictureSoon(message.data);
};
events.onerror = () => { if (events.readyState === EventSource.CLOSED) setRole("viewer"); };
</script>
</body>
</html>
)page";

}  // namespace

const std::string& TryPageHtml() {
    // The picture's style first, so that the page's own rules win.
    static const std::string page = std::string(kHead) + SessionPictureStyle() + kPage + SessionPictureScript() + kScript;
    return page;
}
