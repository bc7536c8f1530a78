// The try page of an audio module in headless Chromium: the generators, the
// scope and the Listen switch, on the audio fixture (Out = In x Gain). The
// results are read from what the page and the session say of the samples,
// never from how long anything took.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { launchBrowser, openPage, paths, setAndShow, startTry, stopAll } from './harness.mjs';
import { finish } from './cases.mjs';

const IN = 0, GAIN = 1, OUT = 2;
const BLOCK = 256;

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser.close(); await stopAll(); });

async function audioPage(gain) {
  const server = await startTry([paths.audioFixture]);
  const page = await openPage(browser, server);
  await setAndShow(page, GAIN, gain);
  return { server, page };
}

// Picks a generator with the page's own control, as a person does.
async function pickGenerator(page, kind) {
  await page.select(`#gen-${IN}`, kind);
  await page.waitForFunction((pin, k) => document.getElementById(`gen-${pin}`).value === k &&
                                         /signal "In" = /.test(document.getElementById('lines').textContent),
                             { polling: 20 }, IN, kind);
}

// The rows of the scope's canvas that hold the trace's colour: a flat line
// takes two or three, a sine at 0.5 half the canvas.
function traceRows(page) {
  return page.$eval(`#scope-${OUT}`, canvas => {
    const { data, width, height } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
    let rows = 0;
    for (let y = 0; y < height; y++) {
      for (let x = 0; x < width; x++) {
        const at = (y * width + x) * 4;
        if (data[at + 1] > 150 && data[at] < 160) { rows++; break; }
      }
    }
    return rows;
  });
}

async function listen(page) {
  await page.evaluate(pin => window.tryListenTo(pin), OUT);
  await page.waitForFunction(pin => document.getElementById(`listen-${pin}`).checked, { polling: 20 }, OUT);
}

function receivedAtLeast(page, count) {
  return page.waitForFunction(n => window.tryListen.received.length >= n, { polling: 50, timeout: 60000 }, count);
}

// FNV-1a steps over the blocks' own checksums, as the session chains them.
function chain(blocks) {
  let hash = 2166136261;
  for (const block of blocks) hash = Math.imul(hash ^ block.checksum, 16777619) >>> 0;
  return hash;
}

describe('an audio module on the try page', () => {
  test('the scope draws the output', async () => {
    const session = await audioPage(1);
    await session.page.waitForFunction(() => window.tryListen.scopes > 0, { polling: 20 });
    const silent = await traceRows(session.page);
    assert.ok(silent <= 4, `silence draws ${silent} rows`);
    await pickGenerator(session.page, 'sine');
    await session.page.waitForFunction(pin => /peak 0\.5/.test(document.getElementById(`peak-${pin}`).textContent),
                                       { polling: 20 }, OUT);
    const sine = await traceRows(session.page);
    assert.ok(sine > 30, `a sine at 0.5 draws ${sine} rows`);
    await finish(session);
  });

  test('with Listen on, the player receives the samples the session played', async () => {
    const session = await audioPage(0.5);
    await pickGenerator(session.page, 'noise');
    await listen(session.page);
    await receivedAtLeast(session.page, 64);
    const received = await session.page.evaluate(() => window.tryListen.received.slice(0, 64));
    // In order, block after block, with nothing left out.
    for (let i = 1; i < received.length; i++) assert.equal(received[i].start, received[i - 1].start + BLOCK);
    assert.ok(received.some(block => block.peak > 0.1));
    const stretch = received.slice(8, 56);
    await session.page.evaluate((from, blocks) => window.tryChecksum(from, blocks), stretch[0].start, stretch.length);
    await session.page.waitForFunction(() => window.tryListen.answers.length > 0, { polling: 20 });
    const answer = await session.page.evaluate(() => window.tryListen.answers[0]);
    assert.equal(answer.pin, OUT);
    assert.equal(answer.checksum, chain(stretch), JSON.stringify(answer));
    await finish(session);
  });

  test('turning Gain to 0 silences what the player receives', async () => {
    const session = await audioPage(1);
    await pickGenerator(session.page, 'sine');
    await listen(session.page);
    await receivedAtLeast(session.page, 24);
    await setAndShow(session.page, GAIN, 0);
    // Messages come in order: every block handed over after the update
    // that showed Gain at 0 was played after the change.
    const mark = await session.page.evaluate(gain => window.tryListen.marks.find(m => m.pin === gain && m.text === '0'),
                                             GAIN);
    await session.page.waitForFunction(n => window.tryListen.received.some(block => block.n >= n),
                                       { polling: 50, timeout: 60000 }, mark.forwarded + 32);
    const received = await session.page.evaluate(() => window.tryListen.received);
    const before = received.filter(block => block.n < mark.forwarded);
    const afterwards = received.filter(block => block.n >= mark.forwarded);
    assert.ok(before.some(block => block.peak > 0.4));
    assert.ok(afterwards.length >= 32);
    for (const block of afterwards) assert.equal(block.peak, 0, `block at ${block.start}`);
    await finish(session);
  });
});
