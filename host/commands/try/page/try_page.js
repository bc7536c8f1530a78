// The try page: draws any module's pins from the session's messages and
// sends a person's actions back, over one WebSocket.
//
// The server sends "role" (whether this page drives the module), "state"
// (the whole session: on connecting, after each load, and when this page
// fell behind), then "update" (the pins that changed, new timeline lines, a
// fault), "picture" (the newest moments of the session drawn over time) and
// "refused" (an action the server did not take, and why), "scope" (each
// sample output's newest samples) and, as binary messages, the blocks of
// the output the page listens to. The page sends
// actions in the order the person made them, each with the time the browser
// saw its event and the modifier keys held then; while the person does
// nothing it sends its clock, so that the session's clock follows the page's
// and never passes an event still on its way.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
// The tab keeps its id across reloads (session storage is the tab's), so
// that a reloaded driving page drives again.
let tabId = sessionStorage.getItem("semhost-try-tab");
if (!tabId) {
  tabId = Array.from(crypto.getRandomValues(new Uint8Array(12)), b => b.toString(16).padStart(2, "0")).join("");
  sessionStorage.setItem("semhost-try-tab", tabId);
}
// Lines the timeline keeps on the page, the newest.
const MAX_LINES = 1000;
// While nothing else is sent, the page's clock goes out this often.
const CLOCK_PERIOD_MS = 50;
const view = { pins: [], knobs: [], role: "", audio: null, scopes: new Map() };
// What tests and the benchmark read: the milliseconds from a knob press's
// mouse event to the page showing the knob pin's new value (latencies: in
// the document; frames: at the next frame drawn).
window.tryStats = { latencies: [], frames: [], updates: 0, states: 0, pictures: 0 };
const pendingPress = new Map();
let nextId = 1;

const socket = new WebSocket("ws://" + location.host + "/socket?token=" + encodeURIComponent(token) +
                             "&tab=" + tabId);
socket.binaryType = "arraybuffer";
const unsent = [];
let lastSent = 0;
function sendMessage(message) {
  if (socket.readyState === WebSocket.CONNECTING) { unsent.push(message); return; }
  if (socket.readyState !== WebSocket.OPEN) return;
  socket.send(JSON.stringify(message));
  lastSent = performance.now();
}
function now() { return performance.timeOrigin + performance.now(); }
function eventTime(event) { return performance.timeOrigin + event.timeStamp; }
function keysOf(event) { return { ctrl: event.ctrlKey, shift: event.shiftKey, alt: event.altKey }; }
function setPin(pin, value, event, id) {
  const action = { op: "set", pin: pin, value: value };
  if (event) { action.t = eventTime(event); if ("ctrlKey" in event) action.keys = keysOf(event); }
  if (id !== undefined) action.id = id;
  sendMessage(action);
}
window.trySet = (pin, value) => setPin(pin, value, { timeStamp: performance.now() });
// For tests: what the page sends, as it would send it (a message of any shape).
window.trySend = message => sendMessage(message);
setInterval(() => {
  if (view.role === "driver" && performance.now() - lastSent >= CLOCK_PERIOD_MS) sendMessage({ op: "clock", t: now() });
}, CLOCK_PERIOD_MS);

function el(tag, props, ...children) {
  const node = document.createElement(tag);
  Object.assign(node, props || {});
  for (const child of children) node.append(child);
  return node;
}
function svgNode(tag, attrs) {
  const node = document.createElementNS("http://www.w3.org/2000/svg", tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  return node;
}

function buildKnob(knob) {
  const pin = view.pins[knob.angle];
  const box = el("div", { className: "knob", id: "knob-" + knob.angle });
  const dial = svgNode("svg", { width: 120, height: 120, viewBox: "-60 -60 120 120" });
  dial.append(svgNode("circle", { class: "dial", r: 50 }));
  const pointer = svgNode("line", { class: "knob-pointer", x1: 0, y1: 0, x2: 0, y2: -42 });
  dial.append(pointer);
  const value = el("div", { className: "knob-value" });
  box.append(dial, value, el("div", { className: "knob-name", textContent: knob.label || pin.name }));
  knob.box = box; knob.pointer = pointer; knob.valueNode = value;
  let drag = null;
  dial.addEventListener("mousedown", event => {
    if (event.button !== 0 || view.role !== "driver") return;
    event.preventDefault();
    // A knob with a press pin looks pressed when the module has the pin at
    // 1 (drawKnob); the handler itself changes nothing on the page, because
    // a change made while handling a press makes the browser hold every
    // message that arrives until it has drawn the next frame.
    if (knob.press < 0) box.classList.add("pressed");
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
    if (knob.press < 0) box.classList.remove("pressed");
    if (knob.press >= 0) setPin(knob.press, 0, event);
  });
  return box;
}

function drawKnob(knob) {
  const pin = view.pins[knob.angle];
  if (knob.press >= 0) knob.box.classList.toggle("pressed", view.pins[knob.press].value !== 0);
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
  } else if (kind === "stream" && pin.direction === "in" && pin.generator) {
    control.append(buildGenerator(pin));
    pin.inputs = [];
  } else {
    control.append(el("span", { className: "hint", textContent: kind === "stream" ? "audio stream" : "not settable" }));
    pin.inputs = [];
  }
  pin.valueNode = el("td", { className: "value", id: "value-" + pin.index });
  return el("tr", { id: "pin-" + pin.index }, el("td", { textContent: pin.name }),
            el("td", { className: "dir", textContent: pin.direction + " " + kind }), control, pin.valueNode);
}

