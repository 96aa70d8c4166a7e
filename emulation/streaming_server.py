#!/usr/bin/python3
"""Reference streaming server: the peer of the capture module's live
streaming, for tests and for watching a stream on a development machine.

It listens on port 8080 of a loopback address and reads framed messages:

    8 bytes   marker 1234123456, 64-bit big-endian (00 00 00 00 49 8F 3A C0)
    4 bytes   body length N, 32-bit big-endian
    N bytes   body: a NUL-terminated request text padded to 200 bytes, then
              the JPEG pictures of inputs 0..3 whose lengths the text gives
              as l0..l3, back to back

The framing is checked strictly: a wrong marker, a length below 200 or
above 4,300,000, a text without its terminator, lengths l0..l3 that do not
add up to N - 200, or a picture that is not a whole JPEG is logged as an
error and the connection is closed. "/set4Jpegs?..." requests are answered
with a text containing "success"; "/stream4Jpegs?..." requests get no reply.
The newest JPEG of each input is kept.

Fault modes (--fault): silent (never answer), nosuccess (answer without
"success"), close-mid (close the connection in the middle of a message),
slow (read very slowly: 2 KiB every 50 ms, or --slow-rate bytes a second,
through a small receive buffer, so that a sender faster than that meets
back-pressure within seconds instead of filling megabytes of kernel
buffers first).

For a person: http://ADDRESS:HTTP_PORT/ shows the four inputs and refreshes
itself. For tests: --log FILE gets one JSON line per message or error, and
http://ADDRESS:HTTP_PORT/stats returns the counts as JSON; --save-dir DIR
keeps the newest picture of input i as DIR/input<i>.jpg.

Usage: streaming_server.py [--address 127.0.0.1] [--http-port 8081]
                           [--fault none|silent|nosuccess|close-mid|slow]
                           [--slow-rate BYTES_PER_SECOND]
                           [--log FILE] [--save-dir DIR]
On start it prints "listening on ADDRESS:8080" (and the HTTP port) on
standard output; it exits with status 2 when the address cannot be bound.
Standard library only.
"""
import argparse
import http.server
import ipaddress
import json
import os
import socket
import socketserver
import struct
import sys
import threading
import time
import urllib.parse

PORT = 8080
MARKER = 1234123456
TEXT_SIZE = 200
MAX_BODY = 4300000
FAULTS = ("none", "silent", "nosuccess", "close-mid", "slow")
SLOW_CHUNK = 2048
SLOW_PAUSE = 0.05
SLOW_RECEIVE_BUFFER = 8192


class FramingError(Exception):
    pass


