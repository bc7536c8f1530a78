// Benchmark (not a test): Listen on the try page for a minute of sound, in
// headless Chromium, and count the player's underruns (a render quantum it
// could not fill from the blocks it held).
//
// The module is the i386 audio fixture in semhost's emulator (Out = In x
// Gain), a sine into In, Gain 0.5, its Out listened to. The minute is the
// player's: it ends when the page has played 60 s of samples.
import { launchBrowser, openPage, paths, setAndShow, startTry } from './harness.mjs';

const SECONDS = Number(process.env.LISTEN_SECONDS || 60);
const IN = 0, GAIN = 1, OUT = 2;
const fixture = paths.i386AudioFixture;

const browser = await launchBrowser();
const server = await startTry([fixture]);
try {
  const page = await openPage(browser, server);
  await setAndShow(page, GAIN, 0.5);
  await page.select(`#gen-${IN}`, 'sine');
  const settings = await page.evaluate(async pin => {
    await window.tryListenTo(pin);
    return { rate: window.tryListenSettings().rate, block: window.tryListenSettings().block,
             buffer: window.tryListenSettings().buffer_blocks };
  }, OUT);
  const target = SECONDS * settings.rate;
  await page.waitForFunction(samples => window.tryListen.played >= samples, { polling: 250, timeout: 0 }, target);
  const result = await page.evaluate(() => ({ played: window.tryListen.played, underruns: window.tryListen.underruns,
                                               forwarded: window.tryListen.forwarded }));
  console.log(`    ${fixture}`);
  console.log(`    listened ${(result.played / settings.rate).toFixed(1)} s at ${settings.rate} Hz, blocks of ` +
              `${settings.block}, the page buffering ${settings.buffer} blocks ` +
              `(${(settings.buffer * settings.block * 1000 / settings.rate).toFixed(1)} ms): ` +
              `${result.underruns} underruns, ${result.forwarded} blocks received`);
  await page.close();
} finally {
  await server.stop();
  await browser.close();
}
