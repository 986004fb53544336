// What every part of the browser remote shares: the texts in English and
// Chinese, the settings the phone keeps, this tab's id and the page's token,
// the state of the connection and of the show, the theme and the notes size.
// The parts are classic scripts sharing one global scope, run in the order
// remote.html names them; this one comes first.
'use strict';

const $ = (id) => document.getElementById(id);
const BUSY = '您的电脑已与其他手机建立连接。';
const TEXT = {
  en: {
    connecting: 'Connecting…', connected: 'Connected', reconnecting: 'Reconnecting…',
    busy: 'Another phone is connected', ended: 'Disconnected', quit: 'Pivaro closed',
    expired: 'Link expired', left: 'Disconnected', replaced: 'Open in another tab',
    ovConnecting: ['Connecting to your PC', 'Pivaro on the PC answers in a moment.'],
    ovReconnecting: ['Connection lost', 'Trying again by itself. Keep this page open and the phone on the same network as the PC.'],
    ovBusy: ['Another phone is in control', 'Only one phone drives the show at a time. Disconnect the other phone in Pivaro, then try again.', 'Try again'],
    ovEnded: ['Disconnected by the PC', 'The presenter ended this connection. Scan the new browser code that Pivaro shows to connect again.', 'Try again'],
    ovQuit: ['Pivaro was closed', 'Pivaro no longer runs on the PC. When it runs again, scan its new browser code.', 'Try again'],
    ovExpired: ['This link has expired', 'Pivaro makes a new code for every pairing. Scan the browser code on the PC again.'],
    ovLeft: ['You disconnected', 'This phone no longer drives the show.', 'Connect again'],
    ovReplaced: ['Opened in another tab', 'This remote is open in another tab or window, which drives the show now.', 'Take control here'],
    off: 'Off', ready: 'Ready', live: 'Live',
    noApp: 'No presentation is open on the PC', open: 'Presentation open, not showing',
    running: 'Slide show running', waiting: 'Waiting for the PC',
    notesTitle: 'Notes', notesIdle: 'Notes of the current slide appear here during the show.',
    notesNone: 'No notes on this slide.', start: 'Start show', stop: 'End show',
    padIdle: 'Start the show, then drag here to point', laser: 'Laser', pen: 'Pen',
    erase: 'Erase', back: 'Back', next: 'Next', first: 'First', last: 'Last',
    light: 'Light theme', dark: 'Dark theme', ratio: 'Slide shape',
    slideOf: (n, m) => 'Slide ' + n + ' of ' + m, slides: (m) => m + (m === 1 ? ' slide' : ' slides'),
    upNext: 'Next', deck: 'Presentation', nextSlide: (n) => 'Slide ' + n, endOfShow: 'End of the show',
    overview: 'All slides', close: 'Close', clock: 'Time', goTo: (n) => 'Go to slide ' + n,
  },
  zh: {
    connecting: '正在连接…', connected: '已连接', reconnecting: '正在重新连接…',
    busy: '已有其他手机连接', ended: '已断开', quit: 'Pivaro 已关闭', expired: '链接已失效',
    left: '已断开', replaced: '已在其他标签页打开',
    ovConnecting: ['正在连接电脑', '电脑上的 Pivaro 马上就会响应。'],
    ovReconnecting: ['连接已中断', '正在自动重试。请保持此页面打开，并让手机与电脑在同一网络。'],
    ovBusy: ['已有其他手机在控制', '同一时间只能有一部手机控制放映。请先在 Pivaro 中断开那部手机，再重试。', '重试'],
    ovEnded: ['电脑已断开连接', '演讲者结束了此连接。请扫描 Pivaro 显示的新浏览器二维码重新连接。', '重试'],
    ovQuit: ['Pivaro 已关闭', 'Pivaro 已不在电脑上运行。重新运行后，请扫描新的浏览器二维码。', '重试'],
    ovExpired: ['此链接已失效', '每次配对 Pivaro 都会生成新的二维码。请重新扫描电脑上的浏览器二维码。'],
    ovLeft: ['您已断开', '此手机不再控制放映。', '重新连接'],
    ovReplaced: ['已在另一个标签页中打开', '此遥控页面已在另一个标签页或窗口中打开，现在由那里控制放映。', '在此处控制'],
    off: '未打开', ready: '就绪', live: '放映中',
    noApp: '电脑上没有打开的演示文稿', open: '演示文稿已打开，未放映', running: '正在放映',
    waiting: '等待电脑', notesTitle: '备注', notesIdle: '放映时这里显示当前幻灯片的备注。',
    notesNone: '此页没有备注。', start: '开始放映', stop: '结束放映',
    padIdle: '开始放映后，在此拖动即可指示', laser: '激光笔', pen: '画笔', erase: '擦除',
    back: '上一页', next: '下一页', first: '首页', last: '末页',
    light: '浅色主题', dark: '深色主题', ratio: '幻灯片比例',
    slideOf: (n, m) => '第 ' + n + ' 页，共 ' + m + ' 页', slides: (m) => '共 ' + m + ' 页',
    upNext: '下一页', deck: '演示文稿', nextSlide: (n) => '第 ' + n + ' 页', endOfShow: '放映结束',
    overview: '全部幻灯片', close: '关闭', clock: '时间', goTo: (n) => '转到第 ' + n + ' 页',
  },
};
const lang = (navigator.language || 'en').toLowerCase().startsWith('zh') ? 'zh' : 'en';
const t = TEXT[lang];
document.documentElement.lang = lang === 'zh' ? 'zh-CN' : 'en';

