// The presenter view of the browser remote page in headless Chromium at a
// phone's size with touch, against a stand-in for the PC (harness.mjs): the
// slide pictures, the pointer's place on a letterboxed slide, the phone's
// ink, the overview and the fallbacks when the PC has no pictures.
//
//   node presenter_page_test.mjs --page <build>/web/remote.html
//        [--chromium /usr/bin/chromium] [--shots <dir>]
// The page is the one the program serves: web/remote.html with its style and
// scripts put in line by the build (web/remote.html itself names them as
// separate files, which the page's policy would not load).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startStandIn } from './harness.mjs';
import { check, loadPuppeteer, readOptions, shooter, sleep, startRun } from './test_run.mjs';

const puppeteer = await loadPuppeteer();

const options = readOptions({ chromium: '/usr/bin/chromium', shots: '', page: '' }, ['page'],
  'presenter_page_test.mjs --page <build>/web/remote.html [--chromium <path>] [--shots <dir>]');
if (!fs.existsSync(options.page)) {
  console.error('FAIL: --page names no file: pass the assembled page, <build>/web/remote.html (build first)');
  process.exit(1);
}
const shot = shooter(options.shots, 250);
const { cleanups, finish } = startRun(120000);

const near = (a, b, within = 0.003) => typeof a === 'number' && Math.abs(a - b) <= within;

const portrait = { width: 390, height: 844, deviceScaleFactor: 3, isMobile: true, hasTouch: true };
const landscape = { ...portrait, width: 844, height: 390 };
const slide = (index, count, more = {}) =>
  ({ index, count, aspect: 1.7778, revision: 'k3j9x0a1b2', images: true, ...more });
const NOTES = 'Welcome everyone. Three things today: where we are, what changed since spring, and what we ask of you.';

// What the page shows: both pictures (src, loaded, visible), boxes and texts.
const view = (page) => page.evaluate(() => {
  const img = (id) => {
    const e = document.getElementById(id);
    return { src: e.getAttribute('src') || '', ok: e.complete && e.naturalWidth > 0 && e.classList.contains('shown') };
  };
  const box = (id) => {
    const r = document.getElementById(id).getBoundingClientRect();
    return { x: r.left, y: r.top, w: r.width, h: r.height };
  };
  return { current: img('slideImg'), next: img('nextImg'), slide: box('slide'), pad: box('pad'),
    thumb: box('nextThumb'), blank: document.getElementById('slide').classList.contains('blank'),
    text: document.getElementById('showText').textContent, nextText: document.getElementById('upnextText').textContent,
    nextNum: document.getElementById('nextNum').textContent,
    ratioShown: !document.getElementById('ratioBtn').hidden, upnextShown: !document.getElementById('upnext').hidden };
});
const widthFor = (css) => Math.min(2048, Math.ceil((css * 3) / 16) * 16);
const shows = (img, index) => img.ok && new RegExp(`/slide/[0-9a-z]+/${index}\\?w=`).test(img.src);
// Whether the ink canvas holds any drawn pixel.
const inked = (page) => page.evaluate(() => {
  const c = document.getElementById('ink');
  const data = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
  for (let i = 3; i < data.length; i += 4) if (data[i]) return true;
  return false;
});
async function tapAt(page, box, fx, fy) {
  await page.touchscreen.tap(box.x + fx * box.w, box.y + fy * box.h);
  await sleep(120);
}

