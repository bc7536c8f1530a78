// `semhost try` in headless Chromium: the real Quillmark.sem behind the
// page, driven by the browser's own mouse events with explicit time stamps,
// so that no result depends on how fast this machine is.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import http from 'node:http';
import { centerOf, click, launchBrowser, mouse, openPage, paths, pinText, setAndShow, startTry, stopAll,
         waitForPin }
  from './harness.mjs';
import { finish, quillmarkPage as quillmarkPageIn, twoPressesResetThePosition } from './cases.mjs';

const MOUSE_DOWN = 0, RESET_VALUE = 1, INTERVAL = 2, POSITION = 3, RESET = 4, RANDOMIZE = 5, MIN = 6, MAX = 7;
const CTRL = 2;

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser.close(); await stopAll(); });
const quillmarkPage = () => quillmarkPageIn(browser);

// A later action, once shown, proves that every earlier one was taken.
let sentinel = 0;
async function settle(page) {
  sentinel += 1;
  await setAndShow(page, MIN, sentinel);
}

describe('the knob', () => {
  test('two presses 100 ms apart reset "Animation Position" to "Reset Value"', async () => {
    await twoPressesResetThePosition(browser);
  });

  test('two presses 300 ms apart with "Interval (ms)" at 200 do not reset', async () => {
    const session = await quillmarkPage();
    await waitForPin(session.page, INTERVAL, '200');
    const knob = await centerOf(session.page, '#knob-3 svg');
    const t = Date.now() / 1000;
    await click(session.page, knob, t);
    await click(session.page, knob, t + 0.3);
    await settle(session.page);
    assert.equal(await pinText(session.page, POSITION), '0.8');
    await finish(session);
  });

  test('Ctrl held at the second press writes a value from the random range', async () => {
    const session = await quillmarkPage();
    await setAndShow(session.page, MAX, 4);
    await setAndShow(session.page, MIN, 2);
    const knob = await centerOf(session.page, '#knob-3 svg');
    const t = Date.now() / 1000;
    await click(session.page, knob, t);
    await click(session.page, knob, t + 0.1, CTRL);
    await session.page.waitForFunction(() => document.getElementById('value-3').textContent !== '0.8');
    const value = Number(await pinText(session.page, POSITION));
    assert.ok(value >= 2 && value <= 4, `${value} is not in 2 .. 4`);
    const lines = await session.page.$eval('#lines', node => node.textContent);
    assert.match(lines, /press Ctrl/);
    await finish(session);
  });

  test('a press changes nothing on the page; the knob looks pressed while the module holds its press pin', async () => {
    const session = await quillmarkPage();
    const { page } = session;
    // What the page's handlers of a press and a release change is counted
    // between a listener on the window that runs first (capturing) and one
    // that runs last; the observer is told after each handler.
    await page.evaluate(() => {
      let inDispatch = false;
      window.changedByHandlers = 0;
      const observer = new MutationObserver(records => { if (inDispatch) window.changedByHandlers += records.length; });
      observer.observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
      for (const type of ['mousedown', 'mouseup']) {
        window.addEventListener(type, () => { inDispatch = true; }, true);
        window.addEventListener(type, () => { inDispatch = false; });
      }
    });
    const knob = await centerOf(page, '#knob-3 svg');
    const t = Date.now() / 1000;
    await mouse(page, 'mousePressed', knob, t);
    await page.waitForSelector('#knob-3.pressed');
    assert.equal(await pinText(page, MOUSE_DOWN), '1');
    await mouse(page, 'mouseReleased', knob, t + 0.05);
    await page.waitForSelector('#knob-3:not(.pressed)');
    assert.equal(await pinText(page, MOUSE_DOWN), '0');
    assert.equal(await page.evaluate(() => window.changedByHandlers), 0);
    await finish(session);
  });

  test('dragging the knob up sets the pin its angle shows', async () => {
    const session = await quillmarkPage();
    await setAndShow(session.page, POSITION, 0.2);
    const knob = await centerOf(session.page, '#knob-3 svg');
    const t = Date.now() / 1000;
    await mouse(session.page, 'mousePressed', knob, t);
    await mouse(session.page, 'mouseMoved', { x: knob.x, y: knob.y - 100 }, t + 0.05);
    await mouse(session.page, 'mouseReleased', { x: knob.x, y: knob.y - 100 }, t + 0.1);
    await waitForPin(session.page, POSITION, '0.7');
    await finish(session);
  });
});