const store = {
  get(key, fallback) { try { return localStorage.getItem(key) ?? fallback; } catch (e) { return fallback; } },
  set(key, value) { try { localStorage.setItem(key, value); } catch (e) { /* private mode */ } },
};

// One id per tab: a reload or a reconnect is the same phone to the PC,
// another tab or browser is another phone.
let clientId = null;
try { clientId = sessionStorage.getItem('pivaro.client'); } catch (e) { /* none */ }
if (!clientId) {
  const bytes = new Uint8Array(12);
  crypto.getRandomValues(bytes);
  clientId = Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
  try { sessionStorage.setItem('pivaro.client', clientId); } catch (e) { /* none */ }
}
const token = location.pathname.split('/').pop();

const app = $('app');
let phase = 'connecting';
let ws = null;
let attempts = 0;
let retryTimer = 0;
let showState = -1;
let firstState = true;  // the first state after the page loaded
let running = false;
let shownSince = 0;
let shownFor = 0;
let mode = store.get('pivaro.mode', 'laser');

// --- texts -----------------------------------------------------------
const setText = (id, text) => { $(id).textContent = text; };
setText('notesTitle', t.notesTitle); setText('laserLabel', t.laser); setText('penLabel', t.pen);
setText('eraseLabel', t.erase); setText('prevLabel', t.back); setText('nextLabel', t.next);
setText('firstLabel', t.first); setText('lastLabel', t.last); setText('padHintText', t.padIdle);
$('prevBtn').setAttribute('aria-label', t.back); $('nextBtn').setAttribute('aria-label', t.next);
$('firstBtn').setAttribute('aria-label', t.first); $('lastBtn').setAttribute('aria-label', t.last);
$('eraseBtn').setAttribute('aria-label', t.erase);
setText('overviewLabel', t.overview); setText('sheetTitle', t.overview);
$('sheetClose').setAttribute('aria-label', t.close); $('clock').setAttribute('aria-label', t.clock);

// --- theme, notes size, slide shape -------------------------------------
const prefersLight = window.matchMedia && matchMedia('(prefers-color-scheme: light)').matches;
let theme = store.get('pivaro.theme', prefersLight ? 'light' : 'dark');
function applyTheme() {
  document.documentElement.dataset.theme = theme;
  $('themeBtn').setAttribute('aria-label', theme === 'dark' ? t.light : t.dark);
  document.querySelector('meta[name="theme-color"]').content = theme === 'dark' ? '#0e1014' : '#f2f4f8';
}
applyTheme();
$('themeBtn').onclick = () => { theme = theme === 'dark' ? 'light' : 'dark'; store.set('pivaro.theme', theme); applyTheme(); };

let notesSize = Math.min(34, Math.max(16, Number(store.get('pivaro.notes', 22)) || 22));
const applyNotesSize = () => document.documentElement.style.setProperty('--notes-size', notesSize + 'px');
applyNotesSize();
$('smallerBtn').onclick = () => { notesSize = Math.max(16, notesSize - 2); store.set('pivaro.notes', notesSize); applyNotesSize(); };
$('biggerBtn').onclick = () => { notesSize = Math.min(34, notesSize + 2); store.set('pivaro.notes', notesSize); applyNotesSize(); };
