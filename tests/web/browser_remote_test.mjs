// The browser remote in a real browser: Debian's Chromium, headless, at a
// phone's size with touch, against the real pivaro program in line mode with
// its simulated presentation application and a Mosquitto broker of its own on
// a free loopback port. Every wait is bounded; the whole run has a watchdog.
//
//   node browser_remote_test.mjs --pivaro <path> [--shots <dir>]
//        [--chromium /usr/bin/chromium] [--mosquitto /usr/sbin/mosquitto]
//
// Screenshots of each state of the page go to --shots.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startBroker, startPivaro as startPivaroIn } from './pivaro_fixture.mjs';
import { check, loadPuppeteer, readOptions, shooter, sleep, startRun } from './test_run.mjs';

const puppeteer = await loadPuppeteer();

const options = readOptions({ chromium: '/usr/bin/chromium', mosquitto: '/usr/sbin/mosquitto', shots: '' },
  ['pivaro'], 'browser_remote_test.mjs --pivaro <path> [--shots <dir>]');
const shot = shooter(options.shots, 150);  // transitions settle
const pivaros = [];
const { cleanups, finish } = startRun(150000,
  () => pivaros.map((p) => '--- pivaro output ---\n' + p.lines.join('\n')).join('\n'));

const tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'pivaro-browser-'));
cleanups.push(() => fs.rmSync(tmp, { recursive: true, force: true }));

async function startPivaro(brokerPort) {
  const { pc, printed, address } = await startPivaroIn(options.pivaro, brokerPort, tmp, cleanups);
  pivaros.push(pc);
  const url = new URL(printed);
  check(/^\/r\/[0-9a-f]{32}$/.test(url.pathname), `pivaro prints a browser address (${printed})`);
  check(url.port >= 41204 && url.port <= 41213, 'the browser port is in 41204..41213');
  return { pc, address };
}

const phase = (page) => page.$eval('#app', (e) => e.dataset.phase);
async function waitPhase(page, wanted, limitMs = 10000) {
  await page.waitForFunction((w) => document.getElementById('app').dataset.phase === w,
    { timeout: limitMs }, wanted);
}
const text = (page, selector) => page.$eval(selector, (e) => e.textContent.trim());
async function tap(page, selector) {
  const box = await (await page.$(selector)).boundingBox();
  await page.touchscreen.tap(box.x + box.width / 2, box.y + box.height / 2);
}
// A finger drag across the slide on the pad, `steps` moves `stepMs` apart; the finger may
// stay down for a while at the end (pauseMs) before it lifts.
async function drag(page, from, to, steps, stepMs, pauseMs = 0, whileDown = null) {
  const box = await (await page.$('#slide')).boundingBox();
  const at = (f) => ({ x: box.x + f.x * box.width, y: box.y + f.y * box.height });
  const start = at(from);
  await page.touchscreen.touchStart(start.x, start.y);
  for (let i = 1; i <= steps; ++i) {
    const p = at({ x: from.x + (to.x - from.x) * i / steps, y: from.y + (to.y - from.y) * i / steps });
    await page.touchscreen.touchMove(p.x, p.y);
    await sleep(stepMs);
  }
  if (whileDown) await whileDown();
  await sleep(pauseMs);
  await page.touchscreen.touchEnd();
}

const phoneViewport = { width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true };

