// The page in a real browser: serves web/dist on 127.0.0.1, drives Debian's chromium
// headless through the page's own controls (the file input, the buttons, the selection
// fields), collects every download and compares it byte for byte with what the native l3
// writes given the same files and arguments; info and check text are compared with the
// native program's output. Also: no request leaves the local server, a screenshot, and the
// repack time of a 5 MB LAME file in the page printed beside the native time (a figure for
// bench/README.md, not a test: the machine's load decides it).
//
//   node browser_test.mjs --l3 build/release/bin/l3 --dist web/dist --data tests/data \
//        --out build/release/tests/web [--screenshot docs/web-page.png]
//
// Exit 0 passed, 1 failed, 77 skipped (a missing tool or build, named).
import { spawnSync } from 'node:child_process';
import { createServer } from 'node:http';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const SKIP = 77;
const options = {};
for (let i = 2; i < process.argv.length; i += 2) options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
const chromium = options.chromium || '/usr/bin/chromium';

function skip(why) {
  console.log(`SKIPPED: ${why}`);
  process.exit(SKIP);
}

for (const needed of ['l3', 'dist', 'data', 'out']) {
  if (!options[needed]) { console.error(`usage: --${needed} is missing`); process.exit(1); }
}
if (!fs.existsSync(chromium)) skip(`no ${chromium} (Debian package chromium)`);
for (const file of ['index.html', 'app.js', 'worker.js', 'l3.js', 'l3.wasm']) {
  if (!fs.existsSync(path.join(options.dist, file))) {
    skip(`no ${file} in ${options.dist}: build it with \`cmake --preset wasm && cmake --build --preset wasm\` (Debian package emscripten)`);
  }
}
let puppeteer;
try {
  puppeteer = (await import('puppeteer-core')).default;
} catch (e) {
  skip('puppeteer-core is not installed: run `npm ci` in tests/web (Debian packages nodejs npm)');
}
const haveLame = spawnSync('lame', ['--version']).status === 0;

const l3 = path.resolve(options.l3);
const data = path.resolve(options.data);
fs.mkdirSync(options.out, { recursive: true });
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'l3-web-'));

// MPEG-1 and MPEG-2, CBR and VBR, CRCs, ID3v2 with ID3v1; and a Xing frame without LAME
// extension and a VBRI frame, where the browser's decoder and l3 count time differently.
const streams = [
  'lame/m1_44k_joint_cbr128.mp3',
  'lame/m1_32k_stereo_vbr0_crc.mp3',
  'lame/m2_24k_stereo_cbr160_crc.mp3',
  'lame/m2_22k_joint_vbr5.mp3',
  'lame/m1_44k_mono_id3v1v2.mp3',
  'headers/m1_44k_joint_vbr5_xing.mp3',
  'headers/m1_44k_joint_vbr5_vbri.mp3',
].map((s) => path.join(data, s));

let failures = 0;
let checks = 0;
function expect(ok, what) {
  checks++;
  if (!ok) {
    failures++;
    console.log(`FAIL ${what}`);
  }
}

// Runs the native l3 as the worker runs it: the inputs under their names in a fresh folder,
// the outputs the new files there.
function native(args, inputs) {
  const dir = fs.mkdtempSync(path.join(scratch, 'native-'));
  for (const input of inputs) fs.copyFileSync(input, path.join(dir, path.basename(input)));
  const started = process.hrtime.bigint();
  const run = spawnSync(l3, args, { cwd: dir, maxBuffer: 1 << 26 });
  const seconds = Number(process.hrtime.bigint() - started) / 1e9;
  const given = new Set(inputs.map((i) => path.basename(i)));
  const outputs = {};
  for (const name of fs.readdirSync(dir)) {
    if (!given.has(name)) outputs[name] = fs.readFileSync(path.join(dir, name));
  }
  return { code: run.status, stdout: run.stdout.toString(), stderr: run.stderr.toString(), outputs, seconds };
}

// ---- A static server over dist, and the browser ----

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
  '.svg': 'image/svg+xml', '.png': 'image/png' };
const server = createServer((request, response) => {
  const name = decodeURIComponent(new URL(request.url, 'http://x').pathname).replace(/\/$/, '/index.html');
  const file = path.join(options.dist, path.normalize(name));
  if (!file.startsWith(path.resolve(options.dist)) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
    response.writeHead(404);
    response.end();
    return;
  }
  response.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
  fs.createReadStream(file).pipe(response);
});
options.dist = path.resolve(options.dist);
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const origin = `http://127.0.0.1:${server.address().port}`;

