// The browser suite's main case against the Windows semhost.exe, under Wine:
// the same page and server, built for Windows. CTest sets SEMHOST to
// build/win32/semhost.exe and SEMHOST_RUNNER to the build's Wine wrapper.
import { after, before, test } from 'node:test';
import { launchBrowser, stopAll } from './harness.mjs';
import { twoPressesResetThePosition } from './cases.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser.close(); await stopAll(); });

test('semhost.exe try: two presses 100 ms apart reset "Animation Position" to "Reset Value"', async () => {
  await twoPressesResetThePosition(browser);
});
