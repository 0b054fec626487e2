// The page: builds `l3` command lines for the files the user adds, runs them in worker.js
// (the l3 program itself, compiled to WebAssembly, over an in-memory file system) and shows
// what the program printed and offers what it wrote. The browser's own decoder draws the
// waveform and measures the loudness; it never makes a file.
'use strict';

const $ = (root, selector) => root.querySelector(selector);

// ---- The worker: one l3 run at a time, replies matched by id. ----

const worker = new Worker('worker.js');
const pending = new Map();
let nextId = 1;
let ready;
const readyPromise = new Promise((resolve) => { ready = resolve; });
let queue = Promise.resolve();

worker.onmessage = (event) => {
  const m = event.data;
  if (m.ready) {
    $(document, '#version').textContent = m.version;
    ready();
  } else if (m.fatal !== undefined) {
    showFatal('The l3 module did not load: ' + m.fatal);
  } else if (m.progress) {
    showProgress(m.progress.done, m.progress.total, m.progress.label);
  } else if (pending.has(m.id)) {
    pending.get(m.id)(m);
    pending.delete(m.id);
  }
};
worker.onerror = (event) => showFatal('The l3 worker failed: ' + (event.message || 'unknown error'));

// Runs `l3 ARGS...` with the inputs written to /in/NAME; resolves to {code, stdout, stderr,
// outputs, args, seconds}. Runs are queued, so that one progress bar tells of one run.
function runL3(args, inputs, label) {
  const run = queue.then(() => readyPromise).then(() => new Promise((resolve) => {
    const id = nextId++;
    const started = performance.now();
    showProgress(0, 0, label);
    pending.set(id, (reply) => {
      hideProgress();
      resolve({ ...reply, args, seconds: (performance.now() - started) / 1000 });
    });
    const copies = inputs.map((f) => ({ name: f.name, bytes: f.bytes.slice(0) }));
    worker.postMessage({ id, args, inputs: copies }, copies.map((c) => c.bytes));
  }));
  queue = run.catch(() => {});
  return run;
}

function showProgress(done, total, label) {
  $(document, '#work').hidden = false;
  $(document, '#progress-label').textContent = label || 'working';
  const bar = $(document, '#progress');
  if (total > 0) {
    bar.max = total;
    bar.value = done;
  } else {
    bar.removeAttribute('value');  // indeterminate until the first figures arrive
  }
}

function hideProgress() {
  $(document, '#work').hidden = true;
}

function showFatal(text) {
  const box = $(document, '#fatal');
  box.textContent = text;
  box.hidden = false;
}

