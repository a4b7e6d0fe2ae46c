'use strict';
// How free the event loop stays during a scan: a 1 ms interval timer runs
// while a cache of FILES files is scanned, first with scanCacheAsync(), then
// with scanCache() on the main thread for comparison, in the same run.
//
//   node bench/event-loop.js [FILES] [RUNS]      (defaults: 10000 files, 5 runs)
//
// The library is found as by load() (set KTCACHE_LIBRARY to the build).

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { performance } = require('node:perf_hooks');
const ktcache = require('..');

const FILES = Number(process.argv[2] || 10000);
const RUNS = Number(process.argv[3] || 5);

function makeCache(count) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ktcache-bench-'));
  const track = Buffer.alloc(1100);
  track.write('ftypM4A ', 4, 'latin1');
  for (let i = 0; i < count; i++) fs.writeFileSync(path.join(dir, `Artist ${i % 97} - Track ${i}.m4a`), track);
  return dir;
}

// Runs `scan` while a 1 ms interval ticks; the gaps count from the start.
async function underTimer(scan) {
  const ticks = [];
  const timer = setInterval(() => ticks.push(performance.now()), 1);
  await new Promise((resolve) => setTimeout(resolve, 20)); // the timer is running
  const start = performance.now();
  ticks.length = 0;
  const report = await scan();
  const end = performance.now();
  clearInterval(timer);
  let longestGap = 0;
  let last = start;
  for (const tick of ticks.filter((t) => t <= end)) {
    longestGap = Math.max(longestGap, tick - last);
    last = tick;
  }
  longestGap = Math.max(longestGap, end - last);
  return { ms: end - start, ticks: ticks.filter((t) => t <= end).length, longestGap, count: report.validCount };
}

async function main() {
  const dir = makeCache(FILES);
  try {
    await ktcache.scanCacheAsync(dir); // workers started, directory cached
    const row = (name, r) =>
      `${name.padEnd(14)} scan ${r.ms.toFixed(1).padStart(7)} ms  ticks ${String(r.ticks).padStart(5)}  ` +
      `longest gap ${r.longestGap.toFixed(1).padStart(6)} ms  files ${r.count}`;
    console.log(`${FILES} files, ${RUNS} runs, Node ${process.version}, ${os.cpus().length} cores`);
    for (let run = 0; run < RUNS; run++) {
      console.log(row('scanCacheAsync', await underTimer(() => ktcache.scanCacheAsync(dir))));
      console.log(row('scanCache', await underTimer(async () => ktcache.scanCache(dir))));
    }
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main();
