"use strict";
// Draws the picture of one session (`semhost play` or `semhost try`) from
// its data: the JSON object the host writes into the page (see
// session_json.cpp). render(data)
// draws it into the element #session, and draws it anew from new data, so
// that a page that receives the session as it goes can call it again; the
// moment a person chose stays chosen.
//
// Across: the session's moments (the host's start, each step of the
// script, the end), each a slot of the same width, with the time that
// passed between them as space in proportion. Down: the steps along the
// top, then a lane per pin of the module's pin table.

const SVG_NS = "http://www.w3.org/2000/svg";
const LABEL_WIDTH = 210;
const SECTION_HEIGHT = 22;
const STEPS_HEIGHT = 118;
const AXIS_HEIGHT = 24;
const LANE_HEIGHTS = { float: 66, int: 66, onoff: 30, stream: 26 };
const LANE_GAP = 4;

const pictureState = { data: null, chosen: -1, pointed: -1, layout: null };

function svgElement(name, attributes, parent) {
  const element = document.createElementNS(SVG_NS, name);
  for (const [key, value] of Object.entries(attributes || {})) element.setAttribute(key, String(value));
  if (parent) parent.appendChild(element);
  return element;
}

function htmlElement(name, attributes, parent, text) {
  const element = document.createElement(name);
  for (const [key, value] of Object.entries(attributes || {})) element.setAttribute(key, String(value));
  if (text !== undefined) element.textContent = text;
  if (parent) parent.appendChild(element);
  return element;
}

function svgText(parent, x, y, text, attributes) {
  const element = svgElement("text", Object.assign({ x: x, y: y }, attributes || {}), parent);
  element.textContent = text;
  return element;
}

function withTitle(element, text) {
  svgElement("title", {}, element).textContent = text;
  return element;
}

function shorten(text, characters) {
  return text.length <= characters ? text : text.slice(0, Math.max(1, characters - 1)) + "\u2026";
}

// Where each moment's slot starts, and how an order within a moment maps
// to a place in its slot.
function layOut(data, width) {
  const moments = data.moments;
  const count = Math.max(moments.length, 1);
  const available = Math.max(640, width - LABEL_WIDTH - 110);
  const slot = Math.max(10, Math.min(80, (available * 0.6) / count));
  const lastMs = moments.length ? moments[moments.length - 1].ms : 0;
  const timeWidth = Math.max(0, available - slot * count);
  const perMs = lastMs > 0 ? Math.min(0.5, timeWidth / lastMs) : 0;
  const starts = [];
  let x = LABEL_WIDTH;
  moments.forEach((moment, i) => {
    if (i > 0) x += slot + (moment.ms - moments[i - 1].ms) * perMs;
    starts.push(x);
  });
  const end = (starts.length ? starts[starts.length - 1] : LABEL_WIDTH) + slot;
  const at = (momentIndex, order) => {
    const moment = moments[momentIndex];
    if (!moment) return end;
    const span = Math.max(1, moment.endOrder - moment.order);
    const share = Math.min(1, Math.max(0, (order - moment.order) / span));
    return starts[momentIndex] + slot * (0.15 + 0.7 * share);
  };
  const centre = (momentIndex) => starts[momentIndex] + slot / 2;
  return { slot, starts, end, at, centre, width: end + 90 };
}

function momentAt(layout, x) {
  let found = -1;
  for (let i = 0; i < layout.starts.length; ++i) {
    if (layout.starts[i] <= x) found = i;
    else break;
  }
  return found;
}

