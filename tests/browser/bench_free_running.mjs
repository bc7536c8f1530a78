// Benchmark (not a test): the server's memory while an emulated audio
// module's blocks run freely, in headless Chromium.
//
// The try page of the i386 audio fixture (Out = In x Gain) is open, a sine
// into In, nobody listening: the session runs blocks as fast as it may.
// semhost's RSS (VmRSS of /proc/PID/status) is read every 5 s for a minute.
// Each block is several starts of the emulation engine, which keeps what it
// translates until semhost renews it.
import { launchBrowser, openPage, paths, rssMiB, setAndShow, startTry } from './harness.mjs';

const SECONDS = Number(process.env.FREE_RUNNING_SECONDS || 60);
const IN = 0, GAIN = 1;
const fixture = paths.i386AudioFixture;
const pause = ms => new Promise(done => setTimeout(done, ms));

const browser = await launchBrowser();
const server = await startTry([fixture]);
try {
  const page = await openPage(browser, server);
  await setAndShow(page, GAIN, 0.5);
  await page.select(`#gen-${IN}`, 'sine');
  const readings = [];
  for (let second = 0; second <= SECONDS; second += 5) {
    if (second > 0) await pause(5000);
    readings.push({ second, rss: rssMiB(server.pid) });
  }
  console.log(`    ${fixture}, its blocks running freely, nobody listening:`);
  console.log('    ' + readings.map(r => `${r.second} s ${r.rss.toFixed(1)} MiB`).join(', '));
  const most = Math.max(...readings.map(r => r.rss));
  console.log(`    semhost try's memory (RSS): ${readings[0].rss.toFixed(1)} MiB at the start, at most ` +
              `${most.toFixed(1)} MiB, ${readings[readings.length - 1].rss.toFixed(1)} MiB after ${SECONDS} s`);
  await page.close();
} finally {
  await server.stop();
  await browser.close();
}
