// The README's picture of the try page of an audio module: the i386 audio
// fixture (Out = In x Gain) in the emulator, a 1 kHz sine at 0.8 into In
// and Gain at 0.5, its scope drawn, by headless Chromium into the PNG file
// named on the command line.
import { launchBrowser, openPage, root, setAndShow, startTry } from './harness.mjs';

const out = process.argv[2];
if (!out) {
  console.error('usage: node picture_audio.mjs OUT.png');
  process.exit(2);
}
const IN = 0, GAIN = 1, OUT = 2;
const browser = await launchBrowser();
// From the top of the tree, so that the page names the file as a person types it.
const server = await startTry(['build/win32/tests/host/audio_fixtures/audio_fixture_sound.sem'], { cwd: root });
try {
  const page = await openPage(browser, server);
  await page.setViewport({ width: 1100, height: 900 });
  await setAndShow(page, GAIN, 0.5);
  await page.evaluate(() => {
    document.getElementById('freq-0').value = 1000;
    document.getElementById('level-0').value = 0.8;
  });
  const pictures = await page.evaluate(() => window.tryStats.pictures);
  await page.select(`#gen-${IN}`, 'sine');
  await page.waitForFunction(pin => /peak 0\.4/.test(document.getElementById(`peak-${pin}`).textContent),
                             { polling: 20 }, OUT);
  // The picture of pins over time, sent a second after the last action.
  await page.waitForFunction(n => window.tryStats.pictures > n, { polling: 50 }, pictures);
  await page.$eval('#lines', node => { node.scrollTop = node.scrollHeight; });
  await page.screenshot({ path: out, fullPage: true });
  await page.close();
  console.log(`wrote ${out}`);
} finally {
  await server.stop();
  await browser.close();
}
