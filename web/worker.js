// The l3 worker: runs l3 command lines in the WebAssembly module (l3.js, l3.wasm), one at a
// time, over the module's in-memory files, so that the page never waits on the work.
//
// page -> worker: {id, args: ['repack', '/in/a.mp3', '/out/a.mp3'], inputs: [{name, bytes}]}
//   Each input is written to /in/NAME, /out/ is made empty and is the folder the command
//   runs in, and `l3 ARGS...` runs.
// worker -> page:
//   {ready: true, version: 'l3 x.y.z'}        once, when the module is loaded
//   {fatal: 'text'}                            when it cannot be loaded
//   {id, progress: {done, total, label}}      during a run: files done (with the share of
//                                              the one at work) of total; label says what runs
//   {id, code, stdout, stderr, outputs: [{name, bytes}]}
//                                              the exit code, what the run printed, and every
//                                              file left under /out/ (names relative to it);
//                                              /in and /out are removed after.
// A run that stops the module (out of memory) replies with code -1 and the reason on
// stderr; the module is loaded afresh for the next message.
'use strict';

importScripts('l3.js');

// Bytes written to a standard stream during a run.
class ByteSink {
  constructor() { this.reset(); }
  reset() { this.bytes = new Uint8Array(4096); this.length = 0; }
  put(byte) {
    if (this.length === this.bytes.length) {
      const larger = new Uint8Array(this.bytes.length * 2);
      larger.set(this.bytes);
      this.bytes = larger;
    }
    this.bytes[this.length++] = byte;
  }
  text() { return new TextDecoder().decode(this.bytes.subarray(0, this.length)); }
}

const stdoutSink = new ByteSink();
const stderrSink = new ByteSink();
let l3 = null;           // the module, once loaded
let waiting = [];        // messages that came before it was
let progressOf = null;   // where progress of the run at work goes

function load() {
  return createL3({
    preRun: [(m) => m.FS.init(null, (c) => { if (c !== null) stdoutSink.put(c); },
                              (c) => { if (c !== null) stderrSink.put(c); })],
    onProgress: (done, total) => { if (progressOf) progressOf(done, total); },
    print: () => {},
    printErr: () => {},
  });
}

// Removes path and everything under it, if it is there.
function removeTree(FS, path) {
  let stat;
  try { stat = FS.stat(path); } catch (e) { return; }
  if (!FS.isDir(stat.mode)) { FS.unlink(path); return; }
  for (const name of FS.readdir(path))
    if (name !== '.' && name !== '..') removeTree(FS, path + '/' + name);
  FS.rmdir(path);
}

// Every file under dir, as {name (relative to top), bytes}.
function filesUnder(FS, dir, prefix, found) {
  for (const name of FS.readdir(dir)) {
    if (name === '.' || name === '..') continue;
    const path = dir + '/' + name;
    if (FS.isDir(FS.stat(path).mode)) filesUnder(FS, path, prefix + name + '/', found);
    else found.push({ name: prefix + name, bytes: FS.readFile(path).buffer });
  }
  return found;
}

function labelOf(args, inputs) {
  const command = args.length ? args[0] : 'l3';
  if (inputs.length === 1) return command + ' ' + inputs[0].name;
  return inputs.length ? command + ' ' + inputs.length + ' files' : command;
}

// Runs l3 with args (without the program's name) and gives its exit code.
function runL3(args) {
  const all = ['l3', ...args];
  const pointers = all.map((arg) => {
    const size = l3.lengthBytesUTF8(arg) + 1;
    const p = l3._malloc(size);
    l3.stringToUTF8(arg, p, size);
    return p;
  });
  const argv = l3._malloc(4 * (all.length + 1));
  const view = new Uint32Array(l3.HEAPU8.buffer, argv, all.length + 1);  // after every malloc
  pointers.forEach((p, i) => { view[i] = p; });
  view[all.length] = 0;
  try {
    return l3._l3_run(all.length, argv);
  } finally {
    for (const p of pointers) l3._free(p);
    l3._free(argv);
  }
}

function run(message) {
  const { id } = message;
  const args = (message.args || []).map(String);
  const inputs = message.inputs || [];
  const FS = l3.FS;
  stdoutSink.reset();
  stderrSink.reset();
  for (const input of inputs) {
    if (!/^[^/]+$/.test(input.name) || input.name === '.' || input.name === '..') {
      postMessage({ id, code: 1, stdout: '', stderr: `worker: '${input.name}' is not a file name\n`,
                    outputs: [] });
      return;
    }
  }
  FS.chdir('/');
  removeTree(FS, '/in');
  removeTree(FS, '/out');
  FS.mkdir('/in');
  FS.mkdir('/out');
  for (const input of inputs) FS.writeFile('/in/' + input.name, new Uint8Array(input.bytes));
  FS.chdir('/out');
  const label = labelOf(args, inputs);
  let lastTotal = Math.max(inputs.length, 1);
  postMessage({ id, progress: { done: 0, total: lastTotal, label } });
  progressOf = (done, total) => {
    lastTotal = total;
    postMessage({ id, progress: { done, total, label } });
  };
  let code;
  try {
    code = runL3(args);
  } catch (e) {
    progressOf = null;
    const stderr = stderrSink.text() + 'l3: stopped: ' + (e && e.message ? e.message : String(e)) + '\n';
    postMessage({ id, code: -1, stdout: stdoutSink.text(), stderr, outputs: [] });
    l3 = null;  // the instance is spent: load another for what comes next
    start();
    return;
  }
  progressOf = null;
  FS.chdir('/');
  const outputs = filesUnder(FS, '/out', '', []);
  removeTree(FS, '/in');
  removeTree(FS, '/out');
  postMessage({ id, code, stdout: stdoutSink.text(), stderr: stderrSink.text(), outputs },
              outputs.map((o) => o.bytes));
}

// Runs l3 repack once over a second of silent frames (1000 MPEG-1 frames, 128 kbit/s,
// nothing coded), its output dropped. The engine compiles the module's functions for speed
// only once they have run a while, and a function keeps its first, slower code for as long as
// that call lasts; one long repack would otherwise run almost wholly on it. This run, about a
// tenth of a second, gets the compiling started before the page's first command.
function warmUp() {
  const frameBytes = 417;  // 144 * 128000 / 44100
  const silent = new Uint8Array(1000 * frameBytes);
  for (let k = 0; k < 1000; ++k) silent.set([0xFF, 0xFB, 0x90, 0x40], k * frameBytes);
  const FS = l3.FS;
  FS.mkdir('/warm');
  FS.writeFile('/warm/in.mp3', silent);
  runL3(['repack', '/warm/in.mp3', '/warm/out.mp3']);
  removeTree(FS, '/warm');
  stdoutSink.reset();
  stderrSink.reset();
}

function version() {
  stdoutSink.reset();
  stderrSink.reset();
  runL3(['--version']);
  return stdoutSink.text().trim();
}

let announced = false;
function start() {
  load().then((instance) => {
    l3 = instance;
    warmUp();
    if (!announced) postMessage({ ready: true, version: version() });
    announced = true;
    const queued = waiting;
    waiting = [];
    for (const message of queued) handle(message);
  }, (e) => {
    postMessage({ fatal: 'the l3 module could not be loaded: ' + (e && e.message ? e.message : String(e)) });
  });
}

function handle(message) {
  if (l3) run(message);
  else waiting.push(message);
}

self.onmessage = (event) => handle(event.data);
start();
