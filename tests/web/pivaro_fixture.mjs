// The real pivaro program for browser tests: a child process whose output is
// kept as lines, a Mosquitto broker of its own on a free loopback port, and
// pivaro in line mode on that broker, with the browser address it prints.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// A child whose stdout is kept as lines.
export class Child {
  constructor(command, args, env) {
    this.lines = [];
    this.exit = null;
    this.proc = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['pipe', 'pipe', 'pipe'] });
    let rest = '';
    this.proc.stdout.on('data', (chunk) => {
      rest += chunk.toString('utf8');
      const parts = rest.split('\n');
      rest = parts.pop();
      this.lines.push(...parts);
    });
    this.proc.stderr.on('data', (chunk) => this.lines.push('[stderr] ' + chunk.toString('utf8').trim()));
    this.proc.on('exit', (code) => { this.exit = code; });
  }
  write(line) { this.proc.stdin.write(line + '\n'); }
  // The first line at or after `from` starting with prefix and containing part.
  async waitLine(prefix, part = '', limitMs = 10000, from = 0) {
    const end = Date.now() + limitMs;
    for (;;) {
      for (let i = from; i < this.lines.length; ++i) {
        const l = this.lines[i];
        if (l.startsWith(prefix) && l.includes(part)) return { line: l, index: i };
      }
      if (Date.now() > end) throw new Error(`no line "${prefix}…${part}" within ${limitMs} ms`);
      await sleep(50);
    }
  }
  async waitExit(limitMs) {
    const end = Date.now() + limitMs;
    while (this.exit === null && Date.now() < end) await sleep(50);
    return this.exit;
  }
  kill() { if (this.exit === null) this.proc.kill('SIGKILL'); }
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export async function waitPort(port, limitMs) {
  const end = Date.now() + limitMs;
  while (Date.now() < end) {
    const ok = await new Promise((resolve) => {
      const s = net.connect(port, '127.0.0.1');
      s.once('connect', () => { s.destroy(); resolve(true); });
      s.once('error', () => resolve(false));
    });
    if (ok) return true;
    await sleep(100);
  }
  return false;
}

// Starts Mosquitto on a free loopback port with its configuration in dir;
// cleanups receives what stops it. Resolves to the port.
export async function startBroker(mosquitto, dir, cleanups) {
  const port = await freePort();
  const conf = path.join(dir, 'mosquitto.conf');
  fs.writeFileSync(conf, `listener ${port} 127.0.0.1\nallow_anonymous true\nset_tcp_nodelay true\npersistence false\n`);
  const broker = new Child(mosquitto, ['-c', conf], {});
  cleanups.push(() => broker.kill());
  if (!(await waitPort(port, 5000))) throw new Error('mosquitto did not start');
  return port;
}

// Starts pivaro in line mode on the broker and waits for its browser address.
// Resolves to { pc, printed (the address as printed), address (the same on
// loopback, as the browser here reaches the PC) }.
export async function startPivaro(pivaro, brokerPort, dir, cleanups) {
  const pc = new Child(pivaro, [], {
    PIVARO_RELAY_URI: `tcp://127.0.0.1:${brokerPort}`,
    PIVARO_DIRECT_PORT: '0',
    XDG_RUNTIME_DIR: dir,
  });
  cleanups.push(() => pc.kill());
  await pc.waitLine('state: ', 'WaitingForPhone');
  const { line } = await pc.waitLine('browser: ');
  const printed = line.slice('browser: '.length).trim();
  const url = new URL(printed);
  url.hostname = '127.0.0.1';
  return { pc, printed, address: url.toString() };
}