async function main() {
  const brokerPort = await startBroker(options.mosquitto, tmp, cleanups);
  let { pc, address } = await startPivaro(brokerPort);

  const browser = await puppeteer.launch({
    executablePath: options.chromium,
    headless: true,
    userDataDir: path.join(tmp, 'chromium-profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--lang=en-US'],
  });
  cleanups.push(() => browser.close());

  const page = await browser.newPage();
  await page.setViewport(phoneViewport);
  // The presenter's phone is in dark mode; the light theme is switched to below.
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
  // What the page sends, as Chromium saw it leave.
  const sent = [];
  const cdp = await page.createCDPSession();
  await cdp.send('Network.enable');
  cdp.on('Network.webSocketFrameSent', (e) => {
    try { sent.push(JSON.parse(e.response.payloadData)); } catch (err) { sent.push({ raw: e.response.payloadData }); }
  });
  const sentSince = (n, name) => sent.slice(n).filter((m) => m.msg === name);
  let socketsOpened = 0;
  cdp.on('Network.webSocketCreated', () => { socketsOpened += 1; });

  // Connects and shows the state.
  await page.goto(address, { waitUntil: 'load', timeout: 10000 });
  await waitPhase(page, 'connected');
  await pc.waitLine('state: ', 'Connected');
  check(sent.some((m) => m.msg === 'hello' && m.note === 1), 'the page greets with notes wanted');
  check((await text(page, '#showText')).includes('No presentation'), 'the page shows that nothing is open');
  await shot(page, '01-connected-nothing-open');

  pc.write('open');
  await page.waitForFunction(() => document.getElementById('showChip').textContent === 'Ready', { timeout: 5000 });
  check(true, 'opening a presentation on the PC shows "Ready" on the page');
  await shot(page, '02-presentation-open');

  // Start and next from the page turn the simulated show.
  let mark = pc.lines.length;
  let n = sent.length;
  await tap(page, '#showBtn');
  await pc.waitLine('show: ', 'show running, slide 1', 5000, mark);
  await page.waitForFunction(() => !document.getElementById('notes').classList.contains('empty'), { timeout: 5000 });
  const firstNotes = await text(page, '#notes');
  check(firstNotes.length > 0, `the page's start button starts the show and notes appear ("${firstNotes}")`);
  mark = pc.lines.length;
  await tap(page, '#nextBtn');
  await pc.waitLine('show: ', 'slide 2', 5000, mark);
  await page.waitForFunction((before) => document.getElementById('notes').textContent.trim() !== before,
    { timeout: 5000 }, firstNotes);
  check(true, `next turns the show to slide 2 and its notes replace the first ("${await text(page, '#notes')}")`);
  check((await text(page, '#showLabel')) === 'End show', 'the show button offers to end the running show');
  await sleep(1100);  // the timer shows a running second
  await shot(page, '03-show-running-notes');

  // The pen draws, erase clears.
  await tap(page, '#modePen');
  mark = pc.lines.length;
  n = sent.length;
  await drag(page, { x: 0.15, y: 0.7 }, { x: 0.85, y: 0.25 }, 24, 16, 600, () => shot(page, '05-pen-drawing'));
  await pc.waitLine('show: ', ', pen', 3000, mark);
  await sleep(300);  // the last frames' reports from Chromium
  check(sentSince(n, 'pen_down').length === 1 && sentSince(n, 'pen_move').length > 0 &&
    sentSince(n, 'pen_up').length === 1, 'a pen drag sends pen_down, pen_move and pen_up and the PC holds the pen');
  n = sent.length;
  await tap(page, '#eraseBtn');
  await sleep(300);
  check(sentSince(n, 'erase').length === 1, 'the erase button sends erase');
  await tap(page, '#modeLaser');

  // The laser, on the WPS-like application, which has no laser of its own:
  // the PC draws the dot, and the terminal's laser line follows the finger.
  await tap(page, '#showBtn');
  await page.waitForFunction(() => document.getElementById('showChip').textContent === 'Ready', { timeout: 5000 });
  pc.write('switch');
  pc.write('open');
  pc.write('start');
  await page.waitForFunction(() => document.getElementById('showChip').textContent === 'Live', { timeout: 5000 });
  mark = pc.lines.length;
  n = sent.length;
  await drag(page, { x: 0.2, y: 0.3 }, { x: 0.7, y: 0.6 }, 20, 16, 500, () => shot(page, '04-laser-drag'));
  const near = (line, x, y) => {
    const m = /x ([0-9.]+), y ([0-9.]+)/.exec(line);
    return m && Math.abs(Number(m[1]) - x) < 0.02 && Math.abs(Number(m[2]) - y) < 0.02;
  };
  const shown = await pc.waitLine('laser: ', 'show x', 3000, mark);
  check(near(shown.line, 0.2, 0.3), `the PC shows the dot where the finger went down (${shown.line})`);
  const hidden = await pc.waitLine('laser: ', 'hide', 3000, mark);
  const moved = pc.lines.slice(shown.index, hidden.index).filter((l) => l.startsWith('laser: move'));
  check(moved.length > 5 && near(moved[moved.length - 1], 0.7, 0.6),
    `the dot follows the finger (${moved.length} moves, last ${moved[moved.length - 1]})`);
  await sleep(300);
  check(true, 'a drag on the pad shows, moves and hides the laser on the PC');
  const laserDown = sentSince(n, 'laser_down');
  check(laserDown.length === 1 && Math.abs(laserDown[0].x - 0.2) < 0.02 && Math.abs(laserDown[0].y - 0.3) < 0.02,
    `laser_down carries the touch point as slide fractions (${JSON.stringify(laserDown[0])})`);
  const lastMove = sentSince(n, 'laser_move').pop();
  check(lastMove && Math.abs(lastMove.x - 0.7) < 0.02 && Math.abs(lastMove.y - 0.6) < 0.02,
    'the last laser_move is where the finger stopped');
  check(sentSince(n, 'laser_up').length === 1, 'lifting the finger sends laser_up');

  // Many pointer moves within one frame leave as one message.
  n = sent.length;
  await page.evaluate(() => {
    const pad = document.getElementById('pad');
    const r = pad.getBoundingClientRect();
    const ev = (type, f) => new PointerEvent(type, { pointerId: 7, bubbles: true, cancelable: true,
      clientX: r.left + f * r.width, clientY: r.top + f * r.height, pointerType: 'touch' });
    pad.dispatchEvent(ev('pointerdown', 0.1));
    for (let i = 0; i < 50; ++i) pad.dispatchEvent(ev('pointermove', 0.1 + i * 0.01));
  });
  await sleep(200);
  await page.evaluate(() => {
    const pad = document.getElementById('pad');
    pad.dispatchEvent(new PointerEvent('pointerup', { pointerId: 7, bubbles: true, pointerType: 'touch' }));
  });
  await sleep(200);
  const burst = sentSince(n, 'laser_move');
  check(burst.length === 1 && Math.abs(burst[0].x - 0.59) < 0.01,
    `fifty moves in one frame are sent as one move, the latest (${burst.length} sent)`);

  // A second browser is told busy; the first one keeps the show.
  const other = await browser.createBrowserContext();
  cleanups.push(() => other.close());
  const page2 = await other.newPage();
  await page2.setViewport(phoneViewport);
  await page2.goto(address, { waitUntil: 'load', timeout: 10000 });
  await waitPhase(page2, 'busy');
  check(true, 'a second browser is told that another phone is connected');
  await shot(page2, '06-second-phone-busy');
  mark = pc.lines.length;
  await tap(page, '#nextBtn');
  await pc.waitLine('show: ', 'WPS-like', 5000, mark);
  await pc.waitLine('show: ', 'slide 2', 5000, mark);
  check((await phase(page)) === 'connected', 'the first browser still drives the show');

  // The same page reloaded takes its own place over.
  await page.reload({ waitUntil: 'load', timeout: 10000 });
  await waitPhase(page, 'connected');
  check((await phase(page2)) === 'busy', 'a reloaded page is the same phone again, the other stays busy');
  await page.waitForFunction(() => document.getElementById('showChip').textContent === 'Live', { timeout: 5000 });
  check((await text(page, '#timer')) !== '00:00', 'the presentation timer keeps counting across a reload');

  // A duplicated tab carries the same page id. It takes the place over; the
  // original says so and stays put instead of taking it back in a loop. This
  // copy reads Chinese, so the overlay is seen in both languages.
  const clientId = await page.evaluate(() => sessionStorage.getItem('pivaro.client'));
  const twin = await browser.newPage();
  cleanups.push(() => twin.close());
  await twin.setViewport(phoneViewport);
  await twin.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
  await twin.evaluateOnNewDocument((id) => {
    sessionStorage.setItem('pivaro.client', id);
    Object.defineProperty(navigator, 'language', { get: () => 'zh-CN' });
  }, clientId);
  await twin.goto(address, { waitUntil: 'load', timeout: 10000 });
  await waitPhase(twin, 'connected');
  await waitPhase(page, 'replaced', 5000);
  check((await text(page, '#ovTitle')) === 'Opened in another tab' &&
    (await text(page, '#ovBtn')) === 'Take control here',
    'the original of a duplicated tab shows that it was opened in another tab');
  const opened = socketsOpened;
  await sleep(3000);
  check(socketsOpened === opened && (await phase(page)) === 'replaced' && (await phase(twin)) === 'connected',
    'the replaced tab does not reconnect by itself (3 s) and the duplicate keeps the show');
  // Touch input and painting go to the tab in front only.
  await page.bringToFront();
  await shot(page, '12-replaced-tab-dark');
  await page.evaluate(() => { document.documentElement.dataset.theme = 'light'; });
  await shot(page, '13-replaced-tab-light');
  await page.evaluate(() => { document.documentElement.dataset.theme = 'dark'; });
  await tap(page, '#ovBtn');
  await waitPhase(page, 'connected');
  await waitPhase(twin, 'replaced', 5000);
  check((await text(twin, '#ovTitle')) === '已在另一个标签页中打开',
    'taking control back in the original hands the overlay to the duplicate, in its language');
  await twin.bringToFront();
  await shot(twin, '14-replaced-tab-zh');
  await twin.close();
  await page.bringToFront();

  // Light theme and landscape.
  await tap(page, '#themeBtn');
  await shot(page, '07-light-theme');
  await page.setViewport({ ...phoneViewport, width: 844, height: 390 });
  await sleep(200);
  await shot(page, '08-landscape-light');
  await tap(page, '#themeBtn');
  await shot(page, '09-landscape-dark');
  await page.setViewport(phoneViewport);

  // Closing pivaro: the page shows it, and the new address works after a restart.
  const oldAddress = address;
  mark = pc.lines.length;
  pc.write('close');
  await pc.waitLine('close: ', '', 5000, mark);
  pc.write('yes');
  await waitPhase(page, 'quit');
  check(true, 'closing pivaro shows the page\'s closed state');
  check((await pc.waitExit(10000)) === 0, 'pivaro ends with 0');
  await shot(page, '10-pivaro-closed');

  ({ pc, address } = await startPivaro(brokerPort));
  check(address !== oldAddress, 'the restarted pivaro has a new address');
  // The busy page kept trying its old address; its token is gone.
  await waitPhase(page2, 'expired', 20000);
  check(true, 'a page with the old address learns that its link expired');
  await shot(page2, '11-link-expired');
  await page.goto(address, { waitUntil: 'load', timeout: 10000 });
  await waitPhase(page, 'connected');
  await pc.waitLine('state: ', 'Connected');
  check(true, 'the new address connects');

  pc.write('close');
  await pc.waitLine('close: ');
  pc.write('yes');
  check((await pc.waitExit(10000)) === 0, 'pivaro ends with 0 again');
}

finish(main);