function drawSections(svg, data, layout, bottom) {
  const sectioned = [];
  data.moments.forEach((moment, i) => {
    if (moment.section) sectioned.push(i);
  });
  sectioned.forEach((momentIndex, k) => {
    const x = layout.starts[momentIndex];
    const next = k + 1 < sectioned.length ? layout.starts[sectioned[k + 1]] : layout.end;
    const group = svgElement("g", { class: "section" }, svg);
    if (k % 2 === 0) {
      svgElement("rect", { class: "section-band", x: x, y: 0, width: Math.max(0, next - x), height: bottom }, group);
    }
    svgElement("line", { class: "section-edge", x1: x, y1: 0, x2: x, y2: bottom }, group);
    const text = sectionText(data.moments[momentIndex].section);
    withTitle(svgText(group, x + 4, 15, shorten(text, Math.max(3, Math.floor((next - x - 8) / 6.2))),
                      { class: "section-label" }), data.moments[momentIndex].section);
  });
}

function sectionText(section) {
  return section.split("\n").join(" ");
}

function drawStepMark(group, kind, x, y, held) {
  switch (kind) {
  case "set":
    svgElement("circle", { cx: x, cy: y, r: 4 }, group);
    break;
  case "click":
    svgElement("path", { d: `M${x - 5},${y - 4} L${x + 5},${y - 4} L${x},${y + 4} Z` }, group);
    break;
  case "press":
    svgElement("rect", { x: x - 4, y: y - 4, width: 8, height: 8 }, group);
    break;
  case "release":
    svgElement("rect", { x: x - 4, y: y - 4, width: 8, height: 8, class: "hollow" }, group);
    break;
  case "wait":
    svgElement("path", { d: `M${x - 5},${y} L${x + 5},${y} M${x - 5},${y - 4} L${x - 5},${y + 4}`, class: "stroke" }, group);
    break;
  case "idle":
    svgElement("circle", { cx: x, cy: y, r: 3.5, class: "hollow" }, group);
    break;
  case "expect":
    svgElement("circle", { cx: x, cy: y, r: 4, class: held ? "held" : "failed" }, group);
    break;
  case "signal":
    svgElement("path", { d: `M${x - 6},${y} Q${x - 3},${y - 7} ${x},${y} T${x + 6},${y}`, class: "stroke" }, group);
    break;
  case "run":
    svgElement("path", { d: `M${x - 4},${y - 5} L${x + 5},${y} L${x - 4},${y + 5} Z` }, group);
    break;
  default:
    svgElement("rect", { x: x - 4, y: y - 4, width: 8, height: 8 }, group);
  }
}

function drawSteps(svg, data, layout) {
  const baseline = SECTION_HEIGHT + STEPS_HEIGHT - 8;
  const heldByMoment = new Map();
  data.expects.forEach((expect) => heldByMoment.set(expect.moment, expect.held));
  data.moments.forEach((moment, i) => {
    const x = layout.centre(i);
    const group = svgElement("g", { class: `action step-${moment.kind}`, "data-moment": i }, svg);
    drawStepMark(group, moment.kind, x, baseline, heldByMoment.get(i));
    const label = svgText(group, x + 2, baseline - 9, shorten(moment.text, 21),
                          { class: "step-label", transform: `rotate(-58 ${x + 2} ${baseline - 9})` });
    withTitle(label, moment.text);
  });
}

function drawAxis(svg, data, layout) {
  const y = SECTION_HEIGHT + STEPS_HEIGHT + 4;
  const group = svgElement("g", { class: "axis" }, svg);
  svgElement("line", { x1: LABEL_WIDTH, y1: y, x2: layout.end, y2: y }, group);
  svgText(group, LABEL_WIDTH - 8, y + 14, `${data.clock} clock, ms`, { class: "axis-name" });
  let lastLabel = -Infinity;
  data.moments.forEach((moment, i) => {
    if (i > 0 && moment.ms === data.moments[i - 1].ms) return;
    const x = layout.starts[i];
    svgElement("line", { x1: x, y1: y, x2: x, y2: y + 5 }, group);
    if (x - lastLabel < 46) return;
    svgText(group, x, y + 16, `${moment.ms}`, { class: "tick" });
    lastLabel = x;
  });
}

