// A stand-in for the PC's side of the browser remote, for tests of the page
// alone: node's http serves the page it is given (the assembled one, as the
// program serves it) at /r/<token> under the PC's page policy, slide pictures
// drawn here as PNG at /r/<token>/slide/<revision>/<n>, and a WebSocket at
// /ws/<token> (the part of RFC 6455 that small text frames need) through
// which the test plays the PC and reads what the page sent.
// It listens on an ephemeral loopback port.
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import zlib from 'node:zlib';

const PAGE_POLICY =
  "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; " +
  "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'; " +
  "connect-src 'self'";
const SOCKET_GUID = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const MAX_FRAME = 64 * 1024;

// --- PNG -------------------------------------------------------------------

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});
function crc32(bytes) {
  let c = 0xffffffff;
  for (const b of bytes) c = CRC_TABLE[(c ^ b) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}
function chunk(type, data) {
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([length, body, crc]);
}
// An 8-bit RGB PNG of width x height from rgb (3 bytes a pixel, row by row).
export function encodePng(width, height, rgb) {
  const head = Buffer.alloc(13);
  head.writeUInt32BE(width, 0);
  head.writeUInt32BE(height, 4);
  head[8] = 8;  // bits per sample
  head[9] = 2;  // truecolour
  const raw = Buffer.alloc((width * 3 + 1) * height);
  for (let y = 0; y < height; ++y) {
    rgb.copy(raw, y * (width * 3 + 1) + 1, y * width * 3, (y + 1) * width * 3);
  }
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', head), chunk('IDAT', zlib.deflateSync(raw, { level: 1 })), chunk('IEND', Buffer.alloc(0)),
  ]);
}

// --- slide pictures ----------------------------------------------------------

const DIGITS = ['111101101101111', '010110010010111', '111001111100111', '111001111001111',
  '101101111001001', '111100111001111', '111100111101111', '111001010010010',
  '111101111101111', '111101111001111'];
const HUES = [[47, 107, 240], [52, 168, 83], [234, 122, 36], [156, 67, 200],
  [217, 48, 37], [0, 150, 160], [90, 100, 120], [200, 150, 0]];

// A slide of its own colour: a title band, its number in large digits and a
// few lines of "text", so that a screenshot shows which slide is where.
export function drawSlide(index, width, height) {
  const rgb = Buffer.alloc(width * height * 3);
  const hue = HUES[(index - 1) % HUES.length];
  const rect = (x0, y0, x1, y1, [r, g, b]) => {
    const xa = Math.max(0, Math.round(x0 * width));
    const xb = Math.min(width, Math.round(x1 * width));
    for (let y = Math.max(0, Math.round(y0 * height)); y < Math.min(height, Math.round(y1 * height)); ++y) {
      for (let x = xa; x < xb; ++x) {
        const at = (y * width + x) * 3;
        rgb[at] = r; rgb[at + 1] = g; rgb[at + 2] = b;
      }
    }
  };
  rect(0, 0, 1, 1, [250, 250, 247]);
  rect(0, 0, 1, 0.2, hue);
  rect(0.06, 0.08, 0.5, 0.13, [255, 255, 255]);
  const cell = 0.07;  // of the height
  const cellX = (cell * height) / width;
  String(index).split('').forEach((d, k) => {
    const bits = DIGITS[Number(d)];
    for (let i = 0; i < 15; ++i) {
      if (bits[i] !== '1') continue;
      const x = 0.06 + k * 4 * cellX + (i % 3) * cellX;
      const y = 0.32 + Math.floor(i / 3) * cell;
      rect(x, y, x + cellX, y + cell, hue);
    }
  });
  for (let line = 0; line < 4; ++line) {
    const y = 0.34 + line * 0.1;
    rect(0.5, y, line === 3 ? 0.78 : 0.92, y + 0.04, [196, 200, 210]);
  }
  rect(0, 0.94, 1, 1, hue.map((v) => Math.round(v * 0.6 + 255 * 0.4)));
  return rgb;
}

// --- the stand-in --------------------------------------------------------------

function socketFrame(opcode, payload) {
  let head;
  if (payload.length < 126) {
    head = Buffer.from([0x80 | opcode, payload.length]);
  } else {
    head = Buffer.alloc(4);
    head[0] = 0x80 | opcode;
    head[1] = 126;
    head.writeUInt16BE(payload.length, 2);
  }
  return Buffer.concat([head, payload]);
}

