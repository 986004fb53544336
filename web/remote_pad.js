// The pointer pad: a finger on the slide moves the laser or draws with the
// pen, shown on the phone and sent to the PC at most once a frame.
'use strict';

// --- pointer pad -------------------------------------------------------------
function applyMode() {
  $('modeLaser').setAttribute('aria-checked', String(mode === 'laser'));
  $('modePen').setAttribute('aria-checked', String(mode === 'pen'));
}
applyMode();
$('modeLaser').onclick = () => { mode = 'laser'; store.set('pivaro.mode', mode); applyMode(); };
$('modePen').onclick = () => { mode = 'pen'; store.set('pivaro.mode', mode); applyMode(); };

const spot = $('spot');

let stroke = null;  // { id, kind, last, pending }
let frame = 0;
const round = (v) => Math.round(v * 10000) / 10000;
// Where the finger is on the slide, in fractions of its width and height.
// A touch that begins beside the slide (in the pad's spare room) points at
// nothing; a finger that strays off the slide while down stays on its edge.
function point(event, clamp) {
  const r = slideBox.getBoundingClientRect();
  const x = (event.clientX - r.left) / r.width;
  const y = (event.clientY - r.top) / r.height;
  if (!clamp && (x < 0 || x > 1 || y < 0 || y > 1)) return null;
  return { x: round(Math.min(1, Math.max(0, x))), y: round(Math.min(1, Math.max(0, y))) };
}
function moveSpot(p) {
  spot.style.transform = 'translate(' + p.x * slideRect.w + 'px,' + p.y * slideRect.h + 'px)';
}
function drawTo(p) {
  if (!stroke || stroke.kind !== 'pen') return;
  inkContext.strokeStyle = getComputedStyle(document.documentElement).getPropertyValue('--ink');
  inkContext.lineWidth = 3 * (window.devicePixelRatio || 1);
  inkContext.lineCap = 'round';
  inkContext.beginPath();
  inkContext.moveTo(stroke.last.x * ink.width, stroke.last.y * ink.height);
  inkContext.lineTo(p.x * ink.width, p.y * ink.height);
  inkContext.stroke();
  inked = true;
  stroke.last = p;
}
// At most one move per animation frame: the latest point wins.
function flushMove() {
  frame = 0;
  if (stroke && stroke.pending) {
    send({ msg: stroke.kind + '_move', x: stroke.pending.x, y: stroke.pending.y });
    stroke.pending = null;
  }
}
function endStroke() {
  if (!stroke) return;
  if (frame) { cancelAnimationFrame(frame); flushMove(); }
  send({ msg: stroke.kind + '_up' });
  try { pad.releasePointerCapture(stroke.id); } catch (e) { /* already gone */ }
  stroke = null;
  spot.classList.remove('on');
}
pad.addEventListener('pointerdown', (e) => {
  if (phase !== 'connected' || stroke) return;
  e.preventDefault();
  const p = point(e, false);
  if (!p) return;
  try { pad.setPointerCapture(e.pointerId); } catch (err) { /* synthetic */ }
  stroke = { id: e.pointerId, kind: mode, last: p, pending: null };
  spot.classList.toggle('pen', mode === 'pen');
  spot.classList.add('on');
  moveSpot(p);
  send({ msg: mode + '_down', x: p.x, y: p.y });
});
pad.addEventListener('pointermove', (e) => {
  if (!stroke || e.pointerId !== stroke.id) return;
  e.preventDefault();
  const p = point(e, true);
  moveSpot(p);
  drawTo(p);
  stroke.pending = p;
  if (!frame) frame = requestAnimationFrame(flushMove);
});
const finish = (e) => { if (stroke && e.pointerId === stroke.id) endStroke(); };
pad.addEventListener('pointerup', finish);
pad.addEventListener('pointercancel', finish);
pad.addEventListener('lostpointercapture', finish);
pad.addEventListener('contextmenu', (e) => e.preventDefault());
