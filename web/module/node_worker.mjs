// web/dist/worker.js under node, as a browser runs it: the worker's script and l3.js in a
// context of their own that has what a worker has (importScripts, postMessage, fetch of
// files beside it), so that tests and benchmarks send it the page's very messages.
//
//   const worker = await startWorker('web/dist');   // resolves on {ready}
//   const reply = await worker.run({args, inputs}); // the {id, code, stdout, ...} reply
//   worker.progress                                 // every {id, progress} so far

import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import vm from 'node:vm';

export async function startWorker(dist) {
  const messages = [];
  let notify = () => {};
  const context = {
    console, performance, setTimeout, clearTimeout, TextDecoder, TextEncoder, URL,
    WebAssembly, Response,
    location: { href: 'http://127.0.0.1/worker.js' },
    fetch: async (url) => new Response(readFileSync(join(dist, String(url).split('/').pop())),
                                       { headers: { 'Content-Type': 'application/wasm' } }),
    importScripts: (...names) => {
      for (const name of names)
        vm.runInContext(readFileSync(join(dist, name), 'utf8'), context, { filename: name });
    },
    postMessage: (message) => { messages.push(message); notify(); },
  };
  context.self = context;
  vm.createContext(context);
  context.importScripts('worker.js');

  // The first message that matches, once it has come.
  const next = (match) => new Promise((resolve, reject) => {
    const look = () => {
      const found = messages.find(match);
      if (found) { notify = () => {}; resolve(found); return; }
      const fatal = messages.find((m) => m.fatal);
      if (fatal) reject(new Error(fatal.fatal));
    };
    notify = look;
    look();
  });
  const ready = await next((m) => m.ready);
  let lastId = 0;
  return {
    version: ready.version,
    get progress() { return messages.filter((m) => m.progress); },
    async run({ args, inputs = [] }) {
      const id = ++lastId;
      const reply = next((m) => m.id === id && 'code' in m);
      context.onmessage({ data: { id, args, inputs } });
      return reply;
    },
  };
}
