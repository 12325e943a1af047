#!/usr/bin/env python3
"""A static HTTP server for the patcher's tests, with faults on request.

Serves ROOT on 127.0.0.1 (port 0 = any free one) like python's http.server and
prints "PORT <n>" once it listens. Paths below /fault/ misbehave on purpose:
  /fault/nolength     200 without Content-Length, then closes
  /fault/truncated    announces 100 bytes, sends 40, closes
  /fault/stall        announces 100 bytes, sends 10, then nothing for 30 s
  /fault/longer       announces 5 bytes, sends 20
  /fault/huge         announces 2^40 bytes
  /fault/empty        200 with Content-Length 0
  /fault/status500    500 with a body and its length
  /fault/redirect     302 to /allow.txt
Every request line is appended to ROOT/../requests.log.
"""
import http.server
import os
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):
        with open(os.path.join(os.path.dirname(self.directory), "requests.log"), "a") as log:
            log.write("%s %s\n" % (self.command, self.path))

    def raw(self, status, headers, body, close_after=None, pause=0):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        data = body if close_after is None else body[:close_after]
        self.wfile.write(data)
        self.wfile.flush()
        if pause:
            time.sleep(pause)

    def do_GET(self):
        p = self.path
        if p == "/fault/nolength":
            return self.raw(200, [], b"x" * 50)
        if p == "/fault/truncated":
            return self.raw(200, [("Content-Length", "100")], b"t" * 100, close_after=40)
        if p == "/fault/stall":
            return self.raw(200, [("Content-Length", "100")], b"s" * 100, close_after=10, pause=30)
        if p == "/fault/longer":
            return self.raw(200, [("Content-Length", "5")], b"l" * 20)
        if p == "/fault/huge":
            return self.raw(200, [("Content-Length", str(1 << 40))], b"h" * 1000)
        if p == "/fault/empty":
            return self.raw(200, [("Content-Length", "0")], b"")
        if p == "/fault/status500":
            return self.raw(500, [("Content-Length", "5")], b"oops!")
        if p == "/fault/redirect":
            return self.raw(302, [("Location", "/allow.txt"), ("Content-Length", "0")], b"")
        return super().do_GET()


def main():
    root, port = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 0
    handler = lambda *a, **k: Handler(*a, directory=root, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