def jpeg_size(data):
    """(width, height) of a whole JPEG, or raises FramingError."""
    if len(data) < 4 or data[:2] != b"\xff\xd8":
        raise FramingError("picture does not start with a JPEG SOI marker")
    if data[-2:] != b"\xff\xd9":
        raise FramingError("picture does not end with a JPEG EOI marker")
    p = 2
    while p + 4 <= len(data):
        if data[p] != 0xFF:
            raise FramingError("bad JPEG segment at %d" % p)
        marker = data[p + 1]
        if marker == 0xFF:
            p += 1
            continue
        seg = struct.unpack(">H", data[p + 2:p + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7, 0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF):
            if p + 9 > len(data):
                break
            height, width = struct.unpack(">HH", data[p + 5:p + 9])
            return width, height
        if marker == 0xDA:
            break
        p += 2 + seg
    raise FramingError("JPEG without a frame header")


def parse_text(body):
    raw = body[:TEXT_SIZE]
    end = raw.find(b"\0")
    if end < 0:
        raise FramingError("request text without its terminator")
    if any(raw[end:]):
        raise FramingError("request text not padded with zeros")
    text = raw[:end].decode("ascii", "replace")
    path, _, query = text.partition("?")
    if path not in ("/set4Jpegs", "/stream4Jpegs"):
        raise FramingError("unknown request %r" % path)
    params = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
    try:
        lengths = [int(params["l%d" % i]) for i in range(4)]
    except (KeyError, ValueError):
        raise FramingError("request text without lengths l0..l3")
    if any(n < 0 for n in lengths):
        raise FramingError("negative picture length")
    return text, path, params, lengths


class State:
    def __init__(self, fault, log_path, save_dir, slow_rate=SLOW_CHUNK / SLOW_PAUSE):
        self.fault = fault
        # Slow reads: chunks of at most SLOW_CHUNK bytes, paced to slow_rate.
        self.slow_chunk = max(1, min(SLOW_CHUNK, int(slow_rate * SLOW_PAUSE)))
        self.slow_pause = self.slow_chunk / float(slow_rate)
        self.lock = threading.Lock()
        self.latest = [None] * 4
        self.counts = {"connections": 0, "messages": 0, "set": 0, "stream": 0, "errors": 0, "replies": 0}
        self.log_path = log_path
        self.save_dir = save_dir

    def log(self, entry):
        entry["time"] = time.time()
        line = json.dumps(entry, sort_keys=True)
        with self.lock:
            if self.log_path:
                with open(self.log_path, "a") as f:
                    f.write(line + "\n")

    def count(self, key, n=1):
        with self.lock:
            self.counts[key] += n

    def keep(self, i, data):
        with self.lock:
            self.latest[i] = data
        if self.save_dir:
            path = os.path.join(self.save_dir, "input%d.jpg" % i)
            # One temporary per handler thread: two connections may keep
            # the same input's picture at once.
            tmp = "%s.new.%d" % (path, threading.get_ident())
            with open(tmp, "wb") as f:
                f.write(data)
            os.replace(tmp, path)

    def picture(self, i):
        with self.lock:
            return self.latest[i]

    def stats(self):
        with self.lock:
            s = dict(self.counts)
            s["fault"] = self.fault
            s["inputs"] = [len(p) if p else 0 for p in self.latest]
        return s


class StreamHandler(socketserver.BaseRequestHandler):
    def setup(self):
        self.state = self.server.state
        if self.state.fault == "slow":
            self.request.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SLOW_RECEIVE_BUFFER)
        self.state.count("connections")
        self.state.log({"event": "connect", "peer": "%s:%d" % self.client_address})

    def read_exact(self, n, slow=False):
        chunks = []
        left = n
        while left > 0:
            if slow:
                time.sleep(self.state.slow_pause)
            chunk = self.request.recv(min(left, self.state.slow_chunk if slow else 1 << 16))
            if not chunk:
                return None
            chunks.append(chunk)
            left -= len(chunk)
        return b"".join(chunks)

    def handle(self):
        fault = self.state.fault
        slow = fault == "slow"
        while True:
            header = self.read_exact(12, slow)
            if header is None:
                self.state.log({"event": "disconnect"})
                return
            marker, length = struct.unpack(">QI", header)
            if marker != MARKER:
                return self.reject("wrong marker %d" % marker, header)
            if length < TEXT_SIZE or length > MAX_BODY:
                return self.reject("wrong body length %d" % length, header)
            if fault == "close-mid":
                # Read part of the body, then drop the connection.
                self.read_exact(min(length, TEXT_SIZE), slow)
                self.state.log({"event": "closed-mid-message", "length": length})
                self.request.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                return
            body = self.read_exact(length, slow)
            if body is None:
                return self.reject("connection closed inside a message of %d bytes" % length, header)
            try:
                text, path, params, lengths = parse_text(body)
                if TEXT_SIZE + sum(lengths) != length:
                    raise FramingError("lengths %s do not add up to the body length %d" % (lengths, length))
                pictures = []
                p = TEXT_SIZE
                for i, n in enumerate(lengths):
                    if n == 0:
                        pictures.append(None)
                        continue
                    data = body[p:p + n]
                    p += n
                    w, h = jpeg_size(data)
                    pictures.append({"input": i, "bytes": n, "width": w, "height": h})
                    self.state.keep(i, data)
            except FramingError as e:
                return self.reject(str(e), header)
            mode = "stream" if path == "/stream4Jpegs" else "set"
            self.state.count("messages")
            self.state.count(mode)
            self.state.log({"event": "message", "mode": mode, "text": text, "length": length,
                            "header": header.hex(), "idx": params.get("idx"),
                            "deviceid": params.get("deviceid"), "ver": params.get("ver"),
                            "pictures": [x for x in pictures if x]})
            if mode == "set" and fault != "silent":
                reply = b"request accepted: success" if fault != "nosuccess" else b"request refused"
                self.request.sendall(reply)
                self.state.count("replies")

    def reject(self, reason, header):
        self.state.count("errors")
        self.state.log({"event": "error", "reason": reason, "header": header.hex()})


