"""Requests per second through HttpRequestClient.get against a plain
requests.Session.get, on one loopback server, measured alternately in the
same process. The client's overhead should stay within 5 %.

    python benchmarks/bench_http.py [--rounds 41] [--requests 200]
"""

from __future__ import annotations

import argparse
import multiprocessing
import socket
import statistics
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import requests

from kestrix.http import DEFAULT_USER_AGENT, HttpRequestClient

LIMIT = 0.05


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as a session uses it

    def setup(self) -> None:
        super().setup()
        # Headers and body go out in two writes; without this, Nagle and the
        # peer's delayed ACK add 40 ms to every answer and hide everything else.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def do_GET(self) -> None:
        body = b'{"ok": true}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format: str, *args: Any) -> None:
        pass


def serve(port_out: Any) -> None:
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    port_out.send(httpd.server_address[1])
    httpd.serve_forever()


def timed(send: Any, url: str, n: int) -> float:
    start = time.perf_counter()
    for _ in range(n):
        send(url)
    return time.perf_counter() - start


class NullSession(requests.Session):
    """Answers without touching the network: isolates what each side adds
    on top of Session.request."""

    def request(self, *args: Any, **kwargs: Any) -> Any:
        return None


def dispatch_cost(rounds: int) -> dict[str, float]:
    client = HttpRequestClient()
    client.session = NullSession()
    plain = NullSession()
    url = "http://127.0.0.1:1/item"
    sides = {
        "HttpRequestClient.get": lambda: client.get(url),
        "requests.Session.get": lambda: plain.get(url, timeout=300, verify=False),
    }
    n = 20000
    best = dict.fromkeys(sides, float("inf"))
    for _ in range(rounds):
        for name, call in sides.items():
            start = time.perf_counter()
            for _ in range(n):
                call()
            best[name] = min(best[name], (time.perf_counter() - start) / n)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=41)
    parser.add_argument("--requests", type=int, default=200)
    args = parser.parse_args()

    # The server gets its own process so it does not share the client's GIL.
    ours, theirs = multiprocessing.Pipe()
    server = multiprocessing.Process(target=serve, args=(theirs,), daemon=True)
    server.start()
    try:
        url = f"http://127.0.0.1:{ours.recv()}/item"
        client = HttpRequestClient()
        plain = requests.Session()
        plain.headers["User-Agent"] = DEFAULT_USER_AGENT

        # The same work on both sides: what the client adds is the only difference.
        sides = {
            "HttpRequestClient.get": lambda u: client.get(u),
            "requests.Session.get": lambda u: plain.get(u, timeout=300, verify=False),
        }
        for send in sides.values():  # warm the connection pools
            timed(send, url, 50)

        rates: dict[str, list[float]] = {name: [] for name in sides}
        for r in range(args.rounds):
            order = list(sides) if r % 2 == 0 else list(reversed(sides))
            for name in order:
                rates[name].append(args.requests / timed(sides[name], url, args.requests))
    finally:
        server.terminate()
        server.join()

    for name, values in rates.items():
        print(f"{name:24s} median {statistics.median(values):8.0f} req/s   best {max(values):8.0f} req/s")
    # Paired rounds cancel most of the machine's drift; take the median ratio.
    paired = zip(rates["HttpRequestClient.get"], rates["requests.Session.get"], strict=True)
    ratios = [c / p for c, p in paired]
    overhead = 1 - statistics.median(ratios)
    best_overhead = 1 - max(rates["HttpRequestClient.get"]) / max(rates["requests.Session.get"])
    print(f"client overhead: median of paired rounds {overhead:+.1%}, best against best {best_overhead:+.1%}")

    cost = dispatch_cost(5)
    extra = cost["HttpRequestClient.get"] - cost["requests.Session.get"]
    per_request = 1 / statistics.median(rates["requests.Session.get"])
    print(
        f"dispatch without network: client {cost['HttpRequestClient.get'] * 1e6:.2f} us, "
        f"Session.get {cost['requests.Session.get'] * 1e6:.2f} us; the client adds {extra * 1e6:.2f} us "
        f"= {extra / per_request:.2%} of a {per_request * 1e6:.0f} us loopback request"
    )
    ok = overhead <= LIMIT
    print(f"{'OK' if ok else 'OVER'}: limit {LIMIT:.0%}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
