// The page's life: the screen kept on while the phone drives the show, a
// reconnect when the page is shown again, and the start, which needs every
// other part loaded and so comes last.
'use strict';

// --- keeping the screen on ---------------------------------------------------
// Browsers offer the wake lock only to secure pages; elsewhere the phone's
// own screen timeout applies.
let wakeLock = null;
async function keepAwake(on) {
  if (!('wakeLock' in navigator)) return;
  try {
    if (on && !wakeLock && document.visibilityState === 'visible') {
      wakeLock = await navigator.wakeLock.request('screen');
      wakeLock.addEventListener('release', () => { wakeLock = null; });
    } else if (!on && wakeLock) {
      const lock = wakeLock;
      wakeLock = null;
      await lock.release();
    }
  } catch (e) { wakeLock = null; }
}
document.addEventListener('visibilitychange', () => {
  if (document.visibilityState !== 'visible') return;
  keepAwake(phase === 'connected');
  if (!ws && phase === 'reconnecting') { attempts = 0; connect(); }
});

applyRatio();
applyState(0, '', false);
setText('showText', t.waiting);
setPhase('connecting');
connect();