class StreamServer(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>capture module stream</title>
<style>body{font-family:sans-serif;background:#222;color:#eee}
div{display:inline-block;margin:8px;text-align:center}img{min-width:160px;min-height:90px;background:#444}</style>
</head><body><h3>capture module stream</h3>
%s
<p id="s"></p>
<script>
function tick(){
  var t = Date.now();
  for (var i = 0; i < 4; i++) document.getElementById("i"+i).src = "/input/"+i+".jpg?"+t;
  fetch("/stats").then(r => r.json()).then(s => {document.getElementById("s").textContent = JSON.stringify(s);});
}
setInterval(tick, 500); tick();
</script></body></html>
"""


class ViewHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def send(self, code, ctype, data):
        self.send_response(code)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        state = self.server.state
        path = urllib.parse.urlparse(self.path).path
        if path == "/":
            cells = "".join('<div><img id="i%d" alt="input %d"><br>input %d</div>' % (i, i, i) for i in range(4))
            return self.send(200, "text/html; charset=utf-8", (PAGE % cells).encode())
        if path == "/stats":
            return self.send(200, "application/json", json.dumps(state.stats()).encode())
        if path.startswith("/input/") and path.endswith(".jpg"):
            try:
                i = int(path[len("/input/"):-len(".jpg")])
            except ValueError:
                i = -1
            data = state.picture(i) if 0 <= i < 4 else None
            if data:
                return self.send(200, "image/jpeg", data)
        self.send(404, "text/plain", b"not found")


class ViewServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main(argv=None):
    ap = argparse.ArgumentParser(description="Reference streaming server (loopback only)")
    ap.add_argument("--address", default="127.0.0.1")
    ap.add_argument("--http-port", type=int, default=8081, help="0 for no viewing page")
    ap.add_argument("--fault", choices=FAULTS, default="none")
    ap.add_argument("--slow-rate", type=float, default=SLOW_CHUNK / SLOW_PAUSE, metavar="BYTES_PER_SECOND",
                    help="reading rate of the slow fault")
    ap.add_argument("--log")
    ap.add_argument("--save-dir")
    args = ap.parse_args(argv)
    try:
        if not ipaddress.ip_address(args.address).is_loopback:
            raise ValueError
    except ValueError:
        print("only loopback addresses (127.0.0.0/8) are served: %s" % args.address, file=sys.stderr)
        return 2
    if args.slow_rate <= 0:
        print("--slow-rate must be above 0", file=sys.stderr)
        return 2
    state = State(args.fault, args.log, args.save_dir, args.slow_rate)
    try:
        stream = StreamServer((args.address, PORT), StreamHandler)
        view = ViewServer((args.address, args.http_port), ViewHandler) if args.http_port else None
    except OSError as e:
        print("cannot listen on %s: %s" % (args.address, e), file=sys.stderr)
        return 2
    stream.state = state
    threading.Thread(target=stream.serve_forever, daemon=True).start()
    if view:
        view.state = state
        threading.Thread(target=view.serve_forever, daemon=True).start()
    print("listening on %s:%d http %d" % (args.address, PORT, view.server_address[1] if view else 0), flush=True)
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