function laneRange(pin, changes) {
  const values = [pin.initialValue].concat(changes.map((change) => change.value)).filter((v) => v !== null);
  let low = values.length ? Math.min(...values) : 0;
  let high = values.length ? Math.max(...values) : 1;
  if (high - low < 1e-9) {
    low -= 1;
    high += 1;
  }
  return { low, high };
}

function drawLane(svg, data, layout, pin, top, height, index) {
  const lane = svgElement("g", { class: `lane ${pin.kind}`, "data-pin": pin.index }, svg);
  svgElement("rect", { class: index % 2 ? "lane-band odd" : "lane-band", x: 0, y: top, width: layout.end, height: height }, lane);
  withTitle(svgText(lane, 8, top + 16, shorten(pin.name, 26), { class: "pin-name" }), pin.name);
  svgText(lane, 8, top + 29, `${pin.datatype} \u00b7 ${pin.output ? "out" : "in"}`, { class: "pin-type" });

  const changes = data.changes.filter((change) => change.pin === pin.index);
  if (pin.kind === "stream") {
    svgText(lane, LABEL_WIDTH + 6, top + height / 2 + 4, "a stream of samples: not drawn", { class: "pin-type" });
    return lane;
  }
  const xOf = (change) => layout.at(change.moment, change.order);
  if (pin.kind === "onoff") {
    let value = pin.initialValue;
    let from = LABEL_WIDTH;
    const spans = [];
    changes.forEach((change) => {
      const x = xOf(change);
      if (value) spans.push([from, x]);
      value = change.value;
      from = x;
    });
    if (value) spans.push([from, layout.end]);
    spans.forEach(([a, b]) => {
      svgElement("rect", { class: "on", x: a, y: top + 6, width: Math.max(1.5, b - a), height: height - 12 }, lane);
    });
    changes.filter((change) => change.byModule).forEach((change) => {
      drawWrite(lane, pin, change, xOf(change), top + height / 2);
    });
    return lane;
  }

  const range = laneRange(pin, changes);
  const yOf = (value) => top + 8 + (1 - (value - range.low) / (range.high - range.low)) * (height - 20);
  let value = pin.initialValue === null ? range.low : pin.initialValue;
  let y = yOf(value);
  let path = `M${LABEL_WIDTH},${y}`;
  svgText(lane, LABEL_WIDTH + 3, y - 3, pin.initial, { class: "value" });
  let lastLabel = LABEL_WIDTH;
  changes.forEach((change) => {
    const x = xOf(change);
    const next = change.value === null ? value : change.value;
    const nextY = yOf(next);
    path += ` H${x} V${nextY}`;
    if (next !== value || change.byModule) {
      if (x - lastLabel >= 22 || change.byModule) {
        svgText(lane, x + 3, nextY + (nextY < top + 16 ? 11 : -3), change.text, { class: change.byModule ? "value written" : "value" });
        lastLabel = x;
      }
    }
    value = next;
    y = nextY;
  });
  path += ` H${layout.end}`;
  svgElement("path", { class: "level", d: path }, lane);
  changes.forEach((change) => {
    if (change.byModule) drawWrite(lane, pin, change, xOf(change), yOf(change.value === null ? value : change.value));
    else svgElement("circle", { class: "set", cx: xOf(change), cy: yOf(change.value === null ? value : change.value), r: 2.5 }, lane);
  });
  return lane;
}

function drawWrite(lane, pin, change, x, y) {
  const mark = svgElement("path", { class: "write", d: `M${x},${y - 5} L${x + 5},${y} L${x},${y + 5} L${x - 5},${y} Z` }, lane);
  withTitle(mark, `the module wrote "${pin.name}" = ${change.text} at ${change.ms} ms`);
}

