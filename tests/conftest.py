"""Shared fixtures: a real HTTP server on 127.0.0.1 (also over TLS with a
self-signed certificate), a closed port, and a stand-in for the ``time``
module that records sleeps instead of sleeping."""

from __future__ import annotations

import json
import shutil
import socket
import ssl
import subprocess
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, urlsplit

import pytest


@dataclass
class Reply:
    """One scripted answer. ``declared_length`` larger than the body cuts the
    body off mid-transfer; ``delay`` sleeps before answering."""

    status: int = 200
    body: bytes = b""
    headers: dict[str, str] = field(default_factory=dict)
    delay: float = 0.0
    declared_length: int | None = None


@dataclass
class Seen:
    method: str
    path: str
    query: dict[str, list[str]]
    headers: dict[str, str]
    body: bytes

    def json(self) -> Any:
        return json.loads(self.body)


class Server:
    def __init__(self, tls: ssl.SSLContext | None = None) -> None:
        self._routes: dict[str, list[Reply]] = {}
        self._lock = threading.Lock()
        self.seen: list[Seen] = []
        handler = type("Handler", (_Handler,), {"owner": self})
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self._httpd.daemon_threads = True
        if tls is not None:
            self._httpd.socket = tls.wrap_socket(self._httpd.socket, server_side=True)
        self.scheme = "https" if tls is not None else "http"
        self.port = self._httpd.server_address[1]
        # A short poll keeps shutdown (every test's teardown) quick.
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()

    def url(self, path: str) -> str:
        return f"{self.scheme}://127.0.0.1:{self.port}{path}"

    def route(self, path: str, *replies: Reply) -> str:
        """Serve ``replies`` in order at ``path``; the last one repeats. Returns the URL."""
        with self._lock:
            self._routes[path] = list(replies)
        return self.url(path)

    def hits(self, path: str) -> list[Seen]:
        return [s for s in self.seen if s.path == path]

    def next_reply(self, path: str) -> Reply:
        with self._lock:
            replies = self._routes.get(path)
            if not replies:
                return Reply(404, b"no such route")
            return replies.pop(0) if len(replies) > 1 else replies[0]

    def close(self) -> None:
        self._httpd.shutdown()
        self._httpd.server_close()


class _Handler(BaseHTTPRequestHandler):
    owner: Server
    protocol_version = "HTTP/1.1"

    def log_message(self, format: str, *args: Any) -> None:  # keep test output clean
        pass

    def _serve(self) -> None:
        parts = urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        self.owner.seen.append(
            Seen(self.command, parts.path, parse_qs(parts.query), dict(self.headers.items()), body)
        )
        reply = self.owner.next_reply(parts.path)
        if reply.delay:
            time.sleep(reply.delay)
        self.send_response(reply.status)
        for name, value in reply.headers.items():
            self.send_header(name, value)
        declared = reply.declared_length if reply.declared_length is not None else len(reply.body)
        self.send_header("Content-Length", str(declared))
        if declared != len(reply.body):
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(reply.body)
        self.wfile.flush()
        if declared != len(reply.body):
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = _serve


@pytest.fixture
def server():
    srv = Server()
    yield srv
    srv.close()


@pytest.fixture(scope="session")
def self_signed_context(tmp_path_factory) -> ssl.SSLContext:
    """A server context whose certificate no client trusts."""
    if shutil.which("openssl") is None:
        pytest.skip("openssl is needed to make a certificate")
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
         "-keyout", str(key), "-out", str(cert)],
        check=True,
        capture_output=True,
    )  # fmt: skip
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


@pytest.fixture
def tls_server(self_signed_context):
    srv = Server(tls=self_signed_context)
    yield srv
    srv.close()


@pytest.fixture
def closed_port_url() -> str:
    """A URL on a loopback port where nothing listens: connections are refused."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}/nothing"


class SleepRecorder:
    """Replaces a module's ``time`` global: records sleeps, validates like time.sleep."""

    def __init__(self) -> None:
        self.sleeps: list[float] = []

    def sleep(self, seconds: float) -> None:
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")
        self.sleeps.append(seconds)

    def __getattr__(self, name: str) -> Any:
        return getattr(time, name)


@pytest.fixture
def sleep_recorder() -> SleepRecorder:
    return SleepRecorder()
