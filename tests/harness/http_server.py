#!/usr/bin/env python3
"""Scriptable HTTP/HTTPS server for tests: http_server.py ADDRESS ROOT [CERT KEY]

Prints "port N", then answers each JSON command line on standard input with
"ok" (or "error TEXT") and ends when standard input closes. The commands
(http_server.h tells what they do): {"cmd": "set", "path", "responses"},
{"cmd": "auth", "prefix", "scheme", "realm", "users"}, {"cmd": "proxy_auth",
"realm", "users"}, {"cmd": "clear"}, {"cmd": "requests"}, which prints one
line per request before its "ok", and {"cmd": "sent"}, which prints the bytes
written to clients since the start or the last clear. A response has the
optional keys status, headers, body (Latin-1), body_size, file, ranges,
chunked, content_length, close_after, slow_chunk, slow_delay, slow_headers and
retry_after_in. GET requests without a rule are served from ROOT (never
outside it), else 404. Files carry an ETag and a Last-Modified date and honour
a Range "bytes=N-" (with If-Range) unless ranges is false.
"""

import base64
import email.utils
import hashlib
import json
import os
import re
import socket
import ssl
import sys
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATTERN = bytes(range(256)) * 256  # 64 KiB
LOCK = threading.Lock()
STATE = {"rules": {}, "auth": {}, "proxy": None, "log": [], "nonce": 0, "root": "", "sent": 0}


def escape(text):
    return text.replace("%", "%25").replace("\t", "%09").replace("\r", "%0D").replace("\n", "%0A")


def basic_user(header):
    """(user, password) of a Basic credentials header, or None."""
    try:
        user, _, password = base64.b64decode(header[6:]).decode("utf-8").partition(":")
        return (user, password) if header.startswith("Basic ") else None
    except Exception:  # noqa: BLE001 - a broken header is no credentials
        return None


def digest_fields(header):
    if not header.startswith("Digest "):
        return {}
    items = (i.partition("=") for i in urllib.request.parse_http_list(header[7:]))
    return {name.strip(): value.strip().strip('"') for name, _, value in items}


def md5(text):
    return hashlib.md5(text.encode("utf-8")).hexdigest()


class Counting:
    """A writer that adds what it writes to the server's count."""

    def __init__(self, raw):
        self.raw = raw

    def write(self, data):
        written = self.raw.write(data)
        with LOCK:
            STATE["sent"] += len(data)
        return written

    def __getattr__(self, name):
        return getattr(self.raw, name)


