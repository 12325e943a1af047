#!/usr/bin/env python3
"""A static HTTP server for the patcher's tests, with faults on request.

Serves ROOT on 127.0.0.1 (port 0 = any free one) like python's http.server and
prints "PORT <n>" once it listens. Paths below /fault/ misbehave on purpose:
  /fault/nolength     200 without Content-Length, then closes
  /fault/truncated    announces 100 bytes, sends 40, closes
  /fault/stall        announces 100 bytes, sends 10, then nothing for 30 s
  /fault/trickle      announces 100 bytes, sends one a second
  /fault/longer       announces 5 bytes, sends 20
  /fault/huge         announces 2^40 bytes
  /fault/empty        200 with Content-Length 0
  /fault/partial      206 with the first half of 100 bytes, asked or not
  /fault/whole206     206 with all of its 100 bytes, asked or not
  /fault/status500    500 with a body and its length
  /fault/redirect     302 to /allow.txt
  /fault/to/URL       302 to URL (any scheme, any server)
  /fault/gzip         "allow" gzip-compressed, with Content-Encoding: gzip
                      although the request asked for no encoding
  /fault/IDENTITY     "plain" with Content-Encoding: IDENTITY, no coding in
                      capitals
Every request line is appended to ROOT/../requests.log, and the number of
requests being answered as it came (itself counted) to ROOT/../answering.log.

With "--faults FILE", any path of the tree can misbehave as well. FILE is
JSON, read again for each request (missing or empty: no faults), mapping a
request path to a rule:
  {"status": 404}          that status with a short body
  {"body": "text"}         these bytes instead of the file ("body_file": a path)
  {"flip": n}              the file with its byte n (modulo the size) inverted
  {"length": n}            announces n bytes whatever is sent
  {"send": n}              sends only the first n bytes, then closes
  {"stall": s}             after what was sent, nothing for s seconds
  {"drop": true}           closes the connection without an answer (after
                           "stall" seconds when given)
  {"trickle": n}           sends n bytes a second
  {"endless": true}        sends zero bytes after the body until the client goes
  {"encoding": "gzip"}     the body gzip-compressed, with that Content-Encoding
  {"busy": n}              503, as nginx's limit_conn answers, while n other
                           requests are being answered
  {"turned_away": n}       503 for the first n requests of that path
  {"hold": s}              waits s seconds before answering (a request it
                           takes, not one "busy" turns away)
Keys combine: {"send": 1000, "stall": 90} is a body that stops.

With "--ranges" a request for "Range: bytes=N-" of a file of the tree gets
206 and the rest of the file from N (416 when N is at or past its end), as a
production server answers; without it the Range is ignored, as by python's
http.server. A request with a Range is logged with it ("GET /x bytes=N-").

With "--tls CERT KEY" the server speaks https with that certificate.
"""
import gzip
import http.server
import json
import os
import re
import ssl
import sys
import threading
import time
import urllib.parse

