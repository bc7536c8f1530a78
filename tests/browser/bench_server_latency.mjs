// Benchmark (not a test): the two parts of the try page's latency. The
// server's: a client that posts the same action the page posts and waits for
// the update on the event stream, without a browser. The browser's floor:
// one fetch of a blank answer from a page of a trivial server, the least a
// request from a page costs on this machine, before semhost does anything.
import http from 'node:http';
import { launchBrowser, paths, startTry } from './harness.mjs';

const RUNS = Number(process.env.RUNS || 200);

function summary(list) {
  const sorted = [...list].sort((a, b) => a - b);
  const at = share => sorted[Math.min(sorted.length - 1, Math.ceil(share * sorted.length) - 1)].toFixed(2);
  return `${sorted.length} runs, median ${at(0.5)} ms, 99th percentile ${at(0.99)} ms`;
}

async function serverLatencies() {
  const server = await startTry([paths.quillmark, paths.panel]);
  const agent = new http.Agent({ keepAlive: true });
  const page = Array.from({ length: 16 }, () => Math.floor(Math.random() * 16).toString(16)).join('');
  let onUpdate = null;
  const stream = http.get({ host: '127.0.0.1', port: server.port,
                            path: `/events?token=${server.token}&page=${page}` }, response => {
    response.setEncoding('utf8');
    response.on('data', text => {
      if (text.includes('"type":"update"') && onUpdate) { const done = onUpdate; onUpdate = null; done(); }
    });
  });
  await new Promise(done => setTimeout(done, 300));
  const post = body => new Promise(done => {
    const data = JSON.stringify(body);
    const request = http.request({ host: '127.0.0.1', port: server.port, path: `/action?token=${server.token}`,
                                   method: 'POST', agent,
                                   headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(data) } },
                                 response => { response.resume(); response.on('end', done); });
    request.end(data);
  });
  const latencies = [];
  for (let i = 0; i < RUNS; i += 1) {
    const start = performance.now();
    const updated = new Promise(done => { onUpdate = done; });
    const answered = post({ op: 'set', pin: 1, value: 0.1 + i / 1000, page, load: 'bench', seq: i + 1, t: Date.now() });
    await updated;
    latencies.push(performance.now() - start);
    await answered;
  }
  stream.destroy();
  await server.stop();
  return latencies;
}

async function browserFloor() {
  const trivial = http.createServer((request, response) => { response.writeHead(200); response.end(); });
  await new Promise(done => trivial.listen(0, '127.0.0.1', done));
  const browser = await launchBrowser();
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${trivial.address().port}/`);
    return await page.evaluate(async runs => {
      const list = [];
      for (let i = 0; i < runs; i += 1) {
        const start = performance.now();
        await fetch('/blank');
        list.push(performance.now() - start);
      }
      return list;
    }, RUNS);
  } finally {
    await browser.close();
    trivial.close();
  }
}

console.log(`    the server alone (action posted to the update on the stream): ${summary(await serverLatencies())}`);
console.log(`    the browser's floor (one fetch from a page of a trivial server): ${summary(await browserFloor())}`);
