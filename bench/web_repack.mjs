// l3 repack (and repack --huffman) in the WebAssembly module, through web/dist/worker.js
// under node as the page sends it (the input written to the module's files, the output read
// back), against the native l3 on the same 5 MB LAME stream: median elapsed seconds of 5 runs
// each and their ratio, the native l3 also on one processor (taskset -c 0; the module has
// one thread), and the module's first run apart (its code compiled, its memory grown). The
// stream is made here (sox, lame) and removed after. The target in the browser is at most 3
// times the native time; tests/web/ measures Chromium.
//
//   node bench/web_repack.mjs [BUILD_DIR] [DIST_DIR]     (defaults build/release, web/dist)

import { execFileSync, spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { startWorker } from '../web/module/node_worker.mjs';

const build = resolve(process.argv[2] || 'build/release');
const dist = resolve(process.argv[3] || 'web/dist');
const l3 = join(build, 'bin', 'l3');
const work = mkdtempSync(join(tmpdir(), 'web-repack-bench-'));
const median = (times) => times.sort((a, b) => a - b)[Math.floor(times.length / 2)];
const seconds = (from) => Number(process.hrtime.bigint() - from) / 1e9;

try {
  // About 5 MB at 128 kbit/s: 330 seconds of three tones under noise, joint stereo.
  const wav = join(work, 'signal.wav'), mp3 = join(work, 'in.mp3');
  execFileSync('sox', ['-n', '-r', '44100', '-c', '2', '-b', '16', wav, 'synth', '330',
                       'sine', '220', 'sine', '331', 'pinknoise', 'remix', '1,3', '2,3', 'gain', '-6']);
  execFileSync('lame', ['--quiet', '-b', '128', wav, mp3]);
  const input = readFileSync(mp3);
  console.log(`stream: ${(input.length / 1e6).toFixed(2)} MB, LAME CBR 128 kbit/s, 330 s`);

  const worker = await startWorker(dist);
  for (const options of [[], ['--huffman']]) {
    const native = [], oneCpu = [], web = [];
    for (let i = 0; i < 10; ++i) {
      rmSync(join(work, 'out.mp3'), { force: true });
      const line = ['repack', ...options, mp3, join(work, 'out.mp3')];
      const start = process.hrtime.bigint();
      const run = i % 2 ? spawnSync('taskset', ['-c', '0', l3, ...line]) : spawnSync(l3, line);
      (i % 2 ? oneCpu : native).push(seconds(start));
      if (run.status !== 0) throw new Error(`native l3 repack: ${run.stderr}`);
    }
    const expected = readFileSync(join(work, 'out.mp3'));
    for (let i = 0; i < 6; ++i) {
      const bytes = input.buffer.slice(input.byteOffset, input.byteOffset + input.length);
      const start = process.hrtime.bigint();
      const reply = await worker.run({ args: ['repack', ...options, '/in/in.mp3', '/out/out.mp3'],
                                       inputs: [{ name: 'in.mp3', bytes }] });
      web.push(seconds(start));
      if (reply.code !== 0) throw new Error(`WebAssembly l3 repack: ${reply.stderr}`);
      if (!Buffer.from(reply.outputs[0].bytes).equals(expected))
        throw new Error('the WebAssembly output differs from the native one');
    }
    const first = web.shift();
    const n = median(native), one = median(oneCpu), w = median(web);
    console.log(`repack ${options.join(' ') || '(default)'}: native ${n.toFixed(3)} s ` +
                `(one processor ${one.toFixed(3)} s), WebAssembly under node ${w.toFixed(3)} s ` +
                `(first run ${first.toFixed(3)} s): ratio ${(w / n).toFixed(2)} ` +
                `(one processor ${(w / one).toFixed(2)}, first run ${(first / n).toFixed(2)})`);
  }
} finally {
  rmSync(work, { recursive: true, force: true });
}
