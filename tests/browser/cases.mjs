// Cases of the browser suite that more than one suite runs: the try page
// of the real Quillmark.sem, whichever semhost serves it.
import assert from 'node:assert/strict';
import { centerOf, click, openPage, paths, setAndShow, startTry, waitForPin } from './harness.mjs';

const RESET_VALUE = 1, POSITION = 3;

// A fresh server and page per test: each starts with a new module object,
// whose first mouse-down is never half of a double click.
export async function quillmarkPage(browser) {
  const server = await startTry([paths.quillmark, paths.panel]);
  const page = await openPage(browser, server);
  await setAndShow(page, RESET_VALUE, 0.25);
  await setAndShow(page, POSITION, 0.8);
  return { server, page };
}

export async function finish({ server, page }) {
  assert.deepEqual(page.problems, []);
  await page.close();
  const status = await server.stop();
  assert.equal(status.code, 0, status.errors);
  return status;
}

// The suite's main case: a double click on the knob resets the position,
// and the module measured the gap the browser's time stamps made.
export async function twoPressesResetThePosition(browser) {
  const session = await quillmarkPage(browser);
  const knob = await centerOf(session.page, '#knob-3 svg');
  const t = Date.now() / 1000;
  await click(session.page, knob, t);
  await click(session.page, knob, t + 0.1);
  await waitForPin(session.page, POSITION, '0.25');
  assert.equal(await session.page.$eval('#knob-3 .knob-value', node => node.textContent), '0.25');
  // The picture of pins over time grew with the session: a lane per pin,
  // and the module's write of "Animation Position" marked in its lane.
  await session.page.waitForFunction(() =>
    document.querySelectorAll('#session .lane').length === 8 &&
    document.querySelector('#session .lane[data-pin="3"] .write') !== null);
  const virtual = /virtual clock/.test(await session.page.$eval('#where', node => node.textContent));
  const status = await finish(session);
  const presses = [...status.output.matchAll(/\n +(\d+) ms {2}set "Mouse Down" = 1/g)].map(m => Number(m[1]));
  assert.equal(presses.length, 2);
  // On the virtual clock (an emulated module) the module measured the gap
  // the browser's time stamps made; a module in a process of its own reads
  // the system's clock.
  if (virtual) assert.equal(presses[1] - presses[0], 100);
  // Ctrl-C closed every object and unloaded the module.
  assert.match(status.output, /host -> gui#1 {2}GUI_CLOSE[^]*host -> audio#1 {2}AUDIO_CLOSE[^]*closed and unloaded/);
}
