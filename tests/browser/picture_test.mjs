// The session picture of `semhost play --html` in a real browser: Debian's
// Chromium, headless, driven by puppeteer-core. Each page must load with no
// console error and no request beyond its own file, draw one lane per pin
// and one mark per expect (and the crash, for a module that crashed), show
// a moment's lines on pointing, draw again from data, and not be blank. The
// audio fixture's page draws a waveform per sample pin, and pointing at one
// names that block's peak and RMS.
//
//   node picture_test.mjs --semhost PATH --scratch DIR --fixture PATH --crash-fixture PATH [--quillmark PATH]
//                         [--audio-fixture PATH]
//
// Exits 0 when all held, 1 on a failure, 77 when puppeteer-core or Chromium
// is not installed (./quill test installs both).
import { execFileSync, spawnSync } from "node:child_process";
import { existsSync, mkdtempSync, rmSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const SKIPPED = 77;
const CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync"];

function options() {
  const args = process.argv.slice(2);
  const given = {};
  for (let i = 0; i + 1 < args.length; i += 2) given[args[i].replace(/^--/, "")] = args[i + 1];
  for (const name of ["semhost", "scratch", "fixture", "crash-fixture"]) {
    if (!given[name]) {
      console.error(`picture_test: --${name} is needed`);
      process.exit(2);
    }
  }
  return given;
}

const failures = [];
function check(condition, what) {
  if (condition) console.log(`ok    ${what}`);
  else {
    console.log(`FAIL  ${what}`);
    failures.push(what);
  }
}

// Plays a session into a page; returns what the text said about it.
function play(semhost, module, script, html, expectedCode) {
  const args = ["play", module].concat(script ? [script] : []).concat(["--html", html]);
  if (module.endsWith(".sem")) args.push("--clock", "virtual");
  const run = spawnSync(semhost, args, { encoding: "utf8" });
  check(run.status === expectedCode, `semhost ${args.join(" ")} exits ${expectedCode} (it did: ${run.status})`);
  const pins = execFileSync(semhost, ["info", module], { encoding: "utf8" })
    .split("\n").filter((line) => /^\s+\d+\s+"/.test(line)).length;
  const expects = run.stdout.split("\n").filter((line) => / ms {2}expect "/.test(line)).length;
  return { pins, expects };
}

// How many pixels of the PNG differ from the page's white, and how many
// colours it has, read by drawing it on a canvas in a page of its own.
async function inkOf(browser, png) {
  const page = await browser.newPage();
  try {
    await page.setContent("<canvas></canvas>");
    return await page.evaluate(async (source) => {
      const image = new Image();
      image.src = source;
      await image.decode();
      const canvas = document.querySelector("canvas");
      canvas.width = image.width;
      canvas.height = image.height;
      const context = canvas.getContext("2d");
      context.drawImage(image, 0, 0);
      const pixels = context.getImageData(0, 0, image.width, image.height).data;
      let inked = 0;
      const colours = new Set();
      for (let i = 0; i < pixels.length; i += 4) {
        if (pixels[i] < 245 || pixels[i + 1] < 245 || pixels[i + 2] < 245) ++inked;
        colours.add((pixels[i] << 16) | (pixels[i + 1] << 8) | pixels[i + 2]);
      }
      return { share: inked / (image.width * image.height), colours: colours.size };
    }, `data:image/png;base64,${Buffer.from(png).toString("base64")}`);
  } finally {
    await page.close();
  }
}

async function examine(browser, name, html, expected, scratch) {
  const page = await browser.newPage();
  const url = pathToFileURL(html).href;
  const requests = [];
  const errors = [];
  page.on("request", (request) => {
    if (request.url() !== url) requests.push(request.url());
  });
  page.on("console", (message) => {
    if (message.type() === "error") errors.push(message.text());
  });
  page.on("pageerror", (error) => errors.push(String(error)));
  await page.setViewport({ width: 1400, height: 900 });
  const response = await page.goto(url, { waitUntil: "load" });
  check(response === null || response.ok(), `${name}: the page loads`);

  const drawn = await page.evaluate(() => ({
    lanes: document.querySelectorAll("svg.picture g.lane").length,
    expects: document.querySelectorAll("svg.picture g.expect").length,
    crashes: document.querySelectorAll("svg.picture g.crash").length,
    moments: document.querySelectorAll("svg.picture g.action").length,
  }));
  check(drawn.lanes === expected.pins, `${name}: one lane per pin (${drawn.lanes} of ${expected.pins})`);
  check(drawn.expects === expected.expects, `${name}: one mark per expect (${drawn.expects} of ${expected.expects})`);
  check(drawn.crashes === (expected.crashed ? 1 : 0), `${name}: the crash ${expected.crashed ? "is" : "is not"} marked`);
  if (expected.waves) await examineWaves(page, name, expected.waves);

  // Pointing at the second moment's mark shows its lines.
  const mark = await page.$("svg.picture g.action[data-moment='1'] > :first-child");
  if (mark) {
    const box = await mark.boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await page.mouse.click(box.x + box.width / 2, box.y + box.height / 2);
  }
  const shown = await page.evaluate(() => ({
    lines: document.querySelectorAll("#moment-lines .line").length,
    named: document.getElementById("moment-heading").textContent.includes(
      JSON.parse(document.getElementById("session-data").textContent).moments[1].text),
  }));
  check(mark !== null && shown.lines > 1 && shown.named,
        `${name}: pointing at a moment shows its timeline lines (${shown.lines})`);

  // The drawing code draws again from the data, as a live page would.
  const redrawn = await page.evaluate(() => {
    render(JSON.parse(document.getElementById("session-data").textContent));
    return document.querySelectorAll("svg.picture g.lane").length;
  });
  check(redrawn === expected.pins, `${name}: render(data) draws the picture anew, not twice`);

  const png = await page.screenshot({ fullPage: true });
  writeFileSync(join(scratch, `${name}.png`), png);
  check(errors.length === 0, `${name}: no console error${errors.length ? ": " + errors.join(" | ") : ""}`);
  check(requests.length === 0, `${name}: no request beyond the file${requests.length ? ": " + requests.join(" ") : ""}`);
  await page.close();
  const ink = await inkOf(browser, png);
  check(ink.share > 0.02 && ink.colours > 16,
        `${name}: the screenshot is not blank (${(ink.share * 100).toFixed(1)}% inked, ${ink.colours} colours)`);
}

// Every sample pin's lane has its waveform, with ink in it; pointing at the
// middle of one shows the block there with its peak and RMS.
async function examineWaves(page, name, waves) {
  const drawn = await page.evaluate(() => {
    const lanes = [...document.querySelectorAll("svg.picture g.lane.stream")];
    return lanes.map((lane) => {
      // The tallest: the silence at open is a flat line.
      const boxes = [...lane.querySelectorAll("path.wave")].map((shape) => shape.getBBox());
      const box = boxes.reduce((a, b) => (b.height > a.height ? b : a), { width: 0, height: 0 });
      return { shapes: boxes.length, width: box.width, height: box.height };
    });
  });
  check(drawn.length === waves && drawn.every((lane) => lane.shapes > 0 && lane.width > 20 && lane.height > 10),
        `${name}: a waveform in each of ${waves} sample lanes (${JSON.stringify(drawn)})`);
  let box = null;
  for (const wave of await page.$$("svg.picture g.lane.stream path.wave")) {
    const candidate = await wave.boundingBox();
    if (candidate && (!box || candidate.height > box.height)) box = candidate;
  }
  if (!box) return;
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  const shown = await page.evaluate(() => {
    const line = document.querySelector("#moment-lines .block-levels");
    return line ? line.textContent : "";
  });
  check(/block at [\d.]+\u2013[\d.]+ ms .*"Out" peak 0\.[34]\d*, RMS 0\.[12]\d*/.test(shown),
        `${name}: pointing at a block shows its peak and RMS (${shown})`);
  await page.mouse.move(0, 0);
}

async function main() {
  const given = options();
  let puppeteer;
  try {
    puppeteer = (await import("puppeteer-core")).default;
  } catch {
    console.log("SKIPPED: puppeteer-core is not installed (npm ci in tests/browser; ./quill test does it)");
    process.exit(SKIPPED);
  }
  const chromium = process.env.CHROMIUM || "/usr/bin/chromium";
  if (!existsSync(chromium)) {
    console.log(`SKIPPED: no Chromium at ${chromium} (./quill test installs Debian's chromium)`);
    process.exit(SKIPPED);
  }

  const scratch = given.scratch;
  const script = join(scratch, "picture_test.script");
  writeFileSync(script, "# a set, a click and the module's writes\nset Level 1.25\nexpect Echo 2.5\n" +
                        "click\nexpect Clicks 1\n# a failed expect ends the session\nexpect Echo 3\n");
  const pages = [];
  const fixtureHtml = join(scratch, "fixture.html");
  pages.push(["fixture", fixtureHtml, Object.assign(play(given.semhost, given.fixture, script, fixtureHtml, 1), { crashed: false })]);
  const crashHtml = join(scratch, "crash.html");
  pages.push(["crash", crashHtml, Object.assign(play(given.semhost, given["crash-fixture"], script, crashHtml, 3), { crashed: true })]);
  if (given.quillmark && existsSync(given.quillmark)) {
    const demoHtml = join(scratch, "demo.html");
    pages.push(["demo", demoHtml, Object.assign(play(given.semhost, given.quillmark, "", demoHtml, 0), { crashed: false })]);
  } else {
    console.log(`note  no ${given.quillmark || "Quillmark.sem"}: the demo's picture is not opened`);
  }

  if (given["audio-fixture"] && existsSync(given["audio-fixture"])) {
    const audioScript = join(scratch, "picture_audio.script");
    writeFileSync(audioScript, "set Gain 0.5\nsignal In sine 440 Hz at 0.8\nrun 8 blocks\nexpect Out peak 0.39 .. 0.4\n" +
                               "signal In silence\nrun 4 blocks\n");
    const audioHtml = join(scratch, "audio.html");
    pages.push(["audio", audioHtml, Object.assign(play(given.semhost, given["audio-fixture"], audioScript, audioHtml, 0),
                                                  { crashed: false, waves: 2 })]);
  }

  const profile = mkdtempSync(join(scratch, "chromium-profile-"));
  const browser = await puppeteer.launch({ executablePath: chromium, headless: true, userDataDir: profile,
                                           args: CHROMIUM_FLAGS, ignoreDefaultArgs: ["--headless=new"] });
  try {
    for (const [name, html, expected] of pages) await examine(browser, name, html, expected, scratch);
  } finally {
    await browser.close();
    rmSync(profile, { recursive: true, force: true });
  }
  if (failures.length) {
    console.log(`${failures.length} failed`);
    process.exit(1);
  }
  console.log("all held");
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
