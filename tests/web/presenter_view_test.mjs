// The presenter view against the real pivaro program in line mode with its
// simulated presentation application: the slide pictures the PC exports, the
// page's "next" turning the picture, a tap at the slide's centre reaching the
// PC as its centre, and the overview going to a slide.
//
//   node presenter_view_test.mjs --pivaro <path> [--shots <dir>] [--readme-shot <file>]
//        [--chromium /usr/bin/chromium] [--mosquitto /usr/sbin/mosquitto]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startBroker, startPivaro } from './pivaro_fixture.mjs';
import { check, loadPuppeteer, readOptions, shooter, sleep, startRun } from './test_run.mjs';

const puppeteer = await loadPuppeteer();

const options = readOptions({ chromium: '/usr/bin/chromium', mosquitto: '/usr/sbin/mosquitto', shots: '' },
  ['pivaro'], 'presenter_view_test.mjs --pivaro <path> [--shots <dir>]');
const shot = shooter(options.shots, 200);
let pc = null;
const { cleanups, finish } = startRun(120000,
  () => (pc ? '--- pivaro output ---\n' + pc.lines.join('\n') : ''));

const phone = { width: 390, height: 844, deviceScaleFactor: 3, isMobile: true, hasTouch: true };
// Resolves, in the page, once the current picture shows slide n, with the
// milliseconds since the next button's last click (or since the call).
function watchSlide(page, n) {
  return page.evaluate((index) => new Promise((resolve) => {
    const img = document.getElementById('slideImg');
    const poll = () => {
      const src = img.getAttribute('src') || '';
      if (img.classList.contains('shown') && img.complete && img.naturalWidth > 0 && src.includes('/' + index + '?w=')) {
        resolve({ ms: performance.now() - (window.__clickedAt || window.__watchedAt), src,
          width: img.naturalWidth, height: img.naturalHeight });
      } else if (performance.now() - window.__watchedAt > 8000) {
        resolve(null);
      } else {
        requestAnimationFrame(poll);
      }
    };
    poll();
  }), n);
}
async function startWatch(page) {
  await page.evaluate(() => {
    window.__watchedAt = performance.now();
    window.__clickedAt = 0;
    document.getElementById('nextBtn').addEventListener('click', () => { window.__clickedAt = performance.now(); },
      { once: true, capture: true });
  });
}
async function tapBox(page, box, fx, fy) {
  await page.touchscreen.tap(box.x + fx * box.width, box.y + fy * box.height);
}

