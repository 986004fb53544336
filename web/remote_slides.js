// The slide as the phone shows it: its shape inside the pointer pad, its
// picture from the PC, the next slide's thumbnail and the overview of all
// slides.
'use strict';

// --- the slide: its shape, its pictures, the next one, the overview ---------
const pad = $('pad');
const slideBox = $('slide');
const slideImg = $('slideImg');
const nextImg = $('nextImg');
const ink = $('ink');
const inkContext = ink.getContext('2d');
let inked = false;
let ratio43 = store.get('pivaro.ratio', '16:9') === '4:3';
// What the PC last said about the show's place in the deck: null when it
// says nothing (an older Pivaro) or something this page cannot use.
let slide = null;
let slideKey = '';  // revision/index of the slide the ink was drawn on
let slideRect = { w: 0, h: 0 };

const isCount = (v) => Number.isInteger(v) && v >= 0 && v <= 100000;
function parseSlide(v) {
  if (!v || typeof v !== 'object' || !isCount(v.index) || !isCount(v.count) || v.index > v.count) {
    return null;
  }
  const aspect = typeof v.aspect === 'number' && v.aspect >= 0.1 && v.aspect <= 10 ? v.aspect : 0;
  // The revision goes into picture addresses: only what the PC makes of it.
  const revision = typeof v.revision === 'string' && /^[0-9a-z]{1,32}$/.test(v.revision) ? v.revision : '';
  return { index: v.index, count: v.count, aspect, revision, images: v.images === true && !!revision && aspect > 0 };
}
const aspect = () => (slide && slide.aspect) || (ratio43 ? 4 / 3 : 16 / 9);
const showing = () => running && slide !== null && slide.index >= 1;

// Pictures are asked for at the size they are shown at, in device pixels,
// rounded up to a multiple of 16 so that the PC's cache and the browser's hit.
const pictureWidth = (css) =>
  Math.min(2048, Math.max(16, Math.ceil((css * (window.devicePixelRatio || 1)) / 16) * 16));
const pictureUrl = (index, css) =>
  '/r/' + token + '/slide/' + slide.revision + '/' + index + '?w=' + pictureWidth(css);

// The slide keeps its own shape inside the pad, centred; whatever is left
// over on two sides is no part of the slide.
function layoutSlide() {
  const a = aspect();
  document.documentElement.style.setProperty('--ratio', a.toFixed(4));
  const { width: w, height: h } = pad.getBoundingClientRect();
  let sw = w;
  let sh = w / a;
  if (sh > h + 0.5) { sh = h; sw = h * a; }
  slideRect = { w: Math.max(1, sw), h: Math.max(1, sh) };
  const style = slideBox.style;
  style.width = slideRect.w + 'px'; style.height = slideRect.h + 'px';
  style.left = (w - slideRect.w) / 2 + 'px'; style.top = (h - slideRect.h) / 2 + 'px';
  sizeInk();
  showCurrent();
  showNext();
}
if ('ResizeObserver' in window) new ResizeObserver(() => layoutSlide()).observe(pad);
else window.addEventListener('resize', () => requestAnimationFrame(layoutSlide));

// The ink follows the slide's size; what was drawn is scaled along.
function sizeInk() {
  const scale = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(slideRect.w * scale));
  const h = Math.max(1, Math.round(slideRect.h * scale));
  if (w === ink.width && h === ink.height) return;
  let kept = null;
  if (inked) {
    kept = document.createElement('canvas');
    kept.width = ink.width; kept.height = ink.height;
    kept.getContext('2d').drawImage(ink, 0, 0);
  }
  ink.width = w; ink.height = h;
  if (kept) inkContext.drawImage(kept, 0, 0, w, h);
}
function clearInk() { inkContext.clearRect(0, 0, ink.width, ink.height); inked = false; }

