#!/usr/bin/env python3
"""HTTP server for tests: serves files from a directory and misbehaves on request.

Binds 127.0.0.1 only. With --port 0 (the default) it takes a free port and reports it as a
line "PORT <n>" on stdout and, with --port-file, in that file (written atomically); --port N
takes port N (443 needs root). It exits by itself after --lifetime seconds, or as soon as its
parent process goes away.

Every GET or HEAD for a path outside /_control/ serves the file under --root, shaped by query
parameters (they combine where that makes sense):

  status=N        answer with status N and a short text body instead of the file
  redirect=URL    answer 302 (or redirectstatus=N) with Location: URL
  fail=N          the first N requests for this path (or key=K) answer failstatus (500), then normal
  failbody=BYTES  with fail=N: each failing reply has a body of BYTES bytes and its Content-Length;
                  the connection stays open
  key=K           counter name for fail=N; default is the path
  nolength=1      200 without Content-Length; the body ends when the connection closes
  empty=1         200 with an empty body and Content-Length: 0
  hang=1          accept the request and never answer
  stall=1         send the headers with the full Content-Length, half the body, then stall
  delay=MS        wait MS milliseconds before answering
  drip=MS         send the body in pieces of chunk=BYTES (default 1024), MS milliseconds apart
  endless=1       200 without Content-Length: the file, then zero bytes without end until the
                  client closes the connection or the server stops
  chunked=1       with endless=1: the same body in chunked transfer encoding, as fast as it goes
  length=N        the file with the header Content-Length: N whatever its real length; the
                  connection closes after the file
  junk=MIB        200 with MIB MiB of zero bytes and their Content-Length (no file needed)
  only=SUFFIX     the other parameters apply only to paths that end with SUFFIX; any other path
                  is served as if none were given
  encoding=NAME   the file with the header Content-Encoding: NAME, its bytes unchanged
  gzipbomb=MIB    200 with Content-Encoding: gzip, whatever the client asked for: about a
                  thousandth of MIB MiB that inflate to MIB MiB of zero bytes (no file needed)
  endlesshead=K   a reply head that never ends, sent as fast as the client reads: K is
                  "status" (one status line), "line" (one header line), "fields" (header fields
                  without end) or "chunksize" (a whole head, then one chunk-size line); the log
                  gets "CLOSED <path>" once the client has closed the connection;
                  with pace=MS, in pieces of 1 KiB sent MS milliseconds apart; piece=BYTES
                  makes them BYTES bytes ("status", "line" and "chunksize")
  fields=N        the file with N distinct extra header fields before its body
  chunks=N        the file in chunked transfer encoding, chunks of N bytes (the last one may be
                  shorter), then the zero chunk; the connection stays open
  records=M       the body (plain or chunked) goes out in writes of M bytes each; over TLS each
                  write is a record of its own (for M up to 16384)
  cutonce=BYTES   the first request for this path (or key=K) gets only BYTES bytes of its body,
                  as framed (chunks=N), and then the connection closes; later ones get it whole
  close=1         the reply carries "Connection: close" and the connection closes after it
  proxyauth=endless  407 with Proxy-Authenticate: Basic and a chunked body without end, 64 KiB
                  chunks of zero bytes as fast as the client reads; the log gets "CLOSED <path>"
                  once the client has closed the connection

The same parameters may come in the path, for clients that cannot send a query: a path
segment "_do:<query>" (e.g. /base/_do:status=404&fail=2/1234/a.bin, percent-encoded or not) is
taken out of the path and its parameters are added to the query; a "/" inside a value is
written %2F.

Control URLs (not counted as requests):

  /_control/stats     JSON {"active": a, "peak": p, "total": t}: requests being served now,
                      the most at once, and all served since the last reset
  /_control/reset     zeroes peak, total, the fail counters and the request list
  /_control/requests  JSON list of {"method", "path", "headers"} of the served requests

--log FILE appends one line per request: method, path, and the Via header if any.
--query QUERY adds its parameters to every request, for clients whose URL is fixed.

--tls-cert FILE --tls-key FILE: connections that open with a TLS handshake speak https; plain
text on the same port is served only for /_control/, so the fixture reads the state as before.
--tls-version 1.2|1.3 allows that version only; --tls-ciphers LIST sets the TLS 1.2 ciphers
(OpenSSL names, e.g. AES128-SHA). tests/support/maketlscert.sh makes a CA and a certificate.
"""

