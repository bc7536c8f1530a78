// Runs `semhost try` and a headless Chromium for the browser tests and the
// benchmark. Paths come from the environment (CTest sets them):
//   SEMHOST        build/native/semhost (or build/win32/semhost.exe)
//   SEMHOST_RUNNER a program that runs SEMHOST, such as build/win32/wine-run
//   QUILLMARK      build/win32/Quillmark.sem
//   QUILL_PANEL    module/quillmark.panel
//   CRASH_FIXTURE  the native fixture module whose "Level" change crashes
//   AUDIO_FIXTURE  the audio fixture (In, Gain, Out; Out = In x Gain)
//   CHROMIUM       /usr/bin/chromium unless given
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const here = path.dirname(new URL(import.meta.url).pathname);
export const root = path.resolve(here, '../..');

const quillmark = process.env.QUILLMARK || path.join(root, 'build/win32/Quillmark.sem');
export const paths = {
  semhost: process.env.SEMHOST || path.join(root, 'build/native/semhost'),
  runner: process.env.SEMHOST_RUNNER || '',
  quillmark,
  panel: process.env.QUILL_PANEL || path.join(root, 'module/quillmark.panel'),
  crashFixture: process.env.CRASH_FIXTURE || path.join(root, 'build/native/tests/host/fixtures/fixture_crash.so'),
  audioFixture: process.env.AUDIO_FIXTURE ||
    path.join(root, 'build/native/tests/host/audio_fixtures/audio_fixture_sound.so'),
  // The benchmarks' audio module: the i386 build, in the emulator.
  i386AudioFixture: process.env.AUDIO_FIXTURE ||
    path.join(path.dirname(quillmark), 'tests/host/audio_fixtures/audio_fixture_sound.sem'),
  chromium: process.env.CHROMIUM || '/usr/bin/chromium',
};

// A process's resident memory (VmRSS of /proc/PID/status), in MiB.
export function rssMiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/VmRSS:\s+(\d+) kB/.exec(status)[1]) / 1024;
}

const running = new Set();

// Ends every server a failed test left running.
export async function stopAll() {
  for (const child of running) child.kill('SIGINT');
}

// Starts `semhost try ARGS...` and resolves once it prints its address.
export function startTry(args, { cwd } = {}) {
  return new Promise((resolve, reject) => {
    const command = paths.runner ? [paths.runner, paths.semhost] : [paths.semhost];
    const child = spawn(command[0], [...command.slice(1), 'try', ...args], { cwd, stdio: ['ignore', 'pipe', 'pipe'] });
    running.add(child);
    child.on('exit', () => running.delete(child));
    let output = '';
    let errors = '';
    const exited = new Promise(done => child.on('exit', (code, signal) => done({ code, signal, output, errors })));
    child.stderr.on('data', chunk => { errors += chunk; });
    child.stdout.on('data', chunk => {
      output += chunk;
      const found = /open (http:\/\/127\.0\.0\.1:(\d+)\/\?token=([0-9a-f]+))/.exec(output);
      if (found && !child.started) {
        child.started = true;
        resolve({
          url: found[1], port: Number(found[2]), token: found[3],
          origin: `http://127.0.0.1:${found[2]}`,
          pid: child.pid,
          output: () => output,
          // Ctrl-C, as a person ends it; resolves with the exit status.
          stop: () => { child.kill('SIGINT'); return exited; },
        });
      }
    });
    exited.then(({ code }) => { if (!child.started) reject(new Error(`semhost try ended (${code}): ${errors}`)); });
  });
}

export async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'semhost-try-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: paths.chromium,
    userDataDir: profile,
    headless: true,
    // Sound plays without a person's gesture first: the Listen switch is
    // turned on from the tests' script.
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--autoplay-policy=no-user-gesture-required'],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => { await close(); fs.rmSync(profile, { recursive: true, force: true }); };
  return browser;
}

// Opens the page and waits until it drew the session and knows its role.
export async function openPage(browser, server) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 900 });
  const problems = [];
  page.on('pageerror', error => problems.push(String(error)));
  page.on('console', message => { if (message.type() === 'error') problems.push(message.text()); });
  await page.goto(server.url);
  await page.waitForFunction(() => window.tryStats && window.tryStats.states > 0 &&
                                    !document.getElementById('role').textContent.startsWith('connecting'));
  page.problems = problems;
  page.cdp = await page.createCDPSession();
  return page;
}

export async function centerOf(page, selector) {
  const box = await (await page.$(selector)).boundingBox();
  return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
}

// Mouse events as the browser's input, with the time stamp (seconds since
// 1970) at which the browser is to say it saw them. Modifiers: 1 Alt,
// 2 Ctrl, 4 Meta, 8 Shift.
export async function mouse(page, type, point, timestamp, modifiers = 0) {
  const event = { type, x: point.x, y: point.y, button: 'left', clickCount: 1, modifiers };
  if (timestamp !== undefined) event.timestamp = timestamp;
  await page.cdp.send('Input.dispatchMouseEvent', event);
}

export async function click(page, point, timestamp, modifiers = 0) {
  await mouse(page, 'mousePressed', point, timestamp, modifiers);
  await mouse(page, 'mouseReleased', point, timestamp === undefined ? undefined : timestamp + 0.02, modifiers);
}

export function pinText(page, index) {
  return page.$eval(`#value-${index}`, node => node.textContent);
}

export async function waitForPin(page, index, text) {
  // Polled on a timer: a page in a background tab draws no frames.
  await page.waitForFunction((i, t) => document.getElementById(`value-${i}`).textContent === t, { polling: 20 },
                             index, text);
}

// Sets a pin as the page's own controls do and waits until the page shows
// it. Actions are taken in order, so everything sent before was taken too.
export async function setAndShow(page, index, value, shown = String(value)) {
  await page.evaluate((i, v) => window.trySet(i, v), index, value);
  await waitForPin(page, index, shown);
}