// A sample input's generator: what it plays, a sine's frequency and the
// level. Files are offered by the number and name the server gave them.
function buildGenerator(pin) {
  const box = el("span", { className: "generator" });
  const kind = el("select", { id: "gen-" + pin.index, className: "act" });
  for (const name of ["silence", "sine", "noise", "impulse"]) kind.append(el("option", { value: name, textContent: name }));
  for (const file of view.audio.files)
    kind.append(el("option", { value: "file:" + file.index, textContent: file.name }));
  const frequency = el("input", { type: "number", min: 0, step: "any", id: "freq-" + pin.index, className: "act",
                                  title: "frequency (Hz)" });
  const level = el("input", { type: "number", min: 0, max: 16, step: "any", id: "level-" + pin.index, className: "act",
                              title: "level (peak)" });
  const send = event => {
    const generator = { kind: kind.value };
    if (kind.value.startsWith("file:")) { generator.kind = "file"; generator.file = Number(kind.value.slice(5)); }
    if (generator.kind === "sine") generator.frequency = Number(frequency.value);
    if (["sine", "noise", "impulse"].includes(generator.kind)) generator.level = Number(level.value);
    sendMessage({ op: "signal", pin: pin.index, generator, t: eventTime(event) });
  };
  for (const input of [kind, frequency, level]) input.addEventListener("change", send);
  box.append(kind, " ", frequency, " Hz ", level);
  pin.generatorInputs = { kind, frequency, level };
  drawGenerator(pin);
  return box;
}

