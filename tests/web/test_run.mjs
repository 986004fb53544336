// What every browser test script shares: puppeteer-core from tests/web's
// node_modules, "--name value" options, a watchdog over the whole run,
// clean-ups that run newest first on every way out, "ok - ..." checks and
// screenshots into the --shots folder.
import fs from 'node:fs';
import path from 'node:path';

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function loadPuppeteer() {
  try {
    return (await import('puppeteer-core')).default;
  } catch (e) {
    console.error('puppeteer-core is missing: run tools/deps.sh (npm ci in tests/web)');
    process.exit(1);
  }
}

// The command line's "--name value" pairs over `defaults`; exits with 2 and
// `usage` when an option named in `required` is missing. The --shots folder
// is made when one is given.
export function readOptions(defaults, required, usage) {
  const options = { ...defaults };
  for (let i = 2; i < process.argv.length; i += 2) {
    options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
  }
  if (required.some((name) => !options[name])) {
    console.error('usage: ' + usage);
    process.exit(2);
  }
  if (options.shots) fs.mkdirSync(options.shots, { recursive: true });
  return options;
}

export function check(condition, what) {
  if (!condition) throw new Error(what);
  console.log('ok - ' + what);
}

// A screenshot of the page as `name`.png in `folder` (none without a
// folder), taken once transitions had `settleMs` to end.
export function shooter(folder, settleMs) {
  return async (page, name) => {
    if (!folder) return;
    await sleep(settleMs);
    await page.screenshot({ path: path.join(folder, name + '.png') });
  };
}

// One run of a test script, bounded by `limitMs`. `cleanups` takes what must
// be undone; `diagnostics` says what to print beside a failure (the
// program's output). finish(main) ends the process: 0 after main, 1 after a
// failure or the watchdog.
export function startRun(limitMs, diagnostics = () => '') {
  const cleanups = [];
  let watchdog = null;
  async function cleanup() {
    clearTimeout(watchdog);
    for (const f of cleanups.reverse()) {
      try { await f(); } catch (e) { /* best effort */ }
    }
  }
  async function fail(why) {
    console.error('FAIL: ' + why);
    const more = diagnostics();
    if (more) console.error(more);
    await cleanup();
    process.exit(1);
  }
  watchdog = setTimeout(() => fail(`the whole run took longer than ${limitMs / 1000} s`), limitMs);
  async function finish(main) {
    try {
      await main();
      await cleanup();
      console.log('PASS');
      process.exit(0);
    } catch (e) {
      await fail(e && e.stack ? e.stack : String(e));
    }
  }
  return { cleanups, finish };
}