function applyRatio() {
  $('ratioBtn').textContent = ratio43 ? '4:3' : '16:9';
  $('ratioBtn').setAttribute('aria-label', t.ratio + ' ' + (ratio43 ? '4:3' : '16:9'));
  layoutSlide();
}
$('ratioBtn').onclick = () => { ratio43 = !ratio43; store.set('pivaro.ratio', ratio43 ? '4:3' : '16:9'); applyRatio(); };

// The current slide's picture. A new one replaces the old only once it has
// loaded; when the PC has none to give (no pictures, 404, 503) the slide is
// the blank grid, and after a 503 the picture is asked for again a little
// later (twice at most), as the PC's Retry-After asks.
const current = { key: '', url: '', width: 0, failures: 0, retry: 0 };
const preloads = [];
function showCurrent() {
  if (!showing() || !slide.images) {
    clearTimeout(current.retry);
    Object.assign(current, { key: '', url: '', width: 0, failures: 0 });
    slideImg.classList.remove('shown');
    slideImg.removeAttribute('src');
    slideBox.classList.add('blank');
    return;
  }
  const key = slide.revision + '/' + slide.index;
  const width = pictureWidth(slideRect.w);
  if (key === current.key && width <= current.width) return;
  if (key !== current.key) { clearTimeout(current.retry); current.failures = 0; }
  Object.assign(current, { key, width, url: pictureUrl(slide.index, slideRect.w) });
  slideImg.src = current.url;
}
slideImg.addEventListener('load', () => {
  if (!current.url || slideImg.getAttribute('src') !== current.url) return;
  slideImg.classList.add('shown');
  slideBox.classList.remove('blank');
  preloadAhead();
});
slideImg.addEventListener('error', () => {
  if (!current.url || slideImg.getAttribute('src') !== current.url) return;
  slideImg.classList.remove('shown');
  slideBox.classList.add('blank');
  if (++current.failures > 2) return;
  const url = current.url;
  current.retry = setTimeout(() => {
    if (current.url !== url) return;
    slideImg.removeAttribute('src');
    slideImg.src = url;
  }, 5000);
});
// The next slide at the size it will be shown at, and the one after it at
// the thumbnail's, so that "next" shows both at once.
function preloadAhead() {
  preloads.length = 0;
  if (!showing() || !slide.images) return;
  const ahead = [[slide.index + 1, slideRect.w], [slide.index + 2, $('nextThumb').clientWidth]];
  for (const [index, css] of ahead) {
    if (index > slide.count) break;
    const picture = new Image();
    picture.src = pictureUrl(index, css);
    preloads.push(picture);
  }
}

// Thumbnails keep their picture until the new one has loaded and show the
// slide's number on the blank grid while they have none.
function setThumb(img, url) {
  if (!url) { img.classList.remove('shown'); img.removeAttribute('src'); return; }
  if (img.getAttribute('src') !== url) img.src = url;
}
function thumbLoaded(e) { if (e.target.tagName === 'IMG') e.target.classList.add('shown'); }
function thumbFailed(e) { if (e.target.tagName === 'IMG') e.target.classList.remove('shown'); }

const END_ICON = '<svg viewBox="0 0 24 24"><path d="M5 21V4"/><path d="M5 4h12l-2.5 4L17 12H5"/></svg>';
function showNext() {
  const box = $('upnext');
  box.hidden = slide === null;
  const live = showing();
  box.classList.toggle('idle', !live);
  setText('upnextTitle', live ? t.upNext : t.deck);
  $('overviewBtn').disabled = phase !== 'connected' || !live || !slide.count;
  const thumb = $('nextThumb');
  const end = live && slide.index >= slide.count;
  thumb.classList.toggle('end', end);
  if (!live) {
    setText('upnextText', slide && slide.count ? t.slides(slide.count) : '—');
    setText('nextNum', '');
    setThumb(nextImg, '');
  } else if (end) {
    setText('upnextText', t.endOfShow);
    $('nextNum').innerHTML = END_ICON;
    setThumb(nextImg, '');
  } else {
    const n = slide.index + 1;
    setText('upnextText', t.nextSlide(n));
    setText('nextNum', String(n));
    setThumb(nextImg, slide.images ? pictureUrl(n, thumb.clientWidth) : '');
  }
}
nextImg.addEventListener('load', thumbLoaded);
nextImg.addEventListener('error', thumbFailed);