import argparse
import functools
import http.server
import json
import os
import select
import shutil
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse
import zlib

STOP = threading.Event()


class State:
    def __init__(self):
        self.lock = threading.Lock()
        self.active = 0
        self.peak = 0
        self.total = 0
        self.failures = {}
        self.requests = []

    def enter(self, record):
        with self.lock:
            self.active += 1
            self.total += 1
            self.peak = max(self.peak, self.active)
            self.requests.append(record)

    def leave(self):
        with self.lock:
            self.active -= 1

    def reset(self):
        with self.lock:
            self.peak = self.active
            self.total = 0
            self.failures.clear()
            self.requests = []

    def count_failure(self, key, limit):
        """True while `key` has failed fewer than `limit` times; counts this failure."""
        with self.lock:
            done = self.failures.get(key, 0)
            if done >= limit:
                return False
            self.failures[key] = done + 1
            return True


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VoxlaneTestServer/1"
    # Headers and body go out in separate writes: with Nagle's algorithm the body of every
    # keep-alive reply would wait for the client's delayed acknowledgement of the headers.
    disable_nagle_algorithm = True
    # Set for each request from its parameters.
    records = 0
    close_after = False

    def log_message(self, fmt, *args):
        pass

    def do_HEAD(self):
        self.handle_request(head=True)

    def do_GET(self):
        self.handle_request(head=False)

    def handle_request(self, head):
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        segments = []
        for segment in (urllib.parse.unquote(raw) for raw in url.path.split("/")):
            if segment.startswith("_do:"):
                query.update(urllib.parse.parse_qsl(segment[len("_do:"):], keep_blank_values=True))
            else:
                segments.append(segment)
        path = "/".join(segments)
        query = dict(urllib.parse.parse_qsl(self.server.query, keep_blank_values=True), **query)
        if "only" in query and not path.endswith(query["only"]):
            query = {}
        self.records = int(query.get("records", "0"))
        self.close_after = "close" in query
        if path.startswith("/_control/"):
            self.control(path[len("/_control/"):])
            return
        if self.server.tls and not isinstance(self.connection, ssl.SSLSocket):
            self.close_connection = True
            return
        state = self.server.state
        state.enter({"method": self.command, "path": self.path, "headers": dict(self.headers.items())})
        self.log("%s %s %s" % (self.command, self.path, self.headers.get("Via", "-")))
        try:
            self.serve(path, query, head)
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            state.leave()

    def control(self, what):
        state = self.server.state
        if what == "stats":
            with state.lock:
                body = {"active": state.active, "peak": state.peak, "total": state.total}
        elif what == "reset":
            state.reset()
            body = {"ok": True}
        elif what == "requests":
            with state.lock:
                body = list(state.requests)
        else:
            self.send_text(404, "unknown control")
            return
        self.send_bytes(200, json.dumps(body).encode(), "application/json")

    def serve(self, path, query, head):
        if "delay" in query:
            if STOP.wait(int(query["delay"]) / 1000.0):
                return
        if "hang" in query:
            self.close_connection = True
            self.wait_for_disconnect()
            return
        if "fail" in query:
            key = query.get("key", path)
            if self.server.state.count_failure(key, int(query["fail"])):
                if "failbody" in query:
                    self.send_bytes(int(query.get("failstatus", "500")), b"f" * int(query["failbody"]),
                                    "text/plain")
                else:
                    self.send_text(int(query.get("failstatus", "500")), "failing on purpose")
                return
        if "status" in query:
            self.send_text(int(query["status"]), "status on request")
            return
        if "redirect" in query:
            self.send_response(int(query.get("redirectstatus", "302")))
            self.send_header("Location", query["redirect"])
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if "empty" in query:
            self.send_bytes(200, b"")
            return
        if "gzipbomb" in query:
            self.send_gzip_bomb(int(query["gzipbomb"]), head)
            return
        if "junk" in query:
            self.send_junk(int(query["junk"]), head)
            return
        if "endlesshead" in query:
            self.send_endless_head(query["endlesshead"], int(query.get("pace", "0")), query.get("piece"))
            self.log("CLOSED %s" % self.path)
            return
        if query.get("proxyauth") == "endless":
            self.send_endless_proxy_auth(head)
            self.log("CLOSED %s" % self.path)
            return

        data = self.read_file(path)
        if data is None:
            self.send_text(404, "not found")
            return

        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if "encoding" in query:
            self.send_header("Content-Encoding", query["encoding"])
        if ("endless" in query and "chunked" in query) or "chunks" in query:
            self.send_header("Transfer-Encoding", "chunked")
        elif "nolength" in query or "endless" in query:
            self.send_header("Connection", "close")
            self.close_connection = True
        elif "length" in query:
            self.send_header("Content-Length", query["length"])
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(len(data)))
        for n in range(int(query.get("fields", "0"))):
            self.send_header("X-Field-%d" % n, "v")
        self.end_headers()
        if head:
            return
        if "chunks" in query and "endless" not in query:
            data = frame_chunks(data, max(1, int(query["chunks"])))
        if "cutonce" in query and self.server.state.count_failure("cut " + query.get("key", path), 1):
            self.write_body(data[: int(query["cutonce"])])
            self.close_connection = True
            return
        if "stall" in query:
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.wait_for_disconnect()
            return
        if "endless" in query:
            self.send_endless(data, "chunked" in query or "chunks" in query)
            return
        if "drip" in query:
            pause = int(query["drip"]) / 1000.0
            chunk = max(1, int(query.get("chunk", "1024")))
            for start in range(0, len(data), chunk):
                self.wfile.write(data[start:start + chunk])
                self.wfile.flush()
                if STOP.wait(pause):
                    return
            return
        self.write_body(data)

    def end_headers(self):
        # Not from close_connection: a client's own "Connection: close" sets that too.
        sent = b"".join(self._headers_buffer).lower()
        if self.close_after and b"\r\nconnection:" not in sent:
            self.send_header("Connection", "close")
        super().end_headers()

    def write_body(self, body):
        step = self.records or len(body) or 1
        view = memoryview(body)
        for start in range(0, len(body), step):
            self.wfile.write(view[start:start + step])

    def send_gzip_bomb(self, mebibytes, head):
        body = gzip_bomb(mebibytes)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def send_endless(self, data, chunked):
        padding = bytes(65536)
        if chunked:
            if data:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
            padding = b"%x\r\n%s\r\n" % (len(padding), padding)
        else:
            self.wfile.write(data)
        while not STOP.is_set():
            self.wfile.write(padding)

    def send_endless_proxy_auth(self, head):
        """Returns once the client has closed the connection or the server stops."""
        self.close_connection = True
        self.send_response(407)
        self.send_header("Proxy-Authenticate", 'Basic realm="test"')
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        if not head:
            try:
                self.send_endless(b"", True)
            except OSError:
                pass

    def send_endless_head(self, kind, pace, piece):
        """Returns once the client has closed the connection or the server stops."""
        self.close_connection = True
        starts = {
            "status": b"HTTP/1.1 200 OK",
            "line": b"HTTP/1.1 200 OK\r\nX-Endless: ",
            "fields": b"HTTP/1.1 200 OK\r\n",
            "chunksize": b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
        }
        if kind == "fields":
            padding = b"".join(b"X-Field-%d: v\r\n" % n for n in range(4096))
        else:
            padding = b"0" * int(piece or 65536)
        if pace and not piece:
            padding = padding[:1024]
        try:
            self.wfile.write(starts[kind])
            while not STOP.wait(pace / 1000.0):
                self.wfile.write(padding)
        except OSError:
            pass

    def log(self, line):
        if self.server.log_file:
            with self.server.log_lock, open(self.server.log_file, "a") as log:
                log.write(line + "\n")

    def send_junk(self, mebibytes, head):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(mebibytes << 20))
        self.end_headers()
        if head:
            return
        block = bytes(1 << 20)
        for _ in range(mebibytes):
            if STOP.is_set():
                return
            self.wfile.write(block)

    def wait_for_disconnect(self):
        """Holds the connection open, silent, until the client closes it or the server stops."""
        while not STOP.is_set():
            readable, _, _ = select.select([self.connection], [], [], 0.1)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except OSError:
                    return

    def read_file(self, path):
        root = os.path.realpath(self.server.root)
        full = os.path.realpath(os.path.join(root, path.lstrip("/")))
        if os.path.commonpath([root, full]) != root or not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()

    def send_text(self, status, text):
        self.send_bytes(status, (text + "\n").encode(), "text/plain")

    def send_bytes(self, status, body, content_type="application/octet-stream"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.write_body(body)


@functools.lru_cache(maxsize=4)
def frame_chunks(data, size):
    """`data` in chunked transfer encoding. Built by joins, not a write per chunk: with one-byte
    chunks a loop would take longer than the client's patience."""
    full = len(data) - len(data) % size
    parts = []
    if full:
        separator = b"\r\n%x\r\n" % size
        parts += [b"%x\r\n" % size, separator.join([data[i:i + size] for i in range(0, full, size)]), b"\r\n"]
    if full < len(data):
        parts.append(b"%x\r\n%s\r\n" % (len(data) - full, data[full:]))
    parts.append(b"0\r\n\r\n")
    return b"".join(parts)


@functools.lru_cache(maxsize=None)
def gzip_bomb(mebibytes):
    """A gzip member of `mebibytes` MiB of zeros, made fast: after a full flush the deflate coder
    starts afresh, so every MiB of zeros codes to the same bytes, which are repeated."""
    zeros = bytes(1 << 20)
    coder = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = coder.compress(zeros) + coder.flush(zlib.Z_FULL_FLUSH)
    crc = 0
    for _ in range(mebibytes):
        crc = zlib.crc32(zeros, crc)
    header = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"
    trailer = struct.pack("<II", crc, (mebibytes << 20) & 0xFFFFFFFF)
    return header + block * mebibytes + coder.flush() + trailer


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64
    tls = None

    def finish_request(self, request, client_address):
        # TLS is taken up per connection, in the connection's own thread: a client that stalls in
        # its handshake holds up nobody else, and plain control requests still get through.
        if self.tls:
            try:
                if request.recv(1, socket.MSG_PEEK) == b"\x16":
                    request = self.tls.wrap_socket(request, server_side=True)
            except OSError:
                return
        try:
            super().finish_request(request, client_address)
        finally:
            if isinstance(request, ssl.SSLSocket):
                close_tls(request)


def close_tls(connection):
    """Sends close_notify, so that a body that ends with the connection is seen to end whole."""
    try:
        connection.settimeout(1.0)
        connection.unwrap()
    except (OSError, ValueError):
        pass
    connection.close()


def watchdog(lifetime, parent):
    deadline = time.monotonic() + lifetime
    while time.monotonic() < deadline:
        if os.getppid() != parent:
            break
        time.sleep(0.2)
    STOP.set()
    sys.stdout.flush()
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=".", help="directory whose files are served")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1; 0 takes a free one")
    parser.add_argument("--port-file", help="file that receives the port number")
    parser.add_argument("--lifetime", type=float, default=300.0, help="seconds until the server exits")
    parser.add_argument("--log", help="file that receives one line per request")
    parser.add_argument("--query", default="", help="parameters added to every request")
    parser.add_argument("--tls-cert", help="PEM certificate (chain): speak https")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    parser.add_argument("--tls-version", choices=["1.2", "1.3"], help="the only TLS version allowed")
    parser.add_argument("--tls-ciphers", help="TLS 1.2 cipher list in OpenSSL's notation")
    args = parser.parse_args()

    server = Server(("127.0.0.1", args.port), Handler)
    server.root = args.root
    server.state = State()
    server.log_file = args.log
    server.query = args.query
    server.log_lock = threading.Lock()
    if args.tls_cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.tls_cert, args.tls_key)
        if args.tls_version:
            version = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}[args.tls_version]
            server.tls.minimum_version = server.tls.maximum_version = version
        if args.tls_ciphers:
            server.tls.set_ciphers(args.tls_ciphers)
    port = server.server_address[1]

    threading.Thread(target=watchdog, args=(args.lifetime, os.getppid()), daemon=True).start()
    if args.port_file:
        tmp = args.port_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % port)
        shutil.move(tmp, args.port_file)
    print("PORT %d" % port, flush=True)
    server.serve_forever(poll_interval=0.1)


if __name__ == "__main__":
    main()