function drawExpects(svg, data, layout, laneTops) {
  data.expects.forEach((expect, k) => {
    const top = laneTops.has(expect.pin) ? laneTops.get(expect.pin) : SECTION_HEIGHT + STEPS_HEIGHT;
    const x = layout.centre(expect.moment);
    const group = svgElement("g", { class: `expect ${expect.held ? "pass" : "fail"}`, "data-moment": expect.moment }, svg);
    svgElement("circle", { cx: x, cy: top + 10, r: 7.5 }, group);
    svgText(group, x, top + 13.5, `${k + 1}`, { class: "expect-number" });
    withTitle(group, `${k + 1}. ${expect.text}`);
  });
}

function drawHolds(svg, data, layout, top, bottom) {
  data.holds.forEach((hold) => {
    const from = layout.centre(hold.from);
    const to = hold.to >= 0 ? layout.centre(hold.to) : layout.end;
    const group = svgElement("g", { class: "hold" }, svg);
    svgElement("rect", { x: from, y: top, width: Math.max(2, to - from), height: bottom - top }, group);
    svgText(group, from + 3, bottom - 4, `${hold.key} held`, { class: "hold-label" });
  });
}

function drawFault(svg, data, layout, top, bottom) {
  if (!data.fault) return;
  const x = data.fault.moment >= 0 ? layout.at(data.fault.moment, data.fault.order) : layout.end;
  const group = svgElement("g", { class: "crash" }, svg);
  svgElement("line", { x1: x, y1: top, x2: x, y2: bottom }, group);
  svgElement("path", { d: `M${x - 6},${top} L${x + 6},${top} L${x},${top + 9} Z` }, group);
  svgText(group, x + 5, top + 20, "crashed", { class: "crash-label" });
  withTitle(group, data.fault.text);
}

function describeMoment(data, index) {
  const moment = data.moments[index];
  const parts = [`${moment.ms} ms`, moment.text];
  if (moment.line > 0) parts.push(`script line ${moment.line}`);
  if (moment.keys) parts.push(`${moment.keys} held`);
  return parts.join(" \u00b7 ");
}

function showMoment(index) {
  const data = pictureState.data;
  const panel = document.getElementById("moment-lines");
  const heading = document.getElementById("moment-heading");
  if (!panel || !heading || !data) return;
  const shown = index >= 0 ? index : pictureState.chosen;
  document.querySelectorAll("#session .pointer").forEach((element) => {
    const layout = pictureState.layout;
    if (shown < 0 || !layout) {
      element.setAttribute("width", 0);
      return;
    }
    element.setAttribute("x", layout.starts[shown]);
    element.setAttribute("width", layout.slot);
    element.classList.toggle("chosen", shown === pictureState.chosen);
  });
  panel.textContent = "";
  if (shown < 0 || shown >= data.moments.length) {
    heading.textContent = "Point at a moment to see the host's calls and the module's callbacks in it; click to keep it.";
    return;
  }
  heading.textContent = (shown === pictureState.chosen ? "kept: " : "") + describeMoment(data, shown);
  const moment = data.moments[shown];
  if (moment.section) htmlElement("div", { class: "line heading" }, panel, `-- ${sectionText(moment.section)}`);
  data.lines.forEach((line) => {
    if (line.moment !== shown) return;
    const stamp = String(line.ms).padStart(7, " ");
    const kind = line.kind.replace(" ", "-");
    const written = line.kind === "callback" && / -> host  GUI_HOST_SET_PIN_(VALUE|TEXT) /.test(line.text);
    htmlElement("div", { class: `line ${kind}${written ? " written" : ""}` }, panel,
                `${stamp} ms  ${"  ".repeat(Math.max(0, line.depth))}${line.text}`);
  });
}

// The moment a link chose: "#moment=N", or "#moment=first-write" for the
// first the module wrote in after the start.
function momentOfLink(data) {
  const asked = /moment=([\w-]+)/.exec(typeof location === "undefined" ? "" : location.hash);
  if (!asked) return -1;
  if (asked[1] === "first-write") {
    const write = data.changes.find((change) => change.byModule && change.moment > 0);
    return write ? write.moment : -1;
  }
  const number = Number(asked[1]);
  return Number.isInteger(number) && number < data.moments.length ? number : -1;
}