async function main() {
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'pivaro-presenter-'));
  cleanups.push(() => fs.rmSync(tmp, { recursive: true, force: true }));
  const brokerPort = await startBroker(options.mosquitto, tmp, cleanups);
  let address;
  ({ pc, address } = await startPivaro(options.pivaro, brokerPort, tmp, cleanups));

  const browser = await puppeteer.launch({
    executablePath: options.chromium, headless: true, userDataDir: path.join(tmp, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--lang=en-US'],
  });
  cleanups.push(() => browser.close());
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  await page.setViewport(phone);
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
  await page.goto(address, { waitUntil: 'load', timeout: 10000 });
  await page.waitForFunction(() => document.getElementById('app').dataset.phase === 'connected', { timeout: 10000 });

  // The WPS-like application has no laser of its own: the PC draws the dot
  // and line mode prints where it is.
  let mark = pc.lines.length;
  pc.write('switch');
  pc.write('open');
  pc.write('start');
  const started = await pc.waitLine('show: ', 'slide 1 of ', 8000, mark);
  const count = Number(/slide 1 of (\d+)/.exec(started.line)[1]);
  check(count >= 3, `the show runs at slide 1 of ${count} (${started.line})`);
  await page.evaluate(() => { window.__watchedAt = performance.now(); window.__clickedAt = 0; });
  const first = await watchSlide(page, 1);
  check(first !== null, `the page shows the PC's picture of slide 1 (${first && first.src})`);
  const aspect = await page.$eval('#slide', (e) => e.getBoundingClientRect().width / e.getBoundingClientRect().height);
  const asked = Number(/\?w=(\d+)/.exec(first.src)[1]);
  check(first.width === asked && Math.abs(first.height - first.width / aspect) <= 2,
    `the picture is ${first.width}x${first.height}, as wide as asked and of the slide's shape`);
  await page.waitForFunction(() => document.getElementById('nextImg').classList.contains('shown'), { timeout: 8000 });
  check(await page.$eval('#showText', (e) => e.textContent) === `Slide 1 of ${count}`, 'the page says "Slide 1 of n"');

  // "next" from the page: the PC turns the show and the picture follows.
  await sleep(500);  // the PC's prefetch of the neighbours
  await startWatch(page);
  mark = pc.lines.length;
  await page.tap('#nextBtn');
  const second = await watchSlide(page, 2);
  await pc.waitLine('show: ', `slide 2 of ${count}`, 5000, mark);
  check(second !== null && second.ms < 300, `"next" on the page shows slide 2's picture within 300 ms (${second && Math.round(second.ms)} ms)`);

  // A tap at the slide's centre is the centre of the PC's slide.
  await sleep(300);
  const slideBox = await (await page.$('#slide')).boundingBox();
  mark = pc.lines.length;
  await tapBox(page, slideBox, 0.5, 0.5);
  const shown = await pc.waitLine('laser: ', 'show', 3000, mark);
  const m = /x ([0-9.]+), y ([0-9.]+)/.exec(shown.line);
  check(m && Math.abs(Number(m[1]) - 0.5) < 0.01 && Math.abs(Number(m[2]) - 0.5) < 0.01,
    `a tap at the slide's centre shows the PC's dot at its centre (${shown.line})`);
  await pc.waitLine('laser: ', 'hide', 3000, mark);

  // The overview goes to a slide.
  await sleep(300);
  await page.tap('#overviewBtn');
  await page.waitForFunction(() => !document.getElementById('sheet').hidden &&
    document.querySelectorAll('#grid .tile img.shown').length >= 3, { timeout: 8000 });
  await sleep(300);
  await shot(page, 'presenter-real-overview');
  const target = count;
  const tile = await (await page.$(`#grid .tile[data-n="${target}"]`));
  await tile.scrollIntoView();
  const tileBox = await tile.boundingBox();
  mark = pc.lines.length;
  await tapBox(page, tileBox, 0.5, 0.5);
  await pc.waitLine('show: ', `slide ${target} of ${count}`, 5000, mark);
  const last = await watchSlide(page, target);
  check(last !== null, `a tap on tile ${target} of the overview takes the show there and shows its picture`);

  // Back to slide 2 for the pictures of the README and the shots.
  mark = pc.lines.length;
  await page.tap('#firstBtn');
  await pc.waitLine('show: ', `slide 1 of ${count}`, 5000, mark);
  await page.tap('#nextBtn');
  await watchSlide(page, 2);
  await page.waitForFunction(() => document.getElementById('nextImg').classList.contains('shown'), { timeout: 8000 });
  await shot(page, 'presenter-real-portrait');
  if (options['readme-shot']) {
    await page.setViewport({ ...phone, deviceScaleFactor: 1 });
    await page.waitForFunction(() => document.getElementById('slideImg').classList.contains('shown'), { timeout: 8000 });
    await sleep(600);
    await page.screenshot({ path: options['readme-shot'] });
    const size = fs.statSync(options['readme-shot']).size;
    console.log(`README picture: ${options['readme-shot']} (${size} bytes)`);
  }
  check(errors.length === 0, `no script or policy errors on the page (${errors.join(' | ')})`);

  mark = pc.lines.length;
  pc.write('close');
  await pc.waitLine('close: ', '', 5000, mark);
  pc.write('yes');
  check((await pc.waitExit(10000)) === 0, 'pivaro ends with 0');
}


finish(main);