async function main() {
  const standIn = await startStandIn({ page: options.page });
  cleanups.push(() => standIn.close());
  const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'pivaro-page-'));
  cleanups.push(() => fs.rmSync(tmp, { recursive: true, force: true }));
  const browser = await puppeteer.launch({
    executablePath: options.chromium, headless: true, userDataDir: path.join(tmp, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--lang=en-US'],
  });
  cleanups.push(() => browser.close());
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  // Pictures the stand-in refuses on purpose are logged as failed loads.
  page.on('console', (m) => {
    if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) errors.push(m.text());
  });
  await page.setViewport(portrait);
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);

  // The show runs at slide 3 of 12 when the page connects.
  standIn.setShow({ state: 3, slide: slide(3, 12), note: NOTES });
  await page.goto(standIn.url, { waitUntil: 'load', timeout: 10000 });
  await page.waitForFunction(() => document.getElementById('app').dataset.phase === 'connected', { timeout: 10000 });
  await page.waitForFunction(() => ['slideImg', 'nextImg'].every((id) => {
    const e = document.getElementById(id);
    return e.classList.contains('shown') && e.naturalWidth > 0;
  }), { timeout: 5000 });
  let v = await view(page);
  check(shows(v.current, 3) && shows(v.next, 4), 'the current slide (3) and the next (4) show as pictures');
  check(v.text === 'Slide 3 of 12' && v.nextText === 'Slide 4', `the page says where the show is ("${v.text}", next "${v.nextText}")`);
  check(v.current.src.endsWith('?w=' + widthFor(v.slide.w)) && v.next.src.endsWith('?w=' + widthFor(v.thumb.w)),
    `pictures are asked for at their CSS width x 3, rounded up to 16 (${v.current.src} for ${v.slide.w}, ${v.next.src} for ${v.thumb.w})`);
  check(/^\d{1,2}:\d{2}/.test(await page.$eval('#clock', (e) => e.textContent)), 'the clock shows the time');
  await sleep(1100);
  await shot(page, 'presenter-portrait-dark');

  // A new slide changes both pictures within 300 ms of the state's arrival.
  const changed = async (index) => {
    await page.evaluate((n) => {
      const start = performance.now();
      window.__changed = new Promise((resolve) => {
        const poll = () => {
          const ok = (id, k) => {
            const e = document.getElementById(id);
            return e.classList.contains('shown') && e.complete && e.naturalWidth > 0 &&
              (e.getAttribute('src') || '').includes('/' + k + '?w=');
          };
          if (ok('slideImg', n) && ok('nextImg', n + 1)) resolve(performance.now() - start);
          else if (performance.now() - start > 3000) resolve(-1);
          else requestAnimationFrame(poll);
        };
        poll();
      });
    }, index);
    standIn.setShow({ state: 3, slide: slide(index, 12), note: 'Notes of slide ' + index });
    return page.evaluate(() => window.__changed);
  };
  const took = await changed(4);
  check(took >= 0 && took < 300, `a state with slide 4 shows slide 4 and its successor within 300 ms (${Math.round(took)} ms)`);

  // Laser taps map to the slide; the pen draws on the phone's picture too,
  // and its ink goes with erase and with the slide.
  const taps = async (box, points) => {
    const n = standIn.received.length;
    for (const [fx, fy] of points) await tapAt(page, box, fx, fy);
    await sleep(200);
    return standIn.receivedSince(n, 'laser_down');
  };
  v = await view(page);
  let downs = await taps(v.slide, [[0.5, 0.5], [0.2, 0.75]]);
  check(downs.length === 2 && near(downs[0].x, 0.5) && near(downs[0].y, 0.5) && near(downs[1].x, 0.2) &&
    near(downs[1].y, 0.75), `taps on the slide send its fractions (${JSON.stringify(downs)})`);

  await page.tap('#modePen');
  const drag = async (box, from, to) => {
    await page.touchscreen.touchStart(box.x + from[0] * box.w, box.y + from[1] * box.h);
    for (let i = 1; i <= 10; ++i) {
      await page.touchscreen.touchMove(box.x + (from[0] + (to[0] - from[0]) * i / 10) * box.w,
        box.y + (from[1] + (to[1] - from[1]) * i / 10) * box.h);
      await sleep(16);
    }
    await page.touchscreen.touchEnd();
    await sleep(150);
  };
  await drag(v.slide, [0.15, 0.7], [0.85, 0.3]);
  const drewFirst = await inked(page);
  await sleep(400);
  await page.tap('#eraseBtn');
  await sleep(100);
  const erased = !(await inked(page));
  await drag(v.slide, [0.2, 0.2], [0.8, 0.8]);
  await shot(page, 'presenter-pen-ink');
  const drewAgain = await inked(page);
  await changed(5);
  const wiped = !(await inked(page));
  check(drewFirst && erased && drewAgain && wiped, 'a pen stroke draws on the phone\'s slide, erase wipes it, ' +
    `and so does the next slide (drew ${drewFirst}, erased ${erased}, drew ${drewAgain}, wiped ${wiped})`);
  await page.tap('#modeLaser');

  // A portrait slide on a portrait phone: the pad is wider than the slide.
  standIn.setShow({ state: 3, slide: slide(2, 12, { aspect: 0.75, revision: 'p0rtra1t00' }) });
  await page.waitForFunction(() => document.getElementById('slideImg').getAttribute('src').includes('p0rtra1t00'),
    { timeout: 3000 });
  await sleep(200);
  v = await view(page);
  check(v.slide.w < v.pad.w - 40 && near(v.slide.w / v.slide.h, 0.75, 0.01),
    `a 3:4 slide is letterboxed in the pad (${Math.round(v.slide.w)}x${Math.round(v.slide.h)} in ${Math.round(v.pad.w)}x${Math.round(v.pad.h)})`);
  downs = await taps(v.slide, [[0.5, 0.5], [0.1, 0.9]]);
  check(downs.length === 2 && near(downs[0].x, 0.5) && near(downs[0].y, 0.5) && near(downs[1].x, 0.1) &&
    near(downs[1].y, 0.9), `taps on the letterboxed slide send the slide's fractions (${JSON.stringify(downs)})`);
  downs = await taps(v.pad, [[0.02, 0.5], [0.98, 0.2]]);
  check(downs.length === 0, 'a tap beside the slide, on the pad\'s spare room, sends nothing');
  let n = standIn.received.length;
  await drag(v.slide, [0.5, 0.5], [1.3, 0.5]);
  const moves = standIn.receivedSince(n, 'laser_move');
  check(moves.length > 0 && moves[moves.length - 1].x === 1 && near(moves[moves.length - 1].y, 0.5),
    `a finger that leaves the slide keeps the pointer on its edge (${JSON.stringify(moves[moves.length - 1])})`);

  // Landscape: the slide fits the left column's height, letterboxed across.
  standIn.setShow({ state: 3, slide: slide(5, 12), note: NOTES });
  await page.setViewport(landscape);
  await sleep(400);
  v = await view(page);
  check(v.slide.h < v.pad.h - 4 || v.slide.w < v.pad.w - 4, 'in landscape the 16:9 slide is letterboxed in the pad');
  downs = await taps(v.slide, [[0.5, 0.5], [0.8, 0.15]]);
  check(downs.length === 2 && near(downs[0].x, 0.5) && near(downs[0].y, 0.5) && near(downs[1].x, 0.8) &&
    near(downs[1].y, 0.15), `landscape taps send the slide's fractions (${JSON.stringify(downs)})`);
  await page.waitForFunction(() => document.getElementById('slideImg').classList.contains('shown'), { timeout: 3000 });
  await shot(page, 'presenter-landscape-dark');
  await page.setViewport(portrait);
  await sleep(300);

  // The overview loads its thumbnails as they come into view; a tap goes there.
  standIn.setShow({ state: 3, slide: slide(5, 200), note: NOTES });
  await sleep(200);
  let asked = standIn.pictures.length;
  await page.tap('#overviewBtn');
  await page.waitForFunction(() => !document.getElementById('sheet').hidden &&
    document.querySelectorAll('#grid .tile img.shown').length >= 6, { timeout: 5000 });
  await sleep(300);
  const tileWidth = await page.$eval('#grid .tile .thumb', (e) => e.getBoundingClientRect().width);
  const first = standIn.pictures.slice(asked).filter((p) => p.w === widthFor(tileWidth));
  check(await page.$$eval('#grid .tile', (t) => t.length) === 200 && first.length >= 6 && first.length < 60,
    `the overview has 200 tiles and asks only for those near view (${first.length} at w=${widthFor(tileWidth)})`);
  await shot(page, 'presenter-overview-dark');
  await page.$eval('#grid', (g) => { g.scrollTop = g.scrollHeight; });
  await page.waitForFunction(() => document.querySelector('#grid .tile:last-child img.shown'), { timeout: 5000 });
  check(standIn.pictures.slice(asked).some((p) => p.index === 200), 'scrolling down loads the last tiles');
  await page.$eval('#grid', (g) => { g.scrollTop = 0; });
  await sleep(200);
  n = standIn.received.length;
  const seven = await (await page.$('#grid .tile[data-n="7"]')).boundingBox();
  await page.touchscreen.tap(seven.x + seven.width / 2, seven.y + seven.height / 2);
  await sleep(200);
  const gotos = standIn.receivedSince(n, 'goto');
  check(gotos.length === 1 && gotos[0].slide === 7 && await page.$eval('#sheet', (e) => e.hidden),
    `a tap on tile 7 sends ${JSON.stringify(gotos[0])} and closes the overview`);

  // Without pictures: the blank grid at the slide's shape, numbers for thumbnails.
  asked = standIn.pictures.length;
  standIn.setShow({ state: 3, slide: slide(7, 200, { aspect: 1.3333, images: false }), note: NOTES });
  await sleep(300);
  v = await view(page);
  check(v.blank && !v.current.src && !v.next.src && v.nextNum === '8' && near(v.slide.w / v.slide.h, 1.3333, 0.01) &&
    !v.ratioShown && standIn.pictures.length === asked,
  'with images false the pad is the blank 4:3 grid, the next slide a number, and nothing is asked for');
  await shot(page, 'presenter-no-pictures');

  // A picture the PC cannot give (503) leaves the blank grid; it is asked for
  // again a little later and shows once the PC has it.
  standIn.pictureStatus = 503;
  standIn.setShow({ state: 3, slide: slide(9, 12), note: NOTES });
  await page.waitForFunction(() => document.getElementById('slideImg').getAttribute('src'), { timeout: 3000 });
  await sleep(500);
  v = await view(page);
  check(v.blank && !v.current.ok, 'a picture answered 503 leaves the blank grid');
  standIn.pictureStatus = 200;
  await page.waitForFunction(() => document.getElementById('slideImg').classList.contains('shown'), { timeout: 8000 });
  check(!(await view(page)).blank, 'the picture is asked for again after a while and then shows');

  // An older PC sends no slide: today's pad with its 16:9 / 4:3 switch.
  standIn.setShow({ state: 3 });
  await sleep(300);
  v = await view(page);
  check(v.blank && v.ratioShown && !v.upnextShown && v.text === 'Slide show running' && near(v.slide.w / v.slide.h, 16 / 9, 0.01),
    'without a slide object the pad is the blank 16:9 grid with the shape switch');
  await page.tap('#ratioBtn');
  await sleep(200);
  v = await view(page);
  check(near(v.slide.w / v.slide.h, 4 / 3, 0.01), 'the shape switch still turns the pad to 4:3');
  await page.tap('#ratioBtn');

  // A slide object the page cannot use is no slide object, or a slide without
  // pictures; either way nothing is asked for and the pad is the blank grid.
  const unusable = [
    ['an index past the count', { index: 13, count: 12 }, { upnext: false, ratio: true }],
    ['a fractional index', { index: 1.5 }, { upnext: false, ratio: true }],
    ['a negative index', { index: -1 }, { upnext: false, ratio: true }],
    ['an absurd count', { count: 1e9 }, { upnext: false, ratio: true }],
    ['a revision that is a path', { revision: '../../ws' }, { upnext: true, ratio: false }],
    ['a revision with capitals', { revision: 'K3J9X0A1B2' }, { upnext: true, ratio: false }],
    ['an aspect that is text', { aspect: 'wide' }, { upnext: true, ratio: true }],
    ['an aspect of zero', { aspect: 0 }, { upnext: true, ratio: true }],
    ['images as text', { images: 'yes' }, { upnext: true, ratio: false }],
  ];
  for (const [what, change, expect] of unusable) {
    asked = standIn.pictures.length;
    standIn.setShow({ state: 3, slide: { ...slide(2, 12), ...change } });
    await sleep(150);
    v = await view(page);
    check(v.blank && !v.current.src && !v.next.src && v.upnextShown === expect.upnext &&
      v.ratioShown === expect.ratio && (!expect.upnext || v.nextNum === '3') && standIn.pictures.length === asked,
    `${what}: blank grid, nothing asked for, ${expect.upnext ? 'next slide by number' : 'no next slide'}, ` +
      `${expect.ratio ? 'with' : 'without'} the shape switch`);
  }
  standIn.setShow({ state: 3, slide: 'slide 2' });
  await sleep(150);
  check((await view(page)).text === 'Slide show running', 'a slide that is not an object leaves today\'s page');

  // Light theme, portrait and landscape.
  standIn.setShow({ state: 3, slide: slide(3, 12), note: NOTES });
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);
  await page.reload({ waitUntil: 'load', timeout: 10000 });
  await page.waitForFunction(() => document.documentElement.dataset.theme === 'light' &&
    document.getElementById('slideImg').classList.contains('shown') &&
    document.getElementById('nextImg').classList.contains('shown'), { timeout: 5000 });
  await shot(page, 'presenter-portrait-light');
  await page.setViewport(landscape);
  await page.waitForFunction(() => document.getElementById('slideImg').classList.contains('shown'), { timeout: 3000 });
  await shot(page, 'presenter-landscape-light');

  check(errors.length === 0, `no script or policy errors on the page (${errors.join(' | ')})`);
}

finish(main);
