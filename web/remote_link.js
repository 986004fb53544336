// The link to the PC: the WebSocket, the messages both ways, reconnecting
// and noticing an expired link; the show's state as the PC reports it (the
// status, notes and timer) and the commands the buttons and keys send.
'use strict';

// --- connection ----------------------------------------------------------
const OVERLAY = { connecting: 'ovConnecting', reconnecting: 'ovReconnecting', busy: 'ovBusy',
  ended: 'ovEnded', quit: 'ovQuit', expired: 'ovExpired', left: 'ovLeft', replaced: 'ovReplaced' };
const ICONS = {
  busy: '<svg viewBox="0 0 24 24"><rect x="7" y="3" width="10" height="18" rx="2"/><path d="M11 17h2"/></svg>',
  ended: '<svg viewBox="0 0 24 24"><path d="M9 15l6-6"/><path d="M11 6l1.5-1.5a4.2 4.2 0 0 1 6 6L17 12"/><path d="M13 18l-1.5 1.5a4.2 4.2 0 0 1-6-6L7 12"/></svg>',
  quit: '<svg viewBox="0 0 24 24"><rect x="3" y="4" width="18" height="12" rx="2"/><path d="M8 20h8M12 16v4"/></svg>',
  expired: '<svg viewBox="0 0 24 24"><circle cx="12" cy="12" r="8.5"/><path d="M12 7.5V12l3 2"/></svg>',
  left: '<svg viewBox="0 0 24 24"><path d="M12 3v8"/><path d="M6.3 6.8a8 8 0 1 0 11.4 0"/></svg>',
  replaced: '<svg viewBox="0 0 24 24"><rect x="8" y="8" width="13" height="12" rx="2"/><path d="M16 8V6a2 2 0 0 0-2-2H5a2 2 0 0 0-2 2v8a2 2 0 0 0 2 2h3"/></svg>',
};

function setPhase(next) {
  phase = next;
  app.dataset.phase = next;
  setText('connText', t[next]);
  const online = next === 'connected';
  document.querySelectorAll('main button').forEach((b) => {
    if (b.id !== 'smallerBtn' && b.id !== 'biggerBtn' && b.id !== 'ratioBtn') b.disabled = !online;
  });
  if (!online) closeOverview();
  showNext();
  const key = OVERLAY[next];
  $('overlay').hidden = !key;
  if (key) {
    const [title, text, action] = t[key];
    setText('ovTitle', title); setText('ovText', text);
    $('ovBadge').innerHTML = ICONS[next] || '<div class="spinner"></div>';
    $('ovBtn').hidden = !action;
    if (action) setText('ovBtn', action);
  }
  if (!online) { endStroke(); keepAwake(false); } else { keepAwake(true); }
}

function send(message) {
  if (!ws || ws.readyState !== WebSocket.OPEN) return false;
  ws.send(JSON.stringify(message));
  return true;
}

// The close code the PC uses when the same page, open elsewhere (a
// duplicated tab), took this one's place: reconnecting by itself would take
// the place back and the two would push each other out in turn.
const REPLACED = 4001;

function connect() {
  clearTimeout(retryTimer);
  if (ws) return;
  const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
  let socket;
  try {
    socket = new WebSocket(scheme + location.host + '/ws/' + token + '?c=' + clientId);
  } catch (e) {
    return retryLater();
  }
  ws = socket;
  socket.onopen = () => { attempts = 0; send({ msg: 'hello', note: 1 }); };
  socket.onmessage = (event) => { if (ws === socket) onMessage(event.data); };
  socket.onclose = (event) => {
    if (ws !== socket) return;
    ws = null;
    if (event.code === REPLACED) {
      clearTimeout(retryTimer);
      setPhase('replaced');
      return;
    }
    if (phase === 'connected' || phase === 'connecting' || phase === 'busy' || phase === 'reconnecting') {
      setPhase('reconnecting');
      retryLater();
    }
  };
}

// Backoff from half a second to ten, with some spread so that many pages
// do not knock at the same moment. After a few failures the page asks
// whether its token still exists: a restarted Pivaro has a new one.
function retryLater() {
  clearTimeout(retryTimer);
  const delay = Math.min(10000, 500 * 2 ** Math.min(attempts, 5)) * (0.8 + Math.random() * 0.4);
  attempts += 1;
  if (attempts >= 2) checkExpired();
  retryTimer = setTimeout(connect, delay);
}

function checkExpired() {
  fetch(location.pathname, { method: 'HEAD', cache: 'no-store' }).then((response) => {
    if (response.status === 403 || response.status === 404) {
      clearTimeout(retryTimer);
      setPhase('expired');
    }
  }, () => { /* the PC is not reachable: keep trying */ });
}

