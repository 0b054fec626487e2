// The WebAssembly l3 against the native one: every command line of the table runs through
// web/dist/worker.js (under node, sent the page's messages) and through the native l3 on
// the same streams; exit codes, standard output, standard error and every output file must
// be the same bytes.
//
//   node tests/web/module_test.mjs NATIVE_L3 DIST_DIR DATA_DIR
// Exits 77 (skipped) when DIST_DIR has no module: build it with the preset wasm (Debian
// packages emscripten and nodejs).

import { spawnSync } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync,
         writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { startWorker } from '../../web/module/node_worker.mjs';

const [nativeL3, dist, data] = process.argv.slice(2).map((p) => resolve(p));
if (!existsSync(join(dist, 'l3.wasm')) || !existsSync(join(dist, 'worker.js'))) {
  console.log(`skipped: no WebAssembly build in ${dist} (cmake --preset wasm && cmake --build ` +
              '--preset wasm; Debian packages emscripten nodejs)');
  process.exit(77);
}

// MPEG-1 and MPEG-2(.5), CBR and VBR, with CRC, with ID3v2 and ID3v1 tags.
const streams = ['lame/m1_44k_joint_cbr128.mp3', 'lame/m2_22k_joint_vbr5.mp3',
                 'lame/m1_44k_mono_id3v1v2.mp3', 'lame/m1_32k_stereo_vbr0_crc.mp3',
                 'lame/m25_11k_joint_cbr32_crc_notag.mp3', 'vectors/l3-nonstandard-id3v1-apetag.bit'];
// Each case's arguments for input file a (and b, the next stream): the page's style,
// inputs in /in/, outputs in /out/.
const cases = [
  ['info', '/in/a.mp3'],
  ['info', '--json', '/in/a.mp3'],
  ['check', '/in/a.mp3'],
  ['check', '--json', '/in/a.mp3', '/in/b.mp3'],
  ['repack', '/in/a.mp3', '/out/a.mp3'],
  ['repack', '--huffman', '/in/a.mp3', '/out/a.mp3'],
  ['repack', '--huffman', '-o', '/out', '/in/a.mp3', '/in/b.mp3'],
  ['gain', '-g', '2', '/in/a.mp3', '/out/a.mp3'],
  ['gain', '-g', '-3', '--no-tag', '/in/a.mp3', '/out/a.mp3'],
  ['cut', '--from', '0.25', '--to', '0.7', '/in/a.mp3', '/out/a.mp3'],
  ['cut', '--from-sample', '1000', '--length-samples', '5000', '/in/a.mp3', '/out/a.mp3'],
  ['split', '--at', '0.3,0.6', '/in/a.mp3', '/out/part-%02d.mp3'],
  ['join', '-o', '/out/ab.mp3', '/in/a.mp3', '/in/b.mp3'],
  ['cut', '--from', '9:00', '/in/a.mp3', '/out/a.mp3'],  // out of range: the message and code
];

// Every file under dir: name (relative) -> bytes.
function filesUnder(dir, prefix = '', found = new Map()) {
  for (const name of readdirSync(dir).sort()) {
    const path = join(dir, name);
    if (statSync(path).isDirectory()) filesUnder(path, prefix + name + '/', found);
    else found.set(prefix + name, readFileSync(path));
  }
  return found;
}

function runNative(args, inputs) {
  const root = mkdtempSync(join(tmpdir(), 'l3-module-test-'));
  try {
    mkdirSync(join(root, 'in'));
    mkdirSync(join(root, 'out'));
    for (const { name, bytes } of inputs) writeFileSync(join(root, 'in', name), bytes);
    const at = args.map((a) => a.replace(/^\/(in|out)\b/, `${root}/$1`).replace(/(,)\/(in|out)\b/g, `$1${root}/$2`));
    const run = spawnSync(nativeL3, at, { cwd: join(root, 'out'), encoding: 'buffer' });
    if (run.error) throw run.error;
    const text = (b) => b.toString('utf8').split(root).join('');
    return { code: run.status, stdout: text(run.stdout), stderr: text(run.stderr),
             outputs: filesUnder(join(root, 'out')) };
  } finally {
    rmSync(root, { recursive: true, force: true });
  }
}

const worker = await startWorker(dist);
let failures = 0, runs = 0;
for (let s = 0; s < streams.length; ++s) {
  const bytesOf = (k) => readFileSync(join(data, streams[k % streams.length]));
  const inputs = [{ name: 'a.mp3', bytes: bytesOf(s) }, { name: 'b.mp3', bytes: bytesOf(s + 1) }];
  for (const args of cases) {
    const used = inputs.filter((i) => args.includes('/in/' + i.name));
    const native = runNative(args, used);
    const web = await worker.run({ args, inputs: used.map(({ name, bytes }) => (
      { name, bytes: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length) })) });
    ++runs;
    const problems = [];
    if (web.code !== native.code) problems.push(`exit code ${web.code}, native ${native.code}`);
    if (web.stdout !== native.stdout) problems.push(`stdout differs:\n${web.stdout}\nnative:\n${native.stdout}`);
    if (web.stderr !== native.stderr) problems.push(`stderr differs:\n${web.stderr}\nnative:\n${native.stderr}`);
    const webOut = new Map(web.outputs.map((o) => [o.name, Buffer.from(o.bytes)]));
    const names = [...new Set([...webOut.keys(), ...native.outputs.keys()])].sort();
    for (const name of names) {
      const w = webOut.get(name), n = native.outputs.get(name);
      if (!w || !n) problems.push(`${name}: only in the ${w ? 'WebAssembly' : 'native'} run`);
      else if (!w.equals(n)) problems.push(`${name}: ${w.length} bytes differ from native ${n.length}`);
    }
    if (native.code === 0 && names.length === 0 && !['info', 'check'].includes(args[0]))
      problems.push('no output at all');
    if (problems.length) {
      ++failures;
      console.log(`FAIL ${streams[s]}: l3 ${args.join(' ')}\n  ${problems.join('\n  ')}`);
    }
  }
}
console.log(`${runs - failures} of ${runs} command lines alike in ${worker.version} (WebAssembly) and native`);
process.exit(failures ? 1 : 0);