// A new slide (or the show's end) wipes the phone's ink, as the show does.
function applySlide() {
  const key = showing() ? slide.revision + '/' + slide.index : '';
  if (key !== slideKey) { clearInk(); slideKey = key; }
  $('ratioBtn').hidden = !!(slide && slide.aspect);
  layoutSlide();
  if (!sheet.hidden) {
    if (phase !== 'connected' || !showing() || !slide.count) closeOverview();
    else { buildTiles(); markCurrentTile(); }
  }
}

// The overview: every slide as a thumbnail, each loaded when it scrolls
// near; a tap goes to that slide.
const sheet = $('sheet');
const grid = $('grid');
const MAX_TILES = 1000;
let tilesFor = '';
const lazy = 'IntersectionObserver' in window
  ? new IntersectionObserver(onTilesSeen, { root: grid, rootMargin: '240px 0px' }) : null;
function onTilesSeen(entries) {
  for (const entry of entries) {
    if (!entry.isIntersecting) continue;
    lazy.unobserve(entry.target);
    loadTile(entry.target);
  }
}
function loadTile(tile) {
  if (!slide || !slide.images) return;
  const img = tile.querySelector('img');
  setThumb(img, pictureUrl(Number(tile.dataset.n), img.parentNode.clientWidth));
}
function buildTiles() {
  const key = slide.revision + '/' + slide.count + '/' + slide.images;
  if (key === tilesFor) return;
  tilesFor = key;
  if (lazy) lazy.disconnect();
  grid.textContent = '';
  const tiles = document.createDocumentFragment();
  for (let i = 1; i <= Math.min(slide.count, MAX_TILES); ++i) {
    const tile = document.createElement('button');
    tile.type = 'button';
    tile.className = 'tile';
    tile.dataset.n = String(i);
    tile.setAttribute('role', 'listitem');
    tile.setAttribute('aria-label', t.goTo(i));
    tile.innerHTML = '<span class="thumb"><img alt=""><span class="num">' + i +
      '</span></span><span class="label">' + i + '</span>';
    tiles.appendChild(tile);
  }
  grid.appendChild(tiles);
}
function markCurrentTile() {
  const old = grid.querySelector('.tile.current');
  if (old) old.classList.remove('current');
  const now = grid.children[slide.index - 1];
  if (now) now.classList.add('current');
  return now;
}
function openOverview() {
  if (phase !== 'connected' || !showing() || !slide.count) return;
  buildTiles();
  setText('sheetCount', t.slides(slide.count));
  sheet.hidden = false;
  const now = markCurrentTile();
  if (now) now.scrollIntoView({ block: 'center' });
  for (const tile of grid.children) {
    if (tile.querySelector('img').getAttribute('src')) continue;
    if (lazy) lazy.observe(tile); else loadTile(tile);
  }
  $('sheetClose').focus();
}
function closeOverview() {
  if (sheet.hidden) return;
  sheet.hidden = true;
  if (lazy) lazy.disconnect();
}
$('overviewBtn').onclick = openOverview;
$('sheetClose').onclick = closeOverview;
grid.addEventListener('load', thumbLoaded, true);
grid.addEventListener('error', thumbFailed, true);
grid.addEventListener('click', (e) => {
  const tile = e.target.closest('.tile');
  if (!tile) return;
  if (navigator.vibrate) navigator.vibrate(12);
  send({ msg: 'goto', slide: Number(tile.dataset.n) });
  closeOverview();
});
document.addEventListener('keydown', (e) => { if (e.key === 'Escape') closeOverview(); });