function onMessage(data) {
  let message;
  try { message = JSON.parse(data); } catch (e) { return; }
  if (!message || typeof message.msg !== 'string') return;
  switch (message.msg) {
    case 'state':
      if (phase !== 'connected') setPhase('connected');
      slide = parseSlide(message.slide);
      applyState(Number(message.state) | 0, typeof message.error === 'string' ? message.error : '', true);
      break;
    case 'note':
      setNotes(typeof message.note === 'string' ? message.note : '');
      break;
    case 'hello':  // the PC came back and asks whether this phone is still there
      send({ msg: 'hello', note: 1 });
      break;
    case 'error':
      if (message.error === BUSY) setPhase('busy');
      break;
    case 'bye':
      setPhase('ended');
      break;
    case 'quit':
      setPhase('quit');
      break;
  }
}

$('ovBtn').onclick = () => {
  if (phase === 'busy' && send({ msg: 'hello', note: 1 })) return;
  attempts = 0;
  setPhase('connecting');
  if (ws) { ws.close(); ws = null; }
  connect();
};
$('leaveBtn').onclick = () => {
  send({ msg: 'bye' });
  setPhase('left');
  const socket = ws;
  ws = null;
  if (socket) setTimeout(() => socket.close(), 300);
};

// --- the show --------------------------------------------------------------
function applyState(value, error, fromPc) {
  showState = value;
  const wasRunning = running;
  running = (value & 2) !== 0;
  const chip = $('showChip');
  chip.classList.toggle('live', running);
  const at = running && slide && slide.index >= 1 && slide.count >= 1;
  $('showText').classList.toggle('slide-of', !!at);
  if (at) {
    chip.textContent = t.live; setText('showText', t.slideOf(slide.index, slide.count));
  } else if (running) {
    chip.textContent = t.live; setText('showText', t.running);
  } else if (value & 1) {
    chip.textContent = t.ready; setText('showText', t.open);
  } else {
    chip.textContent = t.off; setText('showText', error ? error.split('\n')[0] : t.noApp);
  }
  $('showText').title = error;
  setText('showLabel', running ? t.stop : t.start);
  $('showBtn').classList.toggle('stop', running);
  $('showIcon').innerHTML = running ? '<rect x="6" y="6" width="12" height="12" rx="2" fill="currentColor"/>'
    : '<path d="M7 4.5v15l12-7.5z" fill="currentColor"/>';
  pad.classList.toggle('live', running);
  if (running && !wasRunning) {
    // A reload in the middle of the talk keeps counting from the show's start.
    let kept = 0;
    try { kept = Number(sessionStorage.getItem('pivaro.shownSince')) || 0; } catch (e) { /* none */ }
    shownSince = kept && firstState && fromPc ? kept : Date.now();
    shownFor = 0;
    try { sessionStorage.setItem('pivaro.shownSince', String(shownSince)); } catch (e) { /* none */ }
  }
  if (!running && wasRunning) {
    shownFor = Date.now() - shownSince;
    shownSince = 0;
    try { sessionStorage.removeItem('pivaro.shownSince'); } catch (e) { /* none */ }
    endStroke();
    clearInk();
  }
  if (fromPc) firstState = false;
  if (!running) setNotes(null);
  applySlide();
  tick();
}

function setNotes(text) {
  const box = $('notes');
  const idle = text === null;
  const empty = idle || text.trim() === '';
  box.classList.toggle('empty', empty);
  box.textContent = idle ? t.notesIdle : empty ? t.notesNone : text;
  box.scrollTop = 0;
}

function tick() {
  const ms = shownSince ? Date.now() - shownSince : shownFor;
  const s = Math.floor(ms / 1000);
  const hh = Math.floor(s / 3600);
  const mm = String(Math.floor(s / 60) % 60).padStart(2, '0');
  const ss = String(s % 60).padStart(2, '0');
  setText('timer', hh ? hh + ':' + mm + ':' + ss : mm + ':' + ss);
  $('timer').classList.toggle('running', !!shownSince);
  setText('clock', new Date().toLocaleTimeString(lang === 'zh' ? 'zh-CN' : undefined,
    { hour: '2-digit', minute: '2-digit' }));
}
setInterval(tick, 500);

function command(name) {
  if (navigator.vibrate) navigator.vibrate(12);
  send({ msg: name });
}
$('prevBtn').onclick = () => command('prev');
$('nextBtn').onclick = () => command('next');
$('firstBtn').onclick = () => command('first');
$('lastBtn').onclick = () => command('last');
$('showBtn').onclick = () => command(running ? 'stop' : 'start');
$('eraseBtn').onclick = () => { command('erase'); clearInk(); };
document.addEventListener('keydown', (e) => {
  if (phase !== 'connected' || e.altKey || e.ctrlKey || e.metaKey) return;
  const keys = { ArrowRight: 'next', PageDown: 'next', ' ': 'next', ArrowLeft: 'prev',
    PageUp: 'prev', Home: 'first', End: 'last' };
  if (keys[e.key] && e.target.tagName !== 'BUTTON') { e.preventDefault(); command(keys[e.key]); }
});