// Reads the client's frames (always masked) and hands each text to onText;
// anything else than a small, whole text, ping or close frame ends the socket.
function readFrames(socket, onText) {
  let pending = Buffer.alloc(0);
  socket.on('data', (data) => {
    pending = Buffer.concat([pending, data]);
    while (pending.length >= 2) {
      const fin = pending[0] & 0x80;
      const opcode = pending[0] & 0x0f;
      let length = pending[1] & 0x7f;
      let offset = 2;
      if (length === 126) {
        if (pending.length < 4) return;
        length = pending.readUInt16BE(2);
        offset = 4;
      } else if (length === 127) {
        return socket.destroy();
      }
      if (!(pending[1] & 0x80) || !fin || length > MAX_FRAME) return socket.destroy();
      if (pending.length < offset + 4 + length) return;
      const mask = pending.subarray(offset, offset + 4);
      const payload = Buffer.from(pending.subarray(offset + 4, offset + 4 + length));
      for (let i = 0; i < payload.length; ++i) payload[i] ^= mask[i & 3];
      pending = pending.subarray(offset + 4 + length);
      if (opcode === 1) onText(payload.toString('utf8'));
      else if (opcode === 9) socket.write(socketFrame(10, payload));
      else if (opcode === 8) { socket.end(socketFrame(8, Buffer.alloc(0))); return; }
      else if (opcode !== 10) return socket.destroy();
    }
  });
}

// Starts the stand-in. The test sets `show` ({state, slide?, note?}) with
// setShow, which sends it to every page; `pictureStatus` (200, 404, 503)
// answers picture requests; `received` holds every message the pages sent
// and `pictures` every picture request ({revision, index, w, status}).
export async function startStandIn({ page }) {
  const html = fs.readFileSync(page);
  const token = crypto.randomBytes(16).toString('hex');
  const sockets = new Set();
  const drawn = new Map();
  const standIn = {
    token, received: [], pictures: [], pictureStatus: 200,
    show: { state: 0 },
    receivedSince(n, name) { return this.received.slice(n).filter((m) => m.msg === name); },
    sendAll(message) {
      const frame = socketFrame(1, Buffer.from(JSON.stringify(message)));
      for (const s of sockets) s.write(frame);
    },
    setShow(show) {
      this.show = show;
      this.sendAll(stateMessage());
      if (typeof show.note === 'string') this.sendAll({ msg: 'note', note: show.note });
    },
  };
  const stateMessage = () => {
    const message = { msg: 'state', state: standIn.show.state };
    if (standIn.show.slide) message.slide = standIn.show.slide;
    return message;
  };

  function picture(request, response, revision, index, query) {
    const slide = standIn.show.slide;
    const w = query.get('w');
    let status = standIn.pictureStatus;
    if (!/^[0-9]{1,5}$/.test(w || '')) status = 400;
    else if (!slide || revision !== slide.revision || index < 1 || index > slide.count) status = 404;
    const width = Math.min(2048, Math.max(16, Math.ceil(Number(w) / 16) * 16));
    standIn.pictures.push({ revision, index, w: Number(w), status, at: Date.now() });
    if (status !== 200) {
      response.writeHead(status, { 'Content-Type': 'text/plain', 'Cache-Control': 'no-store',
        ...(status === 503 ? { 'Retry-After': '5' } : {}) });
      return response.end(`${status}\n`);
    }
    const key = `${index}/${width}/${slide.aspect}`;
    if (!drawn.has(key)) {
      const height = Math.max(1, Math.round(width / slide.aspect));
      drawn.set(key, encodePng(width, height, drawSlide(index, width, height)));
    }
    const png = drawn.get(key);
    response.writeHead(200, { 'Content-Type': 'image/png', 'Content-Length': png.length,
      'Cache-Control': 'private, max-age=31536000, immutable' });
    response.end(request.method === 'HEAD' ? undefined : png);
  }

  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://stand-in');
    const parts = url.pathname.split('/');
    if (parts[1] === 'r' && parts[2] === token && parts.length === 3) {
      response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store',
        'Content-Security-Policy': PAGE_POLICY, 'Referrer-Policy': 'no-referrer' });
      return response.end(request.method === 'HEAD' ? undefined : html);
    }
    if (parts[1] === 'r' && parts[2] === token && parts[3] === 'slide' && parts.length === 6) {
      return picture(request, response, parts[4], Number(parts[5]), url.searchParams);
    }
    response.writeHead(404, { 'Content-Type': 'text/plain' });
    response.end('404\n');
  });
  server.on('upgrade', (request, socket) => {
    const key = request.headers['sec-websocket-key'];
    if (!request.url.startsWith(`/ws/${token}?`) || !key) return socket.destroy();
    const accept = crypto.createHash('sha1').update(key + SOCKET_GUID).digest('base64');
    socket.write('HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
      `Sec-WebSocket-Accept: ${accept}\r\n\r\n`);
    sockets.add(socket);
    socket.on('close', () => sockets.delete(socket));
    socket.on('error', () => socket.destroy());
    readFrames(socket, (text) => {
      let message;
      try { message = JSON.parse(text); } catch (e) { message = { raw: text }; }
      standIn.received.push(message);
      if (message.msg === 'hello') {
        socket.write(socketFrame(1, Buffer.from(JSON.stringify(stateMessage()))));
        if (typeof standIn.show.note === 'string') {
          socket.write(socketFrame(1, Buffer.from(JSON.stringify({ msg: 'note', note: standIn.show.note }))));
        }
      }
    });
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  standIn.url = `http://127.0.0.1:${server.address().port}/r/${token}`;
  standIn.close = () => new Promise((resolve) => {
    for (const s of sockets) s.destroy();
    server.close(() => resolve());
  });
  return standIn;
}