function drawGenerator(pin) {
  const inputs = pin.generatorInputs, generator = pin.generator;
  if (!inputs) return;
  inputs.kind.value = generator.kind === "file" ? "file:" + generator.file : generator.kind;
  if (generator.frequency !== undefined && inputs.frequency !== document.activeElement)
    inputs.frequency.value = generator.frequency;
  if (generator.level !== undefined && inputs.level !== document.activeElement) inputs.level.value = generator.level;
  inputs.frequency.disabled = generator.kind !== "sine";
  inputs.level.disabled = !["sine", "noise", "impulse"].includes(generator.kind);
  if (inputs.frequency.value === "") inputs.frequency.value = 440;
  if (inputs.level.value === "") inputs.level.value = 0.5;
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

// New lines are appended at once, without asking the page's layout
// anything; the timeline scrolls to its end at the next frame, if it was
// there, so that a message never waits for the page to lay itself out.
const linesBox = document.getElementById("lines");
let linesAtEnd = true;
let scrollScheduled = false;
linesBox.addEventListener("scroll", () => {
  linesAtEnd = linesBox.scrollTop + linesBox.clientHeight >= linesBox.scrollHeight - 4;
});
function addLines(lines, fault) {
  for (const line of lines) {
    const node = el("div", { textContent: line });
    if (fault && line === fault) node.className = "fault";
    linesBox.append(node);
  }
  let extra = linesBox.childElementCount - MAX_LINES;
  while (extra-- > 0) linesBox.firstElementChild.remove();
  if (linesAtEnd && !scrollScheduled) {
    scrollScheduled = true;
    requestAnimationFrame(() => {
      scrollScheduled = false;
      linesBox.scrollTop = linesBox.scrollHeight;
    });
  }
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
  view.audio = state.audio;
  const rows = document.getElementById("pins");
  rows.replaceChildren(...view.pins.map(buildPinRow));
  view.pins.forEach(drawPin);
  const knobs = document.getElementById("knobs");
  knobs.replaceChildren(...view.knobs.map(buildKnob));
  view.knobs.forEach(drawKnob);
  document.getElementById("panel").style.display = view.knobs.length ? "" : "none";
  buildScopes(state);
  linesBox.replaceChildren();
  linesAtEnd = true;
  addLines(state.lines, state.fault);
  showFault(state.fault);
  window.tryStats.states++;
}

function update(message) {
  let knobMoved = false;
  for (const changed of message.pins || []) {
    const pin = view.pins[changed.index];
    if (!pin) continue;
    pin.text = changed.text;
    pin.value = changed.value;
    drawPin(pin);
    window.tryListen.marks.push({ pin: changed.index, text: changed.text, forwarded: window.tryListen.forwarded });
    for (const knob of view.knobs) {
      if (knob.angle !== changed.index && knob.press !== changed.index) continue;
      drawKnob(knob);
      if (knob.angle === changed.index) knobMoved = true;
    }
  }
  if (message.id !== undefined && pendingPress.has(message.id)) {
    const pressed = pendingPress.get(message.id);
    pendingPress.delete(message.id);
    if (knobMoved) {
      window.tryStats.latencies.push(performance.now() - pressed);
      requestAnimationFrame(() => window.tryStats.frames.push(performance.now() - pressed));
    }
  }
  for (const changed of message.generators || []) {
    const pin = view.pins[changed.pin];
    if (!pin) continue;
    pin.generator = changed.generator;
    drawGenerator(pin);
  }
  if (message.listening !== undefined) showListening(message.listening);
  if (message.lines) addLines(message.lines, message.fault);
  if (message.fault) showFault(message.fault);
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
  requestIdleCallback(() => {
    const latest = pendingPicture;
    pendingPicture = null;
    render(latest, document.getElementById("session"));
    window.tryStats.pictures++;
  }, { timeout: 1000 });
}

function setRole(role, text) {
  view.role = role;
  const badge = document.getElementById("role");
  badge.textContent = text;
  badge.className = "role " + role;
  document.body.className = role;
}

document.getElementById("reload").addEventListener("click", () => sendMessage({ op: "reload" }));

socket.addEventListener("open", () => {
  for (const message of unsent.splice(0)) sendMessage(message);
});
socket.addEventListener("message", event => {
  if (event.data instanceof ArrayBuffer) { playBlock(event.data); return; }
  const message = JSON.parse(event.data);
  if (message.type === "update") update(message);
  else if (message.type === "state") drawState(message);
  else if (message.type === "picture") drawPictureSoon(message.data);
  else if (message.type === "scope") drawScopes(message);
  else if (message.type === "checksum") window.tryListen.answers.push(message);
  else if (message.type === "refused") addLines(["(the server refused: " + message.reason + ")"]);
  else if (message.type === "role") {
    if (message.role === "driver") setRole("driver", "you drive the module");
    else if (message.vacant) setRole("viewer", "read-only: no page drives the module; reload this one to drive it");
    else setRole("viewer", "read-only: another page drives the module");
  }
});
socket.addEventListener("close", event => {
  setRole("viewer", "disconnected: " + (event.reason || "the server is gone"));
});

// --- scopes and Listen ---------------------------------------------------

// What tests and the benchmark read of the Listen switch: each block the
// player received (its first sample's clock, checksum and peak, and "n" its
// number since Listen went on), the number of blocks handed to the player
// when each update that changed a pin came ("marks"),
// the samples played, the underruns, and the session's checksum answers.
window.tryListen = { received: [], played: 0, underruns: 0, answers: [], forwarded: 0, scopes: 0, marks: [] };
const MAX_RECEIVED = 20000;
const listen = { context: null, node: null, pin: -1 };
let receivedCount = 0;

function buildScopes(state) {
  const list = document.getElementById("scope-list");
  view.scopes = new Map();
  const outputs = state.pins.filter(pin => pin.kind === "stream" && pin.direction === "out");
  const rows = outputs.map(pin => {
    const canvas = el("canvas", { id: "scope-" + pin.index, width: 640, height: 120 });
    const peak = el("span", { className: "scope-peak", id: "peak-" + pin.index });
    const toggle = el("input", { type: "checkbox", id: "listen-" + pin.index, className: "act" });
    toggle.addEventListener("change", () => setListening(toggle.checked ? pin.index : -1));
    view.scopes.set(pin.index, { canvas, peak, toggle });
    drawTrace(canvas, []);
    return el("div", { className: "scope" }, el("span", { className: "scope-name", textContent: pin.name }), canvas,
              peak, el("label", {}, toggle, " Listen"));
  });
  list.replaceChildren(...rows);
  document.getElementById("scopes").style.display = rows.length && state.audio.streams ? "block" : "none";
  // A fresh copy of the module starts without anyone listening.
  if (listen.pin >= 0 && state.audio.listening < 0) stopPlayer();
  showListening(state.audio.listening);
}

function drawTrace(canvas, samples) {
  const context = canvas.getContext("2d");
  const width = canvas.width, height = canvas.height, middle = height / 2;
  context.fillStyle = "#1d2329";
  context.fillRect(0, 0, width, height);
  context.strokeStyle = "#4a5560";
  context.beginPath();
  context.moveTo(0, middle);
  context.lineTo(width, middle);
  context.stroke();
  if (!samples.length) return;
  context.strokeStyle = "#6fd08c";
  context.lineWidth = 1.5;
  context.beginPath();
  for (let i = 0; i < samples.length; i++) {
    const x = i * width / Math.max(1, samples.length - 1);
    const y = middle - Math.max(-1, Math.min(1, samples[i])) * (middle - 4);
    if (i === 0) context.moveTo(x, y); else context.lineTo(x, y);
  }
  context.stroke();
}

// Only the newest scope is drawn, at the next frame.
let pendingScopes = null;
function drawScopes(message) {
  const scheduled = pendingScopes !== null;
  pendingScopes = message;
  if (scheduled) return;
  requestAnimationFrame(() => {
    const latest = pendingScopes;
    pendingScopes = null;
    for (const output of latest.outputs) {
      const scope = view.scopes.get(output.pin);
      if (!scope) continue;
      drawTrace(scope.canvas, output.samples);
      let peak = 0;
      for (const sample of output.samples) peak = Math.max(peak, Math.abs(sample));
      scope.peak.textContent = "peak " + peak.toFixed(4);
    }
    window.tryListen.scopes++;
  });
}

function showListening(pin) {
  for (const [index, scope] of view.scopes) scope.toggle.checked = index === pin;
}

async function startPlayer(pin) {
  const audio = view.audio;
  if (!listen.context || listen.context.sampleRate !== audio.rate) {
    if (listen.context) listen.context.close();
    listen.context = new AudioContext({ sampleRate: audio.rate, latencyHint: "playback" });
    await listen.context.audioWorklet.addModule("/try_player.js");
  }
  await listen.context.resume();
  if (listen.node) listen.node.disconnect();
  const node = new AudioWorkletNode(listen.context, "try-player", {
    numberOfInputs: 0, outputChannelCount: [1],
    processorOptions: { prefill: audio.block * audio.buffer_blocks / 2, reportEvery: audio.block },
  });
  node.port.onmessage = event => {
    const report = event.data;
    if (report.type === "played") {
      window.tryListen.played = report.played;
      window.tryListen.underruns = report.underruns;
      if (listen.node === node) sendMessage({ op: "played", samples: report.played });
    } else if (report.type === "received") {
      const received = window.tryListen.received;
      report.n = receivedCount++;
      received.push(report);
      if (received.length > MAX_RECEIVED) received.splice(0, received.length - MAX_RECEIVED);
    }
  };
  node.connect(listen.context.destination);
  listen.node = node;
  listen.pin = pin;
  window.tryListen.received = [];
  window.tryListen.forwarded = 0;
  window.tryListen.marks = [];
  receivedCount = 0;
  sendMessage({ op: "listen", pin });
}

function stopPlayer() {
  if (listen.node) listen.node.disconnect();
  listen.node = null;
  listen.pin = -1;
}

async function setListening(pin) {
  if (pin < 0) {
    stopPlayer();
    sendMessage({ op: "listen", pin: -1 });
    return;
  }
  try {
    await startPlayer(pin);
  } catch (error) {
    addLines(["(the browser cannot play: " + error + ")"]);
    showListening(-1);
  }
}

function playBlock(buffer) {
  const header = new Uint32Array(buffer, 0, 4);
  if (header[0] !== 1 || !listen.node || header[1] !== listen.pin) return;
  const start = header[2] + header[3] * 4294967296;
  const samples = new Float32Array(buffer, 16);
  listen.node.port.postMessage({ start, samples }, [buffer]);
  window.tryListen.forwarded++;
}

// For tests: asks the session for the checksum of `blocks` listened blocks
// from sample clock `from`; the answer lands in tryListen.answers.
window.tryChecksum = (from, blocks) => sendMessage({ op: "checksum", from, blocks });
window.tryListenTo = pin => setListening(pin);
// For tests and the benchmark: the session's rate, block and the blocks the page buffers.
window.tryListenSettings = () => view.audio;
