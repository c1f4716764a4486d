#!/usr/bin/env python3
"""Scriptable HTTP/HTTPS server for tests (standard library only).

    http_server.py [--address ADDR] [--port N] [--root DIR] [--cert FILE --key FILE]

Prints "port N" on standard output once it listens, then reads one JSON
command per line from standard input and answers each with "ok" (or
"error <text>"). It ends when standard input is closed.

Commands:
  {"cmd": "set", "path": P, "responses": [R, ...]}
      Answers requests for P (the full target with its query, or else the
      path without the query) with the responses in turn; the last one
      repeats once the list is used up.
  {"cmd": "auth", "prefix": P, "scheme": "Basic"|"Digest", "realm": R,
   "users": [[name, password], ...]}
      Requests whose path starts with P (the longest such prefix decides)
      need these credentials: otherwise 401 with a challenge (Digest: MD5,
      qop "auth"). An empty user list removes the rule.
  {"cmd": "proxy_auth", "realm": R, "users": [[name, password], ...]}
      Acts as a proxy that needs Basic credentials: every request without
      matching "Proxy-Authorization" gets 407 and a challenge. An empty user
      list removes the rule.
  {"cmd": "clear"}       forgets every rule and the request log
  {"cmd": "requests"}    one line per request received so far, then "ok":
                         R <tab> method <tab> target <tab> client port
                         (<tab> header name <tab> value)...
                         with "%", tab, CR and LF written as %25 %09 %0D %0A

A response R is an object with the optional keys:
  status          (default 200)
  headers         [[name, value], ...]
  body            text; or body_hex (bytes in hex); or body_size (that many
                  bytes of a fixed pattern); or file (a path to send)
  chunked         send the body with chunked transfer coding
  content_length  the Content-Length to announce, whatever the body's size
  close_after     send only this many body bytes, then drop the connection
  slow            {"chunk": bytes, "delay": seconds} between body pieces
  retry_after_in  adds "Retry-After" as an HTTP date this many seconds from now

Paths without a rule are served from --root when given (GET and HEAD, never
outside it); everything else is 404.
"""

import argparse
import base64
import email.utils
import hashlib
import json
import os
import posixpath
import socket
import ssl
import sys
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATTERN = bytes(range(256)) * 256  # 64 KiB


class State:
    def __init__(self, root):
        self.lock = threading.Lock()
        self.rules = {}  # target -> [responses, next index]
        self.auth = {}  # path prefix -> {"scheme", "realm", "users"}
        self.proxy_auth = None  # {"realm", "users"}
        self.nonce = 0
        self.log = []
        self.root = root

    def next_response(self, target):
        path = urllib.parse.urlsplit(target).path if "://" in target else target.split("?", 1)[0]
        with self.lock:
            rule = self.rules.get(target) or self.rules.get(path)
            if rule is None:
                return None
            responses, index = rule
            response = responses[min(index, len(responses) - 1)]
            rule[1] = index + 1
            return response


def pattern_bytes(size):
    while size > 0:
        piece = PATTERN[: min(size, len(PATTERN))]
        size -= len(piece)
        yield piece