const elsewhere = [];
const requested = [];
const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  args: [...(process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : []), '--autoplay-policy=no-user-gesture-required'],
});

async function openPage() {
  const page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 900 });
  // Every request of the page and of its workers (which page.on('request') does not see: each
  // worker's own session reports them, from its first one, as it is paused until attached).
  const note = (url, who) => {
    requested.push({ url, who });
    if (!url.startsWith(origin + '/') && !url.startsWith('blob:') && !url.startsWith('data:')) elsewhere.push(url);
  };
  page.on('request', (request) => note(request.url(), 'page'));
  page.on('workercreated', (worker) => {
    worker.client.on('Network.requestWillBeSent', (event) => note(event.request.url, 'worker'));
    worker.client.send('Network.enable').catch(() => {});
  });
  page.on('pageerror', (error) => expect(false, `page error: ${error.message}`));
  await page.goto(origin + '/', { waitUntil: 'load' });
  await page.waitForFunction(() => document.querySelector('#version').textContent.startsWith('l3 '), { timeout: 60000 });
  return page;
}

// Adds files through the file input and waits until each is inspected and decoded.
async function upload(page, paths) {
  const input = await page.$('#files');
  await input.uploadFile(...paths);
  await page.waitForFunction((count) => {
    const items = document.querySelectorAll('#file-list > li');
    return items.length >= count && Array.from(items).every((li) =>
      li.querySelector('.verdict').textContent !== '' && !li.querySelector('.loudness').textContent.includes('measuring'));
  }, { timeout: 120000 }, paths.length);
}

// Runs a page function on the file's element: its <li> found by the name it shows.
function onFile(page, name, fn, ...rest) {
  return page.evaluate((name, body, ...rest) => {
    const li = Array.from(document.querySelectorAll('#file-list > li'))
      .find((item) => item.querySelector('.file-name').textContent === name);
    return new Function('li', '...rest', body)(li, ...rest);  // eslint-disable-line no-new-func
  }, name, `return (${fn.toString()})(li, ...rest);`, ...rest);
}

// Clicks a control and waits for the result it adds to the results list; returns the
// command the page shows, what the program said, and each download's name and bytes.
async function resultOf(page, containerSelector, click) {
  const before = await page.$eval(containerSelector, (c) => c.children.length);
  await click();
  await page.waitForFunction((s, n) => document.querySelector(s).children.length > n,
    { timeout: 300000 }, containerSelector, before);
  const result = await page.$eval(containerSelector, async (c) => {
    const item = c.firstElementChild;
    const downloads = [];
    for (const a of item.querySelectorAll('a.download')) {
      const bytes = new Uint8Array(await (await fetch(a.href)).arrayBuffer());
      let text = '';
      for (let i = 0; i < bytes.length; i += 32768) text += String.fromCharCode(...bytes.subarray(i, i + 32768));
      downloads.push({ name: a.download, base64: btoa(text) });
    }
    const said = item.querySelector('pre, .error');
    return { command: item.querySelector('.command').textContent, said: said ? said.textContent : '', downloads,
      pageSeconds: Number(item.querySelector('.seconds').dataset.seconds) };
  });
  result.files = {};
  for (const d of result.downloads) result.files[d.name] = Buffer.from(d.base64, 'base64');
  return result;
}

function fileSelector(name) {
  return `#file-list > li:nth-child(${1 + order.indexOf(name)})`;
}
let order = [];

// The page's result against the native run of the same arguments: the command it shows,
// the files written (same names, same bytes), and on failure the program's words.
function compare(what, pageResult, args, inputs) {
  const want = native(args, inputs);
  expect(pageResult.command === 'l3 ' + args.join(' '), `${what}: the page ran "${pageResult.command}", not "l3 ${args.join(' ')}"`);
  const pageNames = Object.keys(pageResult.files).sort();
  const nativeNames = Object.keys(want.outputs).sort();
  expect(pageNames.join() === nativeNames.join(), `${what}: the page wrote [${pageNames}], l3 [${nativeNames}]`);
  for (const name of nativeNames) {
    const got = pageResult.files[name];
    expect(got && Buffer.compare(got, want.outputs[name]) === 0,
      `${what}: ${name} differs (${got ? got.length : 'no'} bytes in the page, ${want.outputs[name].length} from l3)`);
  }
  expect(pageResult.said.trim() === (want.stdout + want.stderr).trim(),
    `${what}: the page said\n${pageResult.said}\nl3 said\n${want.stdout + want.stderr}`);
  return want;
}