describe('the pin controls', () => {
  test('the "Reset" button resets at once', async () => {
    const session = await quillmarkPage();
    const button = await centerOf(session.page, `#push-${RESET}`);
    await mouse(session.page, 'mousePressed', button);
    await waitForPin(session.page, POSITION, '0.25');
    await mouse(session.page, 'mouseReleased', button);
    await waitForPin(session.page, RESET, '0');
    await finish(session);
  });

  test('"Randomize" writes a random value on its release, not on its press', async () => {
    const session = await quillmarkPage();
    await setAndShow(session.page, MAX, 4);
    await setAndShow(session.page, MIN, 2);
    const button = await centerOf(session.page, `#push-${RANDOMIZE}`);
    await mouse(session.page, 'mousePressed', button);
    await waitForPin(session.page, RANDOMIZE, '1');
    assert.equal(await pinText(session.page, POSITION), '0.8');
    await mouse(session.page, 'mouseReleased', button);
    await session.page.waitForFunction(() => document.getElementById('value-3').textContent !== '0.8');
    const value = Number(await pinText(session.page, POSITION));
    assert.ok(value >= 2 && value <= 4, `${value} is not in 2 .. 4`);
    await finish(session);
  });

  test('a number typed into a float pin\'s field is set', async () => {
    const session = await quillmarkPage();
    await session.page.click(`#num-${INTERVAL}`, { clickCount: 3 });
    await session.page.keyboard.type('350');
    await session.page.keyboard.press('Enter');
    await waitForPin(session.page, INTERVAL, '350');
    await finish(session);
  });

  test('a second page only watches, and its actions are refused', async () => {
    const session = await quillmarkPage();
    const second = await openPage(browser, session.server);
    assert.match(await second.$eval('#role', node => node.textContent), /read-only/);
    await second.evaluate(() => window.trySend({ op: 'set', pin: 1, value: 0.5, t: Date.now() }));
    await second.waitForFunction(() => /the server refused: another page drives the module/
      .test(document.getElementById('lines').textContent), { polling: 20 });
    // It still sees what the driving page does.
    await session.page.bringToFront();
    await setAndShow(session.page, RESET_VALUE, 0.5);
    await waitForPin(second, RESET_VALUE, '0.5');
    await second.close();
    await finish(session);
  });
});

describe('other tabs', () => {
  test('five more tabs of the page watch, and the driving tab still drives, also reloaded', async () => {
    const session = await quillmarkPage();
    const viewers = [];
    for (let i = 0; i < 5; i += 1) viewers.push(await openPage(browser, session.server));
    for (const viewer of viewers) assert.match(await viewer.$eval('#role', node => node.textContent), /read-only/);
    await session.page.bringToFront();
    const knob = await centerOf(session.page, '#knob-3 svg');
    let t = Date.now() / 1000;
    await click(session.page, knob, t);
    await click(session.page, knob, t + 0.1);
    await waitForPin(session.page, POSITION, '0.25');
    for (const viewer of viewers) await waitForPin(viewer, POSITION, '0.25');
    // Reloaded, the driving tab drives again; the others still watch.
    await session.page.reload();
    await session.page.waitForFunction(() => window.tryStats.states > 0 &&
                                             /you drive/.test(document.getElementById('role').textContent));
    await setAndShow(session.page, POSITION, 0.8);
    t = Date.now() / 1000 + 1;
    await click(session.page, knob, t);
    await click(session.page, knob, t + 0.1);
    await waitForPin(session.page, POSITION, '0.25');
    for (const viewer of viewers) {
      assert.match(await viewer.$eval('#role', node => node.textContent), /read-only/);
      assert.deepEqual(viewer.problems, []);
      await viewer.close();
    }
    await finish(session);
  });
});

function request(port, { method = 'GET', path = '/', host = `127.0.0.1:${port}`, body } = {}) {
  return new Promise((resolve, reject) => {
    const call = http.request({ host: '127.0.0.1', port, method, path, headers: { Host: host }, agent: false },
      response => { response.resume(); response.on('end', () => resolve(response.statusCode)); });
    call.on('error', reject);
    if (body !== undefined) call.write(body);
    call.end();
  });
}

// Bytes that are no HTTP request at all; resolves with the server's answer.
function rawRequest(port, bytes) {
  return new Promise(resolve => {
    const socket = net.connect(port, '127.0.0.1');
    let answer = '';
    socket.on('data', chunk => {
      answer += chunk;
      if (answer.includes('\r\n\r\n')) socket.destroy();
    });
    socket.on('close', () => resolve(answer));
    socket.on('error', () => resolve(answer));
    // No end of our side: the server ends the connection after its answer.
    socket.on('connect', () => { socket.write(bytes); });
    socket.setTimeout(5000, () => socket.destroy());
  });
}