// The program names its files by their paths in the worker (/in/NAME, /out/NAME); the user
// knows them by NAME.
function plainText(text) {
  return text.replace(/\/(in|out)\//g, '');
}

// The command as the user would type it in a shell, for the results list.
function commandLine(args) {
  const quote = (a) => (/^[\w@%+=:,./-]+$/.test(a) ? a : "'" + a.replace(/'/g, "'\\''") + "'");
  return 'l3 ' + plainText(args.map(quote).join(' '));
}

// ---- Names: song.mp3 gives song.repacked.mp3, song.cut.mp3, song.part1.mp3 ... ----

function stem(name) {
  return name.replace(/\.mp3$/i, '');
}

function formatBytes(n) {
  return n.toLocaleString('en-US') + ' bytes';
}

function formatTime(seconds) {
  const m = Math.floor(seconds / 60);
  const s = seconds - 60 * m;
  return m + ':' + s.toFixed(3).padStart(6, '0');
}

// ---- Files ----

const files = [];  // {name, bytes, element, info, audio, marks}

function uniqueName(name) {
  let candidate = name;
  for (let k = 2; files.some((f) => f.name === candidate); k++) {
    candidate = stem(name) + '-' + k + '.mp3';
  }
  return candidate;
}

async function addFiles(list) {
  for (const file of list) {
    const bytes = await file.arrayBuffer();
    const entry = { name: uniqueName(file.name.replace(/[/\\]/g, '_')), bytes, marks: [] };
    files.push(entry);
    $(document, '#file-list').append(makeFileElement(entry));
    $(document, '#join').hidden = files.length < 2;
    inspect(entry);
  }
}

function makeFileElement(entry) {
  const li = $(document, '#file-template').content.firstElementChild.cloneNode(true);
  entry.element = li;
  $(li, '.file-name').textContent = entry.name;
  $(li, '.file-size').textContent = formatBytes(entry.bytes.byteLength);
  $(li, '.move-up').onclick = () => move(entry, -1);
  $(li, '.move-down').onclick = () => move(entry, 1);
  $(li, '.remove').onclick = () => remove(entry);
  $(li, '.repack').onclick = () => repack(entry);
  $(li, '.gain').onclick = () => gain(entry);
  $(li, '.undo').onclick = () => undoGain(entry);
  $(li, '.cut').onclick = () => cut(entry);
  $(li, '.play').onclick = () => play(entry);
  $(li, '.mark').onclick = () => mark(entry);
  $(li, '.clear-marks').onclick = () => { entry.marks = []; drawMarks(entry); };
  $(li, '.split').onclick = () => split(entry);
  $(li, '.steps').oninput = () => showStepsDb(entry);
  $(li, '.target').oninput = () => showSuggestion(entry);
  $(li, '.sel-from').oninput = () => selectionChanged(entry);
  $(li, '.sel-to').oninput = () => selectionChanged(entry);
  showStepsDb(entry);
  attachSelection(entry);
  return li;
}

function move(entry, by) {
  const i = files.indexOf(entry);
  const j = i + by;
  if (j < 0 || j >= files.length) return;
  files.splice(i, 1);
  files.splice(j, 0, entry);
  const list = $(document, '#file-list');
  for (const f of files) list.append(f.element);
  $(entry.element, by < 0 ? '.move-up' : '.move-down').focus();
}

function remove(entry) {
  files.splice(files.indexOf(entry), 1);
  entry.element.remove();
  $(document, '#join').hidden = files.length < 2;
}

function showError(element, result) {
  const box = $(element, '.error');
  const text = plainText(result.stderr).trim();
  box.textContent = text || `l3 ${result.args[0]} ended with exit code ${result.code}`;
  box.hidden = false;
}

function clearError(element) {
  $(element, '.error').hidden = true;
}

// ---- Info, check, waveform and loudness, when a file is added ----

async function inspect(entry) {
  const li = entry.element;
  const svgName = stem(entry.name) + '.svg';
  const info = await runL3(['info', '--plot', '/out/' + svgName, '/in/' + entry.name], [entry], 'info ' + entry.name);
  $(li, '.info').textContent = plainText(info.stdout);
  if (info.code !== 0) showError(li, info);
  const svg = info.outputs.find((o) => o.name === svgName);
  if (svg) {
    const img = document.createElement('img');
    const drawing = plainText(new TextDecoder().decode(svg.bytes));  // its title names the file
    img.src = URL.createObjectURL(new Blob([drawing], { type: 'image/svg+xml' }));
    img.alt = 'Bit rate and reservoir fill of ' + entry.name;
    $(li, '.plot').prepend(img);
  }

  const json = await runL3(['info', '--json', '/in/' + entry.name], [entry], 'info ' + entry.name);
  if (json.code === 0) {
    try { entry.info = JSON.parse(json.stdout); } catch (e) { entry.info = null; }
  }
  if (entry.info) fillBitRates(entry);

  const check = await runL3(['check', '/in/' + entry.name], [entry], 'check ' + entry.name);
  $(li, '.check').textContent = plainText(check.stdout) + plainText(check.stderr);
  const verdicts = { 0: 'ok', 2: 'unreadable', 3: 'damaged', 4: 'unsupported' };
  const verdict = $(li, '.verdict');
  verdict.textContent = verdicts[check.code] || 'check failed';
  verdict.className = 'verdict ' + (verdicts[check.code] || 'failed');
  if (check.code !== 0) $(li, '.check-box').open = true;

  await decode(entry);
}

// The --cbr choices: the bit rates of the file's MPEG version.
function fillBitRates(entry) {
  const rates = entry.info.version === 'MPEG-1'
    ? [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320]
    : [8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160];
  const select = $(entry.element, '.cbr');
  for (const r of rates) {
    const option = document.createElement('option');
    option.value = String(r);
    option.textContent = 'CBR ' + r + ' kbit/s';
    select.append(option);
  }
}

// Decodes at the stream's own sampling rate (an OfflineAudioContext of that rate does not
// resample), so that a sample of the decoded buffer is a sample of l3's timeline.
async function decode(entry) {
  const li = entry.element;
  const rate = (entry.info && entry.info.sampling_rate) || 44100;
  try {
    const context = new OfflineAudioContext(2, 1, rate);
    entry.audio = await context.decodeAudioData(entry.bytes.slice(0));
  } catch (e) {
    // No waveform, but the range fields still take l3's timeline.
    $(li, '.wave-note').textContent = 'The browser cannot decode this file: ' + e.message;
    $(li, '.loudness').textContent = 'loudness: not measured';
    entry.audio = null;
    entry.played = entry.info ? entry.info.samples.gapless : 0;
    setRangeLimits(entry);
    return;
  }
  const played = entry.info ? entry.info.samples.gapless : entry.audio.length;
  const xingWithoutLame = entry.info && entry.info.xing && entry.info.xing.type !== 'VBRI' && !entry.info.xing.lame;
  // The browser's decoder trims a LAME extension's delay and padding, as l3's timeline does;
  // before a Xing/Info frame without one it plays 529 samples that l3 does not count.
  entry.offset = xingWithoutLame ? Math.max(0, entry.audio.length - played) : 0;
  entry.played = played;
  let note = `${played.toLocaleString('en-US')} samples at ${rate} Hz (${formatTime(played / rate)}), as l3 counts them`;
  if (entry.audio.length !== played + entry.offset) {
    note += `; the browser decoded ${entry.audio.length.toLocaleString('en-US')}: the waveform may be off by the difference`;
  }
  $(li, '.wave-note').textContent = note + '.';
  setRangeLimits(entry);

  entry.lufs = integratedLoudness(entry.audio);
  $(li, '.loudness').textContent = Number.isFinite(entry.lufs)
    ? `loudness: ${entry.lufs.toFixed(2)} LUFS (BS.1770, gated)` : 'loudness: silence';
  showSuggestion(entry);
}

// The range fields run over the samples l3 counts, all of them selected at first.
function setRangeLimits(entry) {
  const li = entry.element;
  $(li, '.sel-from').max = entry.played;
  $(li, '.sel-to').max = entry.played;
  $(li, '.sel-from').value = 0;
  $(li, '.sel-to').value = entry.played;
  selectionChanged(entry);
}

function showSuggestion(entry) {
  const li = entry.element;
  if (!Number.isFinite(entry.lufs)) return;
  const target = Number($(li, '.target').value);
  const steps = suggestedSteps(entry.lufs, target);
  const box = $(li, '.suggest');
  box.textContent = `suggested: ${steps > 0 ? '+' : ''}${steps} steps `;
  const use = document.createElement('button');
  use.type = 'button';
  use.textContent = 'Use';
  use.className = 'use-suggestion';
  use.onclick = () => { $(li, '.steps').value = steps; showStepsDb(entry); };
  box.append(use);
}

function showStepsDb(entry) {
  const steps = Math.trunc(Number($(entry.element, '.steps').value) || 0);
  $(entry.element, '.steps-db').textContent = `${(steps * 1.5).toFixed(1)} dB`;
}

// ---- The waveform and its selection ----

function selection(entry) {
  const li = entry.element;
  const from = Math.max(0, Math.round(Number($(li, '.sel-from').value) || 0));
  const to = Math.min(entry.played || 0, Math.round(Number($(li, '.sel-to').value) || 0));
  return { from, to };
}

function selectionChanged(entry) {
  if (!entry.played) return;
  const { from, to } = selection(entry);
  const rate = entry.audio ? entry.audio.sampleRate : entry.info.sampling_rate;
  $(entry.element, '.sel-time').textContent = `${formatTime(from / rate)} – ${formatTime(to / rate)}`;
  drawWave(entry);
}

function drawWave(entry) {
  const canvas = $(entry.element, '.wave');
  const g = canvas.getContext('2d');
  const { width, height } = canvas;
  g.clearRect(0, 0, width, height);
  if (!entry.audio) return;
  const played = entry.played;
  const { from, to } = selection(entry);
  const x = (sample) => (sample / played) * width;
  g.fillStyle = '#dbe8f7';
  g.fillRect(x(from), 0, Math.max(1, x(to) - x(from)), height);
  const channels = [];
  for (let c = 0; c < entry.audio.numberOfChannels; c++) channels.push(entry.audio.getChannelData(c));
  g.fillStyle = '#2a5d9f';
  const perColumn = played / width;
  for (let column = 0; column < width; column++) {
    const start = entry.offset + Math.floor(column * perColumn);
    const end = Math.min(entry.offset + Math.floor((column + 1) * perColumn), entry.audio.length);
    let low = 0, high = 0;
    for (const data of channels) {
      for (let i = start; i < end; i++) {
        if (data[i] < low) low = data[i];
        if (data[i] > high) high = data[i];
      }
    }
    const top = (1 - high) * height / 2;
    g.fillRect(column, top, 1, Math.max(1, (1 - low) * height / 2 - top));
  }
  g.fillStyle = '#c0392b';
  for (const m of entry.marks) g.fillRect(x(m), 0, 2, height);
}

// Dragging over the canvas selects a range; the arrow keys move the range's start and
// Shift+arrows its end, a hundredth of the file at a time.
function attachSelection(entry) {
  const canvas = $(entry.element, '.wave');
  const sampleAt = (event) => {
    const box = canvas.getBoundingClientRect();
    const share = Math.min(1, Math.max(0, (event.clientX - box.left) / box.width));
    return Math.round(share * (entry.played || 0));
  };
  let anchor = null;
  canvas.addEventListener('pointerdown', (event) => {
    if (!entry.audio) return;
    anchor = sampleAt(event);
    canvas.setPointerCapture(event.pointerId);
    setSelection(entry, anchor, anchor);
  });
  canvas.addEventListener('pointermove', (event) => {
    if (anchor === null) return;
    const here = sampleAt(event);
    setSelection(entry, Math.min(anchor, here), Math.max(anchor, here));
  });
  canvas.addEventListener('pointerup', () => { anchor = null; });
  canvas.addEventListener('keydown', (event) => {
    if (!entry.audio || (event.key !== 'ArrowLeft' && event.key !== 'ArrowRight')) return;
    event.preventDefault();
    const by = Math.round(entry.played / 100) * (event.key === 'ArrowLeft' ? -1 : 1);
    const { from, to } = selection(entry);
    if (event.shiftKey) setSelection(entry, from, Math.max(from, Math.min(entry.played, to + by)));
    else setSelection(entry, Math.max(0, Math.min(to, from + by)), to);
  });
}

function setSelection(entry, from, to) {
  $(entry.element, '.sel-from').value = from;
  $(entry.element, '.sel-to').value = to;
  selectionChanged(entry);
}

let playing = null;

function play(entry) {
  if (!entry.audio) return;
  if (playing) playing.stop();
  const { from, to } = selection(entry);
  const context = new AudioContext();
  const source = context.createBufferSource();
  source.buffer = entry.audio;
  source.connect(context.destination);
  const rate = entry.audio.sampleRate;
  source.start(0, (entry.offset + from) / rate, Math.max(0, to - from) / rate);
  source.onended = () => context.close();
  playing = source;
}

function mark(entry) {
  const { from } = selection(entry);
  if (from > 0 && !entry.marks.includes(from)) entry.marks.push(from);
  entry.marks.sort((a, b) => a - b);
  drawMarks(entry);
}

function drawMarks(entry) {
  const rate = entry.audio ? entry.audio.sampleRate : (entry.info ? entry.info.sampling_rate : 1);
  $(entry.element, '.marks').textContent = entry.marks.length
    ? 'split at ' + entry.marks.map((m) => `${m} (${formatTime(m / rate)})`).join(', ')
    : 'no split points';
  drawWave(entry);
}

// ---- Edits: each runs one l3 command and offers what it wrote ----

// Shows a run's result: the command, what it printed, and a link for each file it wrote.
function showResult(container, result, before) {
  const item = document.createElement('div');
  item.className = 'result';
  const command = document.createElement('code');
  command.className = 'command';
  command.textContent = commandLine(result.args);
  item.append(command);
  const said = plainText(result.stdout + result.stderr).trim();
  if (result.code !== 0) {
    const error = document.createElement('p');
    error.className = 'error';
    error.setAttribute('role', 'alert');
    error.textContent = said || `exit code ${result.code}`;
    item.append(error);
  } else if (said) {
    const out = document.createElement('pre');
    out.textContent = said;
    item.append(out);
  }
  for (const output of result.outputs.sort((a, b) => a.name.localeCompare(b.name, 'en', { numeric: true }))) {
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([output.bytes], { type: 'audio/mpeg' }));
    link.download = output.name;
    link.className = 'download';
    link.textContent = `${output.name} (${formatBytes(output.bytes.byteLength)}` +
      (before ? `, was ${formatBytes(before)}` : '') + ')';
    item.append(link);
  }
  const time = document.createElement('span');
  time.className = 'seconds';
  time.textContent = `${result.seconds.toFixed(2)} s`;
  time.dataset.seconds = String(result.seconds);
  item.append(time);
  container.prepend(item);
}

async function edit(entry, args, label, before) {
  clearError(entry.element);
  const result = await runL3(args, [entry], label);
  showResult($(entry.element, '.results'), result, before);
  return result;
}

function repack(entry) {
  const li = entry.element;
  const args = ['repack'];
  if ($(li, '.huffman').checked) args.push('--huffman');
  const cbr = $(li, '.cbr').value;
  if (cbr) args.push('--cbr', cbr);
  args.push('/in/' + entry.name, '/out/' + stem(entry.name) + '.repacked.mp3');
  return edit(entry, args, 'repack ' + entry.name, entry.bytes.byteLength);
}

function gain(entry) {
  const steps = Math.trunc(Number($(entry.element, '.steps').value) || 0);
  const sign = steps > 0 ? '+' : '';
  return edit(entry, ['gain', '-g', String(steps), '/in/' + entry.name,
    '/out/' + stem(entry.name) + '.gain' + sign + steps + '.mp3'], 'gain ' + entry.name);
}

function undoGain(entry) {
  return edit(entry, ['gain', '--undo', '/in/' + entry.name, '/out/' + stem(entry.name) + '.undone.mp3'],
    'undo ' + entry.name);
}

function cut(entry) {
  const { from, to } = selection(entry);
  return edit(entry, ['cut', '--from-sample', String(from), '--to-sample', String(to),
    '/in/' + entry.name, '/out/' + stem(entry.name) + '.cut.mp3'], 'cut ' + entry.name);
}

function split(entry) {
  if (entry.marks.length === 0) {
    showError(entry.element, { stderr: 'Mark at least one split point first.', args: ['split'] });
    return undefined;
  }
  return edit(entry, ['split', '--samples', '--at', entry.marks.join(','), '/in/' + entry.name,
    '/out/' + stem(entry.name).replace(/%/g, '%%') + '.part%d.mp3'], 'split ' + entry.name);
}

async function join() {
  if (files.length < 2) return;
  const args = ['join', '-o', '/out/' + stem(files[0].name) + '.joined.mp3', ...files.map((f) => '/in/' + f.name)];
  const result = await runL3(args, files.slice(), 'join ' + files.length + ' files');
  showResult($(document, '#join-results'), result);
}

// ---- Adding files: the picker and drag and drop ----

$(document, '#files').addEventListener('change', (event) => {
  addFiles(Array.from(event.target.files));
  event.target.value = '';
});
$(document, '#join-run').onclick = join;
for (const type of ['dragenter', 'dragover']) {
  document.addEventListener(type, (event) => {
    event.preventDefault();
    $(document, '#drop').classList.add('over');
  });
}
document.addEventListener('dragleave', () => $(document, '#drop').classList.remove('over'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  $(document, '#drop').classList.remove('over');
  addFiles(Array.from(event.dataTransfer.files).filter((f) => /\.mp3$/i.test(f.name) || f.type === 'audio/mpeg'));
});