try {
  // ---- Five streams: info, check, the plot, loudness, repack, --huffman, gain, cut ----
  const page = await openPage();
  await upload(page, streams);
  order = streams.map((s) => path.basename(s));

  const loudnessMeasured = native(['gain', '--scan', '--json', path.basename(streams[0])], [streams[0]]).code === 0;
  for (const stream of streams) {
    const name = path.basename(stream);
    const stem = name.replace(/\.mp3$/, '');
    const shown = await onFile(page, name, (li) => ({
      info: li.querySelector('.info').textContent,
      check: li.querySelector('.check').textContent,
      verdict: li.querySelector('.verdict').textContent,
      plot: li.querySelector('.plot img') ? li.querySelector('.plot img').src : null,
      loudness: li.querySelector('.loudness').textContent,
      suggest: li.querySelector('.suggest').textContent,
      played: Number(li.querySelector('.sel-to').value),
      note: li.querySelector('.wave-note').textContent,
    }));
    const info = native(['info', name], [stream]);
    expect(shown.info === info.stdout, `${name}: info shows\n${shown.info}\nl3 info prints\n${info.stdout}`);
    const check = native(['check', name], [stream]);
    expect(shown.check === check.stdout + check.stderr, `${name}: check shows\n${shown.check}\nl3 check prints\n${check.stdout}`);
    expect(shown.verdict === 'ok', `${name}: verdict ${shown.verdict}`);
    const plot = native(['info', '--plot', stem + '.svg', name], [stream]).outputs[stem + '.svg'];
    const pagePlot = shown.plot && Buffer.from(await page.evaluate(async (src) =>
      Array.from(new Uint8Array(await (await fetch(src)).arrayBuffer())), shown.plot));
    expect(pagePlot && plot && Buffer.compare(pagePlot, plot) === 0, `${name}: the plot differs from l3 info --plot's`);
    const json = JSON.parse(native(['info', '--json', name], [stream]).stdout);
    expect(shown.played === json.samples.gapless, `${name}: the selection ends at ${shown.played}, l3 plays ${json.samples.gapless} samples`);
    expect(!shown.note.includes('the browser decoded'), `${name}: the waveform is not on l3's timeline: ${shown.note}`);

    // The loudness the page measures from the browser's decoding, against l3's from libmpg123.
    if (loudnessMeasured) {
      const scan = JSON.parse(native(['gain', '--scan', '--json', name], [stream]).stdout);
      const lufs = Number(/(-?[\d.]+) LUFS/.exec(shown.loudness)?.[1]);
      expect(Math.abs(lufs - scan.files[0].lufs) <= 0.05, `${name}: loudness ${lufs} LUFS in the page, ${scan.files[0].lufs} from l3 gain --scan`);
      expect(shown.suggest.includes(`suggested: ${scan.files[0].track_steps > 0 ? '+' : ''}${scan.files[0].track_steps} steps`),
        `${name}: the page suggests "${shown.suggest}", l3 gain --scan ${scan.files[0].track_steps} steps`);
    }

    const sel = fileSelector(name);
    const repack = await resultOf(page, `${sel} .results`, () => page.click(`${sel} .repack`));
    compare(`${name} repack`, repack, ['repack', name, stem + '.repacked.mp3'], [stream]);

    await page.click(`${sel} .huffman`);
    const huffman = await resultOf(page, `${sel} .results`, () => page.click(`${sel} .repack`));
    compare(`${name} repack --huffman`, huffman, ['repack', '--huffman', name, stem + '.repacked.mp3'], [stream]);

    await page.select(`${sel} .cbr`, 'min');
    const cbr = await resultOf(page, `${sel} .results`, () => page.click(`${sel} .repack`));
    compare(`${name} repack --huffman --cbr min`, cbr, ['repack', '--huffman', '--cbr', 'min', name, stem + '.repacked.mp3'], [stream]);

    await page.$eval(`${sel} .steps`, (input) => { input.value = '-3'; input.dispatchEvent(new Event('input')); });
    const gain = await resultOf(page, `${sel} .results`, () => page.click(`${sel} .gain`));
    compare(`${name} gain`, gain, ['gain', '-g', '-3', name, stem + '.gain-3.mp3'], [stream]);

    // A range from a quarter to three quarters of what l3 plays, typed into the fields.
    const from = Math.round(json.samples.gapless / 4);
    const to = Math.round(json.samples.gapless * 3 / 4);
    await page.$eval(`${sel} .sel-from`, (input, v) => { input.value = v; input.dispatchEvent(new Event('input')); }, String(from));
    await page.$eval(`${sel} .sel-to`, (input, v) => { input.value = v; input.dispatchEvent(new Event('input')); }, String(to));
    const cut = await resultOf(page, `${sel} .results`, () => page.click(`${sel} .cut`));
    compare(`${name} cut`, cut, ['cut', '--from-sample', String(from), '--to-sample', String(to), name, stem + '.cut.mp3'], [stream]);

    if (stream === streams[0]) {  // the page at work: the first file with its results
      await page.evaluate(() => window.scrollTo(0, 0));
      const card = await page.$(sel);
      await card.screenshot({ path: path.join(options.out, 'web-page.png') });
      if (options.screenshot) await card.screenshot({ path: options.screenshot });
    }
  }

  // Split at two points marked from the selection's start.
  {
    const stream = streams[3];
    const name = path.basename(stream);
    const sel = fileSelector(name);
    const played = await page.$eval(`${sel} .sel-to`, (input) => Number(input.max));
    const points = [Math.round(played * 0.3), Math.round(played * 0.61)];
    for (const p of points) {
      await page.$eval(`${sel} .sel-from`, (input, v) => { input.value = v; input.dispatchEvent(new Event('input')); }, String(p));
      await page.click(`${sel} .mark`);
    }
    const split = await resultOf(page, `${sel} .results`, () => page.click(`${sel} .split`));
    compare(`${name} split`, split, ['split', '--samples', '--at', points.join(','), name, name.replace(/\.mp3$/, '.part%d.mp3')], [stream]);
  }

  // Join of streams that differ in format fails in the program's words.
  const mixed = await resultOf(page, '#join-results', () => page.click('#join-run'));
  compare('join of mixed formats', mixed, ['join', '-o', order[0].replace(/\.mp3$/, '.joined.mp3'), ...order], streams);
  await page.close();

  // ---- Join in an order the user set, and undo of a gain ----
  {
    const joinPage = await openPage();
    const first = path.join(data, 'lame/m1_44k_joint_cbr128.mp3');
    const second = path.join(data, 'lame/m1_44k_joint_clicks_vbr0.mp3');
    const third = path.join(data, 'lame/m1_44k_joint_abr96.mp3');
    await upload(joinPage, [first, second, third]);
    order = [first, second, third].map((s) => path.basename(s));
    await joinPage.click(`${fileSelector(order[0])} .move-down`);  // second, first, third
    order = [order[1], order[0], order[2]];
    const joined = await resultOf(joinPage, '#join-results', () => joinPage.click('#join-run'));
    compare('join', joined, ['join', '-o', order[0].replace(/\.mp3$/, '.joined.mp3'), ...order], [first, second, third]);

    const gained = native(['gain', '-g', '-2', order[0], 'quieter.mp3'], [second]).outputs['quieter.mp3'];
    const quieter = path.join(scratch, 'quieter.mp3');
    fs.writeFileSync(quieter, gained);
    await upload(joinPage, [quieter]);
    order.push('quieter.mp3');
    const undo = await resultOf(joinPage, `${fileSelector('quieter.mp3')} .results`, () => joinPage.click(`${fileSelector('quieter.mp3')} .undo`));
    compare('undo', undo, ['gain', '--undo', 'quieter.mp3', 'quieter.undone.mp3'], [quieter]);
    expect(Buffer.compare(undo.files['quieter.undone.mp3'] || Buffer.alloc(0), fs.readFileSync(second)) === 0,
      'undo does not give back the file before the gain');
    await joinPage.close();
  }

  // ---- Speed: repack of a 5 MB LAME file, in the page and natively ----
  if (!haveLame) {
    console.log('speed: skipped, no lame (Debian package lame)');
  } else {
    const wav = path.join(scratch, 'big.wav');
    const big = path.join(scratch, 'big.mp3');
    writeTestSignal(wav, 44100, 328);
    const encode = spawnSync('lame', ['--quiet', '-b', '128', wav, big]);
    expect(encode.status === 0, 'lame could not make the 5 MB file');
    const speedPage = await openPage();
    await upload(speedPage, [big]);
    order = ['big.mp3'];
    // Median of 5 each: in the page as it times a run (the input handed to the worker, the
    // run, the result back), natively the process.
    const median = (list) => list.sort((a, b) => a - b)[Math.floor(list.length / 2)];
    const pageTimes = [], nativeTimes = [];
    await speedPage.evaluate(() => {  // what the progress bar tells while the worker runs
      window.progressSeen = [];
      const bar = document.querySelector('#progress');
      new MutationObserver(() => window.progressSeen.push({ label: document.querySelector('#progress-label').textContent,
        value: bar.getAttribute('value'), max: bar.max })).observe(bar, { attributes: true });
    });
    for (let i = 0; i < 5; i++) {
      const inPage = await resultOf(speedPage, `${fileSelector('big.mp3')} .results`, () => speedPage.click(`${fileSelector('big.mp3')} .repack`));
      pageTimes.push(inPage.pageSeconds);
      nativeTimes.push(compare('repack of the 5 MB file', inPage, ['repack', 'big.mp3', 'big.repacked.mp3'], [big]).seconds);
    }
    const size = fs.statSync(big).size;
    const [inPage, natively] = [median(pageTimes), median(nativeTimes)];
    console.log(`repack of a ${size}-byte LAME file: ${inPage.toFixed(3)} s in the page, ${natively.toFixed(3)} s native (${(inPage / natively).toFixed(2)}x)`);
    const progress = await speedPage.evaluate(() => window.progressSeen);
    // Figures on the bar come only from the worker's progress messages.
    expect(progress.some((p) => p.label === 'repack big.mp3' && p.value !== null && p.max >= 1),
      `the worker's progress did not reach the bar: ${JSON.stringify(progress.slice(0, 5))}`);
    await speedPage.close();
  }

  expect(elsewhere.length === 0, `the page asked other hosts: ${elsewhere.join(', ')}`);
  // The watch on the workers saw them load the module: it was on from their start.
  expect(requested.some((r) => r.who === 'worker' && r.url === origin + '/l3.wasm'),
    `no worker request for l3.wasm was seen, so a worker's requests may go unseen: ${JSON.stringify(requested)}`);
} finally {
  await browser.close();
  server.close();
  fs.rmSync(scratch, { recursive: true, force: true });
}