describe('the server', () => {
  test('refuses requests without the token or for another host with 403', async () => {
    const server = await startTry([paths.quillmark, paths.panel]);
    const token = `?token=${server.token}`;
    assert.equal(await request(server.port, { path: `/${token}` }), 200);
    assert.equal(await request(server.port, { path: '/' }), 403);
    assert.equal(await request(server.port, { path: '/?token=0123' }), 403);
    assert.equal(await request(server.port, { path: `/socket${token}&tab=a`.replace(server.token, 'x'.repeat(32)) }), 403);
    assert.equal(await request(server.port, { path: `/${token}`, host: `localhost:${server.port}` }), 403);
    assert.equal(await request(server.port, { path: `/${token}`, host: 'evil.example' }), 403);
    // Nothing but the page's WebSocket changes anything.
    assert.equal(await request(server.port, { method: 'POST', path: `/action${token}`, body: '{"op":"reload"}' }), 405);
    assert.equal((await server.stop()).code, 0);
  });

  test('answers 1,000 malformed requests with 400 and still serves the page', async () => {
    const server = await startTry([paths.quillmark, paths.panel]);
    const garbage = ['\r\n\r\n', 'GET\r\n\r\n', 'HELLO / HTTP/9.9\r\n\r\n', 'GET /?token= HTTP/1.1 extra\r\n\r\n',
                     '\u0000\u00ff\u0010\r\n\r\n', `GET / HTTP/1.1\r\nHost: 127.0.0.1:${server.port}\r\nX: \u0001\r\n\r\n`,
                     `GET / HTTP/1.1\r\nHost: 127.0.0.1:${server.port}\r\nHost: evil.example\r\n\r\n`];
    const answers = new Map();
    for (let i = 0; i < 1000; i += 1) {
      const answer = await rawRequest(server.port, garbage[i % garbage.length]);
      const status = Number((/^HTTP\/1\.1 (\d+)/.exec(answer) || [0, 0])[1]);
      answers.set(status, (answers.get(status) || 0) + 1);
    }
    assert.deepEqual([...answers.keys()], [400]);
    // Actions the driving page sends that make no sense are refused, each
    // with its reason, and the page goes on.
    const page = await openPage(browser, server);
    const actions = [{ op: 'set', pin: 99, value: 1 }, { op: 'set', pin: 1, value: 'abc' },
                     { op: 'set', pin: 0, value: 1.5 }, { op: 'set', pin: 1, value: 1, t: 'now' },
                     { op: 'set', pin: 1, value: 1, keys: { ctrl: 'yes' } }, { op: 'jump' }, { op: 1 }, [],
                     { op: 'clock', t: 'soon' }];
    for (const action of actions) await page.evaluate(a => window.trySend(a), action);
    await page.waitForFunction(n => (document.getElementById('lines').textContent.match(/the server refused/g) || [])
      .length === n, { polling: 20 }, actions.length);
    await setAndShow(page, RESET_VALUE, 0.5);
    await page.close();
    assert.equal((await server.stop()).code, 0);
  });
});

describe('faults', () => {
  test('a module that crashes on a pin change: the page shows the crash, and a fresh copy loads', async () => {
    const server = await startTry([paths.crashFixture]);
    const page = await openPage(browser, server);
    await page.click('#num-1', { clickCount: 3 });
    await page.keyboard.type('0.5');
    await page.keyboard.press('Enter');
    await page.waitForFunction(() => document.getElementById('fault').style.display === 'block');
    const fault = await page.$eval('#fault-text', node => node.textContent);
    assert.match(fault, /^semhost: .*fixture_crash\.so: the module crashed: SIGSEGV/);
    assert.match(await page.$eval('#lines', node => node.textContent), /the module crashed: SIGSEGV/);
    await page.click('#reload');
    await page.waitForFunction(() => window.tryStats.states > 1);
    assert.equal(await page.$eval('#fault', node => node.style.display), 'none');
    assert.match(await page.$eval('#where', node => node.textContent), /copy 2/);
    // The fresh copy runs and takes a value.
    await setAndShow(page, 2, 5);
    await page.close();
    const status = await server.stop();
    assert.equal(status.code, 0, status.errors);
  });
});