function render(data, root) {
  root = root || document.getElementById("session");
  if (pictureState.data === null) pictureState.chosen = momentOfLink(data);
  pictureState.data = data;
  if (pictureState.chosen >= data.moments.length) pictureState.chosen = -1;
  root.textContent = "";

  const header = htmlElement("header", {}, root);
  htmlElement("h1", {}, header, `${data.module.name} \u2014 ${data.command}`);
  if (data.module.about) htmlElement("p", { class: "about" }, header, data.module.about);
  htmlElement("p", { class: "source" }, header,
              `${data.file} \u00b7 ${data.script} \u00b7 ${data.clock} clock \u00b7 ${data.pins.length} pins \u00b7 ${data.moments.length} moments`);
  if (data.fault) htmlElement("p", { class: "fault" }, header, data.fault.text);
  htmlElement("p", { class: "summary" }, header, data.summary);

  const figure = htmlElement("div", { class: "figure" }, root);
  const layout = layOut(data, Math.max(root.clientWidth || 0, 900));
  pictureState.layout = layout;
  const lanesTop = SECTION_HEIGHT + STEPS_HEIGHT + AXIS_HEIGHT;
  let height = lanesTop;
  const laneTops = new Map();
  data.pins.forEach((pin) => {
    laneTops.set(pin.index, height);
    height += (LANE_HEIGHTS[pin.kind] || 40) + LANE_GAP;
  });
  height += 8;
  const svg = svgElement("svg", { class: "picture", width: layout.width, height: height,
                                  viewBox: `0 0 ${layout.width} ${height}`, role: "img" }, figure);
  withTitle(svg, `the session of ${data.module.name}: a lane per pin over time`);

  drawSections(svg, data, layout, height);
  svgElement("rect", { class: "pointer", x: 0, y: 0, width: 0, height: height }, svg);
  drawSteps(svg, data, layout);
  drawAxis(svg, data, layout);
  data.pins.forEach((pin, i) => drawLane(svg, data, layout, pin, laneTops.get(pin.index), LANE_HEIGHTS[pin.kind] || 40, i));
  drawHolds(svg, data, layout, lanesTop, height - 8);
  drawExpects(svg, data, layout, laneTops);
  drawFault(svg, data, layout, SECTION_HEIGHT, height - 4);

  const pick = (event) => {
    const box = svg.getBoundingClientRect();
    const x = (event.clientX - box.left) * (layout.width / box.width);
    return x < LABEL_WIDTH ? -1 : momentAt(layout, x);
  };
  svg.addEventListener("mousemove", (event) => {
    pictureState.pointed = pick(event);
    showMoment(pictureState.pointed);
  });
  svg.addEventListener("mouseleave", () => {
    pictureState.pointed = -1;
    showMoment(-1);
  });
  svg.addEventListener("click", (event) => {
    const index = pick(event);
    pictureState.chosen = index === pictureState.chosen ? -1 : index;
    showMoment(index);
  });

  const detail = htmlElement("section", { class: "moment" }, root);
  htmlElement("p", { id: "moment-heading" }, detail);
  htmlElement("div", { id: "moment-lines" }, detail);

  const legend = htmlElement("p", { class: "legend" }, root);
  [["set", "the host set a pin"], ["written", "the module wrote a pin"], ["pass", "an expect held"],
   ["fail", "an expect failed"], ["held", "a key held"], ["crash", "the module crashed"]].forEach(([kind, text]) => {
    htmlElement("span", { class: `key ${kind}` }, legend, text);
  });

  if (data.expects.length) {
    htmlElement("h2", {}, root, "Expectations");
    const list = htmlElement("ol", { class: "expects" }, root);
    data.expects.forEach((expect) => {
      htmlElement("li", { class: expect.held ? "pass" : "fail" }, list, `${expect.text} (at ${data.moments[expect.moment].ms} ms)`);
    });
  }
  showMoment(pictureState.pointed);
}
