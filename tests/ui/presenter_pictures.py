#!/usr/bin/env python3
"""A browser phone of the running program, reduced to what the presenter view
asks of it: joins the browser remote's WebSocket, starts the show, reads the
slide's place from the state messages, fetches slide pictures from the
picture addresses, refused ones included, goes to a slide and stops the
show. Talks to 127.0.0.1 only; every wait is bounded.

Usage: presenter_pictures.py http://<host>:<port>/r/<token>
Prints "ok: ..." or "FAILED: ..." per check; exits 1 when any failed.
"""
import base64
import http.client
import json
import os
import re
import socket
import struct
import sys
import time

WAIT = 15.0  # seconds for any one answer


class BrowserSocket:
    """The WebSocket of the browser remote, client side (RFC 6455)."""

    def __init__(self, port, token):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
        key = base64.b64encode(os.urandom(16)).decode()
        client = os.urandom(16).hex()
        host = "127.0.0.1:%d" % port
        self.sock.sendall(
            ("GET /ws/%s?c=%s HTTP/1.1\r\nHost: %s\r\nOrigin: http://%s\r\n"
             "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
             "Sec-WebSocket-Version: 13\r\n\r\n" % (token, client, host, host, key)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk or len(head) > 16384:
                raise RuntimeError("no WebSocket handshake")
            head += chunk
        head, self.pending = head.split(b"\r\n\r\n", 1)
        if not head.startswith(b"HTTP/1.1 101"):
            raise RuntimeError("WebSocket refused: %r" % head.split(b"\r\n")[0])

    def send(self, message):
        payload = json.dumps(message).encode()
        mask = os.urandom(4)
        frame = bytes([0x81])
        if len(payload) < 126:
            frame += bytes([0x80 | len(payload)])
        else:
            frame += bytes([0x80 | 126]) + struct.pack(">H", len(payload))
        frame += mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(frame)

    def _read(self, count, deadline):
        while len(self.pending) < count:
            self.sock.settimeout(max(0.05, deadline - time.monotonic()))
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("the WebSocket closed")
            self.pending += chunk
        data, self.pending = self.pending[:count], self.pending[count:]
        return data

    def receive(self, deadline):
        """The next text message as JSON; None at the deadline."""
        try:
            while True:
                first, second = self._read(2, deadline)
                length = second & 0x7F
                if length == 126:
                    length = struct.unpack(">H", self._read(2, deadline))[0]
                elif length == 127:
                    length = struct.unpack(">Q", self._read(8, deadline))[0]
                if length > 1 << 20:
                    raise RuntimeError("a frame of %d bytes" % length)
                payload = self._read(length, deadline)
                opcode = first & 0x0F
                if opcode == 0x8:
                    raise RuntimeError("the PC closed the WebSocket")
                if opcode == 0x1:
                    return json.loads(payload.decode())
        except socket.timeout:
            return None

    def wait_for(self, check):
        """The first message for which check() holds, within WAIT seconds."""
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            message = self.receive(deadline)
            if message is not None and check(message):
                return message
        return None


def fetch(port, path):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    try:
        connection.request("GET", path, headers={"Host": "127.0.0.1:%d" % port})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read(64 << 20)
    finally:
        connection.close()


def png_size(data):
    if len(data) < 24 or data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", data[16:24])


failed = False


def expect(what, condition, detail=""):
    global failed
    print(("ok: " if condition else "FAILED: ") + what + ("" if condition else " " + detail))
    failed = failed or not condition


def main():
    match = re.fullmatch(r"http://[0-9.]+:(\d+)/r/([0-9a-f]{32})", sys.argv[1].strip())
    if not match:
        print("FAILED: not a browser remote address: %r" % sys.argv[1])
        return 1
    port, token = int(match.group(1)), match.group(2)
    phone = BrowserSocket(port, token)
    phone.send({"msg": "hello", "note": 1})

    def position(index):
        def check(m):
            return m.get("msg") == "state" and isinstance(m.get("slide"), dict) and \
                m["slide"].get("index") == index
        return check

    phone.send({"msg": "start"})
    shown = phone.wait_for(position(1))
    expect("the show starts on slide 1", shown is not None)
    if shown is None:
        return 1
    slide = shown["slide"]
    expect("slide 1 of 5, 4:3, pictures offered",
           slide.get("count") == 5 and abs(slide.get("aspect", 0) - 4 / 3) < 0.01 and
           slide.get("images") is True, json.dumps(slide))
    revision = slide.get("revision", "")
    expect("a revision of 10 letters and digits", re.fullmatch(r"[0-9a-z]{10}", revision),
           repr(revision))
    base = "/r/%s/slide/%s" % (token, revision)

    pictures = {}
    for index, width, size in ((1, 320, (320, 240)), (2, 300, (304, 228))):
        started = time.monotonic()
        status, headers, body = fetch(port, "%s/%d?w=%d" % (base, index, width))
        took = (time.monotonic() - started) * 1000
        expect("slide %d at w=%d: 200 image/png, %d x %d, kept for good (%.0f ms)" %
               (index, width, size[0], size[1], took),
               status == 200 and headers.get("Content-Type") == "image/png" and
               "immutable" in headers.get("Cache-Control", "") and png_size(body) == size,
               "%s %s %s" % (status, headers, png_size(body)))
        pictures[index] = body
    expect("slides 1 and 2 are different pictures", pictures[1] != pictures[2])

    for what, path, statuses in (
            ("a slide past the end", "%s/9?w=320" % base, (404,)),
            ("another revision", "/r/%s/slide/0000000000/1?w=320" % token, (404,)),
            ("a width that is no number", "%s/1?w=abc" % base, (400,)),
            ("a wrong token", "/r/%s/slide/%s/1?w=320" % ("0" * 32, revision), (403, 404))):
        status, _, _ = fetch(port, path)
        expect("%s is refused with %s" % (what, "/".join(map(str, statuses))),
               status in statuses, str(status))

    phone.send({"msg": "goto", "slide": 4})
    expect("go to slide 4", phone.wait_for(position(4)) is not None)
    status, _, body = fetch(port, "%s/4?w=320" % base)
    expect("slide 4's picture", status == 200 and png_size(body) == (320, 240), str(status))

    phone.send({"msg": "stop"})
    expect("the show ends", phone.wait_for(position(0)) is not None)
    phone.send({"msg": "bye"})
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, RuntimeError, ValueError) as error:
        print("FAILED: %s" % error)
        sys.exit(1)