def header_value(headers, name):
    return next((v for n, v in headers if n.lower() == name.lower()), None)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TestServer/1.0"
    header_delay = 0

    def setup(self):
        super().setup()
        self.wfile = Counting(self.wfile)

    def flush_headers(self):
        if not self.header_delay:
            return super().flush_headers()
        data = b"".join(getattr(self, "_headers_buffer", []))
        self._headers_buffer = []
        for i in range(len(data)):  # one byte at a time
            self.wfile.write(data[i : i + 1])
            self.wfile.flush()
            time.sleep(self.header_delay)
        return None

    def log_message(self, format, *args):  # noqa: A002 - quiet
        pass

    def do_GET(self):
        authorization = self.headers.get("Authorization", "")
        user = (basic_user(authorization) or [digest_fields(authorization).get("username", "")])[0]
        entry = [self.command, self.path, str(self.client_address[1]), user]
        entry += [text for header in self.headers.items() for text in header]
        path = urllib.parse.urlsplit(self.path).path
        with LOCK:
            STATE["log"].append("\t".join(escape(e) for e in entry))
            proxy = STATE["proxy"]
            rules = [(p, r) for p, r in STATE["auth"].items() if path.startswith(p)]
            rule = max(rules, key=lambda pr: len(pr[0]))[1] if rules else None
            scripted = STATE["rules"].get(self.path) or STATE["rules"].get(path)
        if proxy and basic_user(self.headers.get("Proxy-Authorization", "")) not in proxy["users"]:
            challenge = [["Proxy-Authenticate", 'Basic realm="%s"' % proxy["realm"]]]
            self.send({"status": 407, "headers": challenge, "body": b"proxy\n"})
        elif rule and not self.authorized(rule, authorization):
            with LOCK:
                STATE["nonce"] += 1
                nonce = "n%08d" % STATE["nonce"]
            value = 'Basic realm="%s"' % rule["realm"]
            if rule["scheme"] == "Digest":
                value = 'Digest realm="%s", nonce="%s", qop="auth", algorithm=MD5' % (rule["realm"], nonce)
            self.send({"status": 401, "headers": [["WWW-Authenticate", value]], "body": b"denied\n"})
        elif scripted:
            with LOCK:
                response = scripted[0][min(scripted[1], len(scripted[0]) - 1)]
                scripted[1] += 1
            self.send(response)
        else:
            root = os.path.realpath(STATE["root"]) if STATE["root"] else None
            local = root and os.path.realpath(os.path.join(root, urllib.parse.unquote(path).lstrip("/")))
            if local and local.startswith(root + os.sep) and os.path.isfile(local):
                self.send({"file": local, "body": b""})
            else:
                self.send({"status": 404, "body": b"not found\n"})

    def authorized(self, rule, header):
        users = dict(rule["users"])
        if rule["scheme"] == "Basic":
            return basic_user(header) in rule["users"]
        f = digest_fields(header)
        user = f.get("username")
        if user not in users or f.get("realm") != rule["realm"] or f.get("qop") != "auth":
            return False
        ha1 = md5("%s:%s:%s" % (user, rule["realm"], users[user]))
        ha2 = md5("%s:%s" % (self.command, f.get("uri", "")))
        fields = (ha1, f.get("nonce"), f.get("nc"), f.get("cnonce"), "auth", ha2)
        return f.get("response") == md5("%s:%s:%s:%s:%s:%s" % fields)

    def ranged(self, response):
        """A file response with its validators, as 206 or 416 for a Range."""
        path = response["file"]
        size = os.path.getsize(path)
        headers = [list(h) for h in response.get("headers", [])]
        if header_value(headers, "ETag") is None:
            headers.append(["ETag", '"%x-%x"' % (int(os.path.getmtime(path)), size)])
        if header_value(headers, "Last-Modified") is None:
            modified = email.utils.formatdate(os.path.getmtime(path), usegmt=True)
            headers.append(["Last-Modified", modified])
        response = dict(response, headers=headers, body_size=size, start=0)
        wanted = re.fullmatch(r"bytes=(\d+)-", self.headers.get("Range", ""))
        condition = self.headers.get("If-Range")
        validators = (None, header_value(headers, "ETag"), header_value(headers, "Last-Modified"))
        honoured = response.get("ranges", True) and int(response.get("status", 200)) == 200
        if wanted and honoured and condition in validators:
            start = int(wanted.group(1))
            if start >= size:
                return {"status": 416, "headers": [["Content-Range", "bytes */%d" % size]], "body": b""}
            headers.append(["Content-Range", "bytes %d-%d/%d" % (start, size - 1, size)])
            response.update(status=206, body_size=size - start, start=start)
        return response

    def pieces(self, response):
        if "file" in response:
            with open(response["file"], "rb") as f:
                f.seek(response.get("start", 0))
                yield from iter(lambda: f.read(65536), b"")
            return
        size = response.get("body_size")
        if size is None:
            yield response.get("body", b"")
        while size:
            yield PATTERN[: min(size, len(PATTERN))]
            size -= min(size, len(PATTERN))

    def send(self, response):
        if "file" in response:
            response = self.ranged(response)
        size = response.get("body_size", len(response.get("body", b"")))
        chunked = response.get("chunked")
        self.send_response(int(response.get("status", 200)))
        headers = response.get("headers", [])
        for name, value in headers:
            self.send_header(name, value)
        if "retry_after_in" in response:
            when = time.time() + float(response["retry_after_in"])
            self.send_header("Retry-After", email.utils.formatdate(when, usegmt=True))
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(response.get("content_length", size)))
        if "content-type" not in (name.lower() for name, _ in headers):
            self.send_header("Content-Type", "application/octet-stream")
        limit = response.get("close_after")
        step = response.get("slow_chunk", 0)
        sent = 0
        self.header_delay = response.get("slow_headers", 0)
        try:
            self.end_headers()
            for piece in self.pieces(response):
                while piece:
                    part, piece = (piece[:step], piece[step:]) if step else (piece, b"")
                    if limit is not None:
                        part = part[: max(0, limit - sent)]
                    if part:
                        self.wfile.write(b"%x\r\n%s\r\n" % (len(part), part) if chunked else part)
                        self.wfile.flush()
                        sent += len(part)
                    if limit is not None and sent >= limit:
                        return self.drop()
                    time.sleep(response.get("slow_delay", 0) if step else 0)
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
            return None
        if not chunked and sent != int(response.get("content_length", size)):
            self.drop()  # a body that does not match its length spoils the connection
        return None

    def drop(self):
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


def main():
    address, STATE["root"] = sys.argv[1], sys.argv[2]
    server_class = type("Server6", (Server,), {"address_family": socket.AF_INET6}) if ":" in address else Server
    server = server_class((address, 0), Handler)
    if len(sys.argv) > 4:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
    print("port %d" % server.server_address[1], flush=True)
    for line in sys.stdin:
        try:
            command = json.loads(line)
            cmd = command["cmd"]
            command["users"] = [tuple(u) for u in command.get("users", [])]
            for response in command.get("responses", []):
                response["body"] = response.get("body", "").encode("latin-1")
            with LOCK:
                if cmd == "set":
                    STATE["rules"][command["path"]] = [command["responses"], 0]
                elif cmd == "auth":
                    STATE["auth"][command["prefix"]] = command
                elif cmd == "proxy_auth":
                    STATE["proxy"] = command
                elif cmd == "clear":
                    STATE.update(rules={}, auth={}, proxy=None, log=[], sent=0)
                elif cmd == "sent":
                    sys.stdout.write("%d\n" % STATE["sent"])
                elif cmd == "requests":
                    sys.stdout.write("".join(entry + "\n" for entry in STATE["log"]))
                else:
                    raise ValueError("unknown command %r" % cmd)
            sys.stdout.write("ok\n")
        except Exception as error:  # noqa: BLE001 - reported to the test
            sys.stdout.write("error %s\n" % str(error).replace("\n", " "))
        sys.stdout.flush()
    server.shutdown()


if __name__ == "__main__":
    main()
