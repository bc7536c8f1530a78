// The README's picture of the try page: the real Quillmark.sem after a
// double click and a Ctrl double click on its knob, drawn by headless
// Chromium into the PNG file named on the command line.
import { centerOf, click, launchBrowser, openPage, root, setAndShow, startTry } from './harness.mjs';

const out = process.argv[2];
if (!out) {
  console.error('usage: node picture.mjs OUT.png');
  process.exit(2);
}
const browser = await launchBrowser();
// From the top of the tree, so that the page names the files as a person types them.
const server = await startTry(['build/win32/Quillmark.sem', 'module/quillmark.panel'], { cwd: root });
try {
  const page = await openPage(browser, server);
  await page.setViewport({ width: 1100, height: 820 });
  await setAndShow(page, 1, 0.25);
  await setAndShow(page, 3, 0.8);
  await setAndShow(page, 6, 0.5);
  const knob = await centerOf(page, '#knob-3 svg');
  // Time stamps a second apart and 120 ms within each pair, whatever this
  // machine's speed: the same picture each time but for the random value.
  const t = Date.now() / 1000;
  await click(page, knob, t);
  await click(page, knob, t + 0.12);
  await page.waitForFunction(() => document.getElementById('value-3').textContent === '0.25');
  await click(page, knob, t + 1.2, 2);
  await click(page, knob, t + 1.32, 2);
  await page.waitForFunction(() => document.getElementById('value-3').textContent !== '0.25');
  // The picture of pins over time shows both writes of the module.
  await page.waitForFunction(() => document.querySelectorAll('#session .lane[data-pin="3"] .write').length >= 2);
  await page.$eval('#lines', node => { node.scrollTop = node.scrollHeight; });
  await page.screenshot({ path: out, fullPage: true });
  await page.close();
  console.log(`wrote ${out}`);
} finally {
  await server.stop();
  await browser.close();
}