# Requests being answered now, for the "busy" rule, and how often each path
# was asked for, for "turned_away".
answering = 0
asked_for = {}
answering_lock = threading.Lock()


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):
        wanted = self.headers.get("Range") if self.headers else None
        asked = " " + wanted if wanted else ""
        with open(os.path.join(os.path.dirname(self.directory), "requests.log"), "a") as log:
            log.write("%s %s%s\n" % (self.command, self.path, asked))

    def ranged(self):
        """The rest of a file from the asked offset, or None to answer whole."""
        match = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range") or "")
        data = self.file_bytes() if match else None
        if data is None:
            return None
        start = int(match.group(1))
        if start >= len(data):
            self.raw(416, [("Content-Range", "bytes */%d" % len(data)), ("Content-Length", "0")], b"")
        else:
            self.raw(206, [("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data))),
                           ("Content-Length", str(len(data) - start))], data[start:])
        return True

    def raw(self, status, headers, body, close_after=None, pause=0, trickle=0, endless=False):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        data = body if close_after is None else body[:close_after]
        try:
            step = trickle or len(data) or 1
            for at in range(0, len(data), step):
                # With its last bytes out, the client may ask again at once:
                # this answer no longer counts as one being given.
                if at + step >= len(data):
                    self.done_answering()
                self.wfile.write(data[at:at + step])
                self.wfile.flush()
                if trickle and at + step < len(data):
                    time.sleep(1)
            while endless:
                self.wfile.write(bytes(65536))
        except (BrokenPipeError, ConnectionResetError):
            return
        if pause:
            time.sleep(pause)

    def translate_path(self, path):
        # Names on disk are bytes, as for any web server: a %XX that is no
        # UTF-8 (the packed form of "caf\u00e9" ends in %C3) still finds its file.
        path = path.split("?", 1)[0].split("#", 1)[0]
        name = urllib.parse.unquote(path, errors="surrogateescape")
        parts = [p for p in name.split("/") if p not in ("", ".", "..")]
        result = os.path.join(self.directory, *parts)
        return result + "/" if path.endswith("/") else result

    def rule(self):
        path = self.server.faults_path
        if not path:
            return None
        try:
            with open(path, "rb") as f:
                rules = json.loads(f.read() or b"{}")
        except FileNotFoundError:
            return None
        return rules.get(self.path.split("?", 1)[0])

    def file_bytes(self):
        path = self.translate_path(self.path)
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def faulty(self, rule):
        with answering_lock:
            asked_for[self.path] = times = asked_for.get(self.path, 0) + 1
        if ("busy" in rule and self.others >= int(rule["busy"])) or times <= int(rule.get("turned_away", 0)):
            body = b"busy"
            return self.raw(503, [("Content-Length", str(len(body)))], body)
        time.sleep(float(rule.get("hold", 0)))
        if rule.get("drop"):
            time.sleep(float(rule.get("stall", 0)))
            self.close_connection = True
            return None
        if "status" in rule:
            body = b"fault"
            return self.raw(int(rule["status"]), [("Content-Length", str(len(body)))], body)
        if "body" in rule:
            data = rule["body"].encode("utf-8", "surrogateescape")
        elif "body_file" in rule:
            with open(rule["body_file"], "rb") as f:
                data = f.read()
        else:
            data = self.file_bytes()
            if data is None:
                return self.send_error(404)
        if "flip" in rule and data:
            at = int(rule["flip"]) % len(data)
            data = data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]
        headers = []
        if "encoding" in rule:
            data = gzip.compress(data)
            headers.append(("Content-Encoding", rule["encoding"]))
        length = int(rule.get("length", len(data)))
        send = int(rule.get("send", len(data)))
        return self.raw(200, headers + [("Content-Length", str(length))], data, close_after=send,
                        pause=float(rule.get("stall", 0)), trickle=int(rule.get("trickle", 0)),
                        endless=bool(rule.get("endless")))

    def do_GET(self):
        global answering
        with answering_lock:
            answering += 1
            # Judged as it arrives, as a server's own counter is: requests
            # that come at once do not all count each other.
            self.others = answering - 1
            with open(os.path.join(os.path.dirname(self.directory), "answering.log"), "a") as log:
                log.write("%d\n" % answering)
        self.counted = True
        try:
            return self.answer()
        finally:
            self.done_answering()

    def done_answering(self):
        global answering
        if getattr(self, "counted", False):
            self.counted = False
            with answering_lock:
                answering -= 1

    def answer(self):
        p = self.path
        rule = self.rule()
        if rule is not None:
            return self.faulty(rule)
        if p == "/fault/nolength":
            return self.raw(200, [], b"x" * 50)
        if p == "/fault/IDENTITY":
            return self.raw(200, [("Content-Encoding", "IDENTITY"), ("Content-Length", "5")], b"plain")
        if p == "/fault/truncated":
            return self.raw(200, [("Content-Length", "100")], b"t" * 100, close_after=40)
        if p == "/fault/trickle":
            return self.raw(200, [("Content-Length", "100")], b"t" * 100, trickle=1)
        if p == "/fault/stall":
            return self.raw(200, [("Content-Length", "100")], b"s" * 100, close_after=10, pause=30)
        if p == "/fault/longer":
            return self.raw(200, [("Content-Length", "5")], b"l" * 20)
        if p == "/fault/huge":
            return self.raw(200, [("Content-Length", str(1 << 40))], b"h" * 1000)
        if p == "/fault/empty":
            return self.raw(200, [("Content-Length", "0")], b"")
        if p == "/fault/partial":
            return self.raw(206, [("Content-Range", "bytes 0-49/100"), ("Content-Length", "50")], b"p" * 50)
        if p == "/fault/whole206":
            return self.raw(206, [("Content-Range", "bytes 0-99/100"), ("Content-Length", "100")], b"w" * 100)
        if p == "/fault/status500":
            return self.raw(500, [("Content-Length", "5")], b"oops!")
        if p.startswith("/fault/to/"):
            return self.raw(302, [("Location", p[len("/fault/to/"):]), ("Content-Length", "0")], b"")
        if p == "/fault/gzip":
            body = gzip.compress(b"allow")
            return self.raw(200, [("Content-Encoding", "gzip"), ("Content-Length", str(len(body)))], body)
        if p == "/fault/redirect":
            return self.raw(302, [("Location", "/allow.txt"), ("Content-Length", "0")], b"")
        if self.server.ranges and self.ranged():
            return None
        return super().do_GET()


def main():
    args = sys.argv[1:]
    faults = tls = None
    ranges = "--ranges" in args
    if ranges:
        args.remove("--ranges")
    if "--faults" in args:
        at = args.index("--faults")
        faults = args[at + 1]
        del args[at:at + 2]
    if "--tls" in args:
        at = args.index("--tls")
        tls = args[at + 1:at + 3]
        del args[at:at + 3]
    root, port = args[0], int(args[1]) if len(args) > 1 else 0
    handler = lambda *a, **k: Handler(*a, directory=root, **k)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    server.faults_path = faults
    server.ranges = ranges
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(tls[0], tls[1])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