def escape(text):
    return (
        text.replace("%", "%25").replace("\t", "%09").replace("\r", "%0D").replace("\n", "%0A")
    )


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestServer/1.0"
    state = None

    def log_message(self, format, *args):  # noqa: A002 - quiet
        pass

    def record(self):
        entry = [self.command, self.path, str(self.client_address[1])]
        for name, value in self.headers.items():
            entry += [name, value]
        with self.state.lock:
            self.state.log.append("R\t" + "\t".join(escape(e) for e in entry))

    def auth_rule(self):
        path = urllib.parse.urlsplit(self.path).path
        with self.state.lock:
            best = None
            for prefix, rule in self.state.auth.items():
                if path.startswith(prefix) and (best is None or len(prefix) > len(best[0])):
                    best = (prefix, rule)
        return best[1] if best else None

    def authorized(self, rule):
        header = self.headers.get("Authorization", "")
        users = dict(rule["users"])
        if rule["scheme"] == "Basic":
            if not header.startswith("Basic "):
                return False
            try:
                user, _, password = base64.b64decode(header[6:]).decode("utf-8").partition(":")
            except Exception:  # noqa: BLE001 - a broken header is a refusal
                return False
            return users.get(user) == password
        if not header.startswith("Digest "):
            return False
        fields = {}
        for item in urllib.request.parse_http_list(header[7:]):
            name, _, value = item.partition("=")
            fields[name.strip()] = value.strip().strip('"')
        user = fields.get("username")
        if user not in users or fields.get("realm") != rule["realm"]:
            return False

        def md5(text):
            return hashlib.md5(text.encode("utf-8")).hexdigest()

        ha1 = md5("%s:%s:%s" % (user, rule["realm"], users[user]))
        ha2 = md5("%s:%s" % (self.command, fields.get("uri", "")))
        expected = md5(
            "%s:%s:%s:%s:%s:%s"
            % (ha1, fields.get("nonce"), fields.get("nc"), fields.get("cnonce"), "auth", ha2)
        )
        return fields.get("qop") == "auth" and fields.get("response") == expected

    def challenge(self, rule):
        if rule["scheme"] == "Basic":
            value = 'Basic realm="%s"' % rule["realm"]
        else:
            with self.state.lock:
                self.state.nonce += 1
                nonce = "n%08d" % self.state.nonce
            value = 'Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5' % (
                rule["realm"],
                nonce,
            )
        self.send_scripted(
            {"status": 401, "headers": [["WWW-Authenticate", value]], "body": "denied\n"}
        )

    def proxy_authorized(self, rule):
        header = self.headers.get("Proxy-Authorization", "")
        if not header.startswith("Basic "):
            return False
        try:
            user, _, password = base64.b64decode(header[6:]).decode("utf-8").partition(":")
        except Exception:  # noqa: BLE001 - a broken header is a refusal
            return False
        return dict(rule["users"]).get(user) == password

    def do_GET(self):
        self.record()
        with self.state.lock:
            proxy_rule = self.state.proxy_auth
        if proxy_rule is not None and not self.proxy_authorized(proxy_rule):
            value = 'Basic realm="%s"' % proxy_rule["realm"]
            self.send_scripted(
                {"status": 407, "headers": [["Proxy-Authenticate", value]], "body": "proxy\n"}
            )
            return
        rule = self.auth_rule()
        if rule is not None and not self.authorized(rule):
            self.challenge(rule)
            return
        response = self.state.next_response(self.path)
        if response is None:
            self.serve_root(head=False)
        else:
            self.send_scripted(response)

    def do_HEAD(self):
        self.record()
        self.serve_root(head=True)

    def do_POST(self):
        self.record()
        length = int(self.headers.get("Content-Length", "0"))
        if length:
            self.rfile.read(length)
        response = self.state.next_response(self.path)
        self.send_scripted(response or {"status": 404})

    def serve_root(self, head):
        root = self.state.root
        path = urllib.parse.urlsplit(self.path).path
        local = None
        if root:
            clean = posixpath.normpath(urllib.parse.unquote(path))
            if not clean.startswith("/"):
                clean = "/" + clean
            candidate = os.path.join(root, clean.lstrip("/"))
            real_root = os.path.realpath(root)
            real = os.path.realpath(candidate)
            if (real == real_root or real.startswith(real_root + os.sep)) and os.path.isfile(real):
                local = real
        if local is None:
            self.send_scripted({"status": 404, "body": "not found\n"}, head=head)
            return
        self.send_scripted({"status": 200, "file": local}, head=head)

    def body_pieces(self, response):
        if "body" in response:
            data = response["body"].encode("utf-8")
            return len(data), iter([data])
        if "body_hex" in response:
            data = bytes.fromhex(response["body_hex"])
            return len(data), iter([data])
        if "body_size" in response:
            size = int(response["body_size"])
            return size, pattern_bytes(size)
        if "file" in response:
            size = os.path.getsize(response["file"])

            def read_file(name):
                with open(name, "rb") as f:
                    while True:
                        block = f.read(65536)
                        if not block:
                            return
                        yield block

            return size, read_file(response["file"])
        return 0, iter([])

    def send_scripted(self, response, head=False):
        status = int(response.get("status", 200))
        size, pieces = self.body_pieces(response)
        chunked = bool(response.get("chunked"))
        close_after = response.get("close_after")
        slow = response.get("slow")
        self.send_response(status)
        names = set()
        for name, value in response.get("headers", []):
            self.send_header(name, value)
            names.add(name.lower())
        if "retry_after_in" in response:
            when = time.time() + float(response["retry_after_in"])
            self.send_header("Retry-After", email.utils.formatdate(when, usegmt=True))
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(response.get("content_length", size)))
        if "content-type" not in names:
            self.send_header("Content-Type", "application/octet-stream")
        self.end_headers()
        if head:
            return
        announced = int(response.get("content_length", size))
        limit = int(close_after) if close_after is not None else None
        sent = 0
        step = int(slow["chunk"]) if slow else 0
        try:
            for piece in pieces:
                while piece:
                    part = piece[:step] if step else piece
                    piece = piece[len(part):]
                    if limit is not None and sent + len(part) > limit:
                        part = part[: limit - sent]
                    if part:
                        if chunked:
                            self.wfile.write(b"%x\r\n" % len(part) + part + b"\r\n")
                        else:
                            self.wfile.write(part)
                        self.wfile.flush()
                        sent += len(part)
                    if limit is not None and sent >= limit:
                        self.drop_connection()
                        return
                    if step:
                        time.sleep(float(slow.get("delay", 0)))
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
            return
        if not chunked and sent != announced:
            # A body that does not match its length leaves the connection unusable.
            self.drop_connection()

    def drop_connection(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        pass  # a client that went away is normal in fault tests


class Server6(Server):
    address_family = socket.AF_INET6


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--root", default="")
    parser.add_argument("--cert", default="")
    parser.add_argument("--key", default="")
    args = parser.parse_args()

    state = State(args.root)
    handler = type("BoundHandler", (Handler,), {"state": state})
    server_class = Server6 if ":" in args.address else Server
    server = server_class((args.address, args.port), handler)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05})
    thread.daemon = True
    thread.start()
    print("port %d" % server.server_address[1], flush=True)

    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            command = json.loads(line)
            cmd = command.get("cmd")
            if cmd == "set":
                with state.lock:
                    state.rules[command["path"]] = [list(command["responses"]), 0]
            elif cmd == "auth":
                with state.lock:
                    if command["users"]:
                        state.auth[command["prefix"]] = {
                            "scheme": command["scheme"],
                            "realm": command["realm"],
                            "users": command["users"],
                        }
                    else:
                        state.auth.pop(command["prefix"], None)
            elif cmd == "proxy_auth":
                with state.lock:
                    state.proxy_auth = command if command["users"] else None
            elif cmd == "clear":
                with state.lock:
                    state.proxy_auth = None
                    state.auth.clear()
                    state.rules.clear()
                    state.log.clear()
            elif cmd == "requests":
                with state.lock:
                    lines = list(state.log)
                for entry in lines:
                    sys.stdout.write(entry + "\n")
            else:
                raise ValueError("unknown command %r" % cmd)
            sys.stdout.write("ok\n")
        except Exception as error:  # noqa: BLE001 - reported to the test
            sys.stdout.write("error %s\n" % str(error).replace("\n", " "))
        sys.stdout.flush()
    server.shutdown()


if __name__ == "__main__":
    main()
