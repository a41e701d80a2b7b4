#!/usr/bin/env python3
"""A mirror site that misbehaves on purpose, for the failover tests.

Usage: fault_mirror.py PORT ROOT RULES LOG

Serves the objects below ROOT over HTTP on 127.0.0.1:PORT. RULES holds
lines "PATH MODE"; a request for PATH is then answered by MODE:
  missing  404 with an HTML error page
  corrupt  the object with one byte in its middle flipped
  cut      the first half of the object only
  plus1    a valid object of the file with one byte more
  minus1   a valid object of the file with one byte less
  other    a valid object of the right size with other bytes (one flipped)
  empty    200 with an empty body
  drop     the connection is closed without any reply
  trickle  the object, one byte every 2 s (until the client goes away)
Any other path is served as it is (404 when ROOT lacks it). Every reply
closes its connection, so no client ever waits on a silent server (a trickle
is never silent for long). Each
request is appended to LOG as "PATH MODE". Prints "ready" once listening.
"""
import http.server
import os
import sys
import threading
import time
import zlib

port, root, rules_path, log_path = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
rules = {}
with open(rules_path) as f:
    for line in f:
        if line.strip():
            path, mode = line.split()
            rules[path] = mode
log_lock = threading.Lock()


def reshape(data, mode):
    if mode == "corrupt":
        middle = len(data) // 2
        return data[:middle] + bytes([data[middle] ^ 0x5A]) + data[middle + 1:]
    if mode == "cut":
        return data[: len(data) // 2]
    if mode == "plus1":
        return zlib.compress(zlib.decompress(data) + b"\x00")
    if mode == "minus1":
        return zlib.compress(zlib.decompress(data)[:-1])
    if mode == "other":
        raw = bytearray(zlib.decompress(data))
        raw[len(raw) // 2] ^= 0x01
        return zlib.compress(bytes(raw))
    if mode == "empty":
        return b""
    return data


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, *args):
        pass

    def do_GET(self):
        mode = rules.get(self.path, "serve")
        with log_lock, open(log_path, "a") as log:
            log.write("%s %s\n" % (self.path, mode))
        if mode == "drop":
            self.close_connection = True
            return
        file_path = os.path.join(root, self.path.lstrip("/"))
        if mode == "missing" or not os.path.isfile(file_path):
            self.reply(404, b"<html><body>404 Not Found</body></html>", "text/html")
            return
        with open(file_path, "rb") as f:
            body = reshape(f.read(), mode)
        if mode == "trickle":
            self.trickle(body)
            return
        self.reply(200, body, "application/octet-stream")

    def trickle(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        try:
            for i in range(len(body)):
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(2)
        except OSError:
            pass

    def reply(self, status, body, kind):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)


server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
server.daemon_threads = True
print("ready", flush=True)
server.serve_forever()