// A WAV file of 16-bit stereo: tones that move, and noise; at 128 kbit/s 328 s make 5 MB.
function writeTestSignal(file, rate, seconds) {
  const frames = rate * seconds;
  const buffer = Buffer.alloc(44 + frames * 4);
  buffer.write('RIFF', 0); buffer.writeUInt32LE(36 + frames * 4, 4); buffer.write('WAVEfmt ', 8);
  buffer.writeUInt32LE(16, 16); buffer.writeUInt16LE(1, 20); buffer.writeUInt16LE(2, 22);
  buffer.writeUInt32LE(rate, 24); buffer.writeUInt32LE(rate * 4, 28); buffer.writeUInt16LE(4, 32);
  buffer.writeUInt16LE(16, 34); buffer.write('data', 36); buffer.writeUInt32LE(frames * 4, 40);
  let seed = 1;
  const noise = () => { seed = (seed * 1103515245 + 12345) >>> 0; return seed / 2 ** 31 - 1; };
  for (let i = 0; i < frames; i++) {
    const t = i / rate;
    const tone = Math.sin(2 * Math.PI * (220 + 40 * Math.sin(t / 3)) * t) * 0.3 + Math.sin(2 * Math.PI * 3520 * t) * 0.1;
    buffer.writeInt16LE(Math.round(32767 * Math.max(-1, Math.min(1, tone + 0.15 * noise()))), 44 + 4 * i);
    buffer.writeInt16LE(Math.round(32767 * Math.max(-1, Math.min(1, tone * 0.8 + 0.15 * noise()))), 46 + 4 * i);
  }
  fs.writeFileSync(file, buffer);
}

console.log(`${checks - failures} of ${checks} checks passed`);
process.exit(failures === 0 ? 0 : 1);
