"""HttpRequestClient against a real server on 127.0.0.1: what is sent, what
comes back, and the retry loop."""

from __future__ import annotations

import json
import sys
import threading
from collections import OrderedDict
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import pytest
import requests
import requests.exceptions

import kestrix.http
from conftest import Reply
from kestrix.http import HttpRequestClient

UA = kestrix.http.DEFAULT_USER_AGENT
SESSION_KEYWORDS = ["method", "url", "headers", "params", "json", "data", "timeout"]


@pytest.fixture
def client(monkeypatch, sleep_recorder) -> HttpRequestClient:
    monkeypatch.setattr(kestrix.http, "time", sleep_recorder)
    return HttpRequestClient()


def record_session(client: HttpRequestClient) -> list[tuple[tuple, dict[str, Any]]]:
    """Wraps the client's session.request so each call's arguments are kept;
    the request still goes out."""
    calls: list[tuple[tuple, dict[str, Any]]] = []
    send = client.session.request

    def recording(*args: Any, **kwargs: Any) -> Any:
        calls.append((args, kwargs))
        return send(*args, **kwargs)

    client.session.request = recording  # type: ignore[method-assign]
    return calls


def test_get_sends_user_agent_headers_and_query(server, client):
    url = server.route("/items", Reply(200, b'{"ok": true}', {"Content-Type": "application/json"}))
    resp = client.get(url, params={"q": "猫", "n": "2"}, headers={"X-Trace": "t1"})
    assert type(resp) is requests.Response
    assert resp.status_code == 200 and resp.json() == {"ok": True}
    (seen,) = server.hits("/items")
    assert seen.method == "GET"
    assert seen.query == {"q": ["猫"], "n": ["2"]}
    assert seen.headers["User-Agent"] == UA
    assert seen.headers["X-Trace"] == "t1"


@pytest.mark.parametrize(
    "send, method, body, query",
    [
        (lambda c, u: c.request("post", u, json={"a": 1}), "POST", {"a": 1}, {}),
        (lambda c, u: c.request("pAtCh", u, params={"p": "1"}), "PATCH", None, {"p": ["1"]}),
        (lambda c, u: c.post(u, json={"a": [1, 2]}), "POST", {"a": [1, 2]}, {}),
        (lambda c, u: c.post(u, data={"a": "1", "b": "x y"}), "POST", b"a=1&b=x+y", {}),
        (lambda c, u: c.post(u, params={"p": "1"}), "POST", None, {"p": ["1"]}),
        (lambda c, u: c.get(u, json={"g": True}), "GET", {"g": True}, {}),
        (lambda c, u: c.get(u, data={"g": "1"}), "GET", b"g=1", {}),
    ],
)
def test_methods_and_bodies_reach_the_server(server, client, send, method, body, query):
    url = server.route("/echo", Reply(201))
    assert send(client, url).status_code == 201
    (seen,) = server.hits("/echo")
    assert (seen.method, seen.query) == (method, query)
    if body is None:
        assert seen.body == b""
    elif isinstance(body, bytes):
        assert seen.headers["Content-Type"] == "application/x-www-form-urlencoded"
        assert seen.body == body
    else:
        assert seen.headers["Content-Type"] == "application/json"
        assert json.loads(seen.body) == body


def test_error_status_is_returned_after_one_attempt(server, client, sleep_recorder):
    url = server.route("/fail", Reply(500, b"boom"), Reply(200, b"fine"))
    resp = client.get(url)
    assert (resp.status_code, resp.content) == (500, b"boom")
    assert len(server.hits("/fail")) == 1
    assert sleep_recorder.sleeps == []


def test_read_timeout_is_raised_at_once(server, client, sleep_recorder):
    url = server.route("/slow", Reply(200, b"late", delay=1.0))
    with pytest.raises(requests.exceptions.ReadTimeout):
        client.request("GET", url, timeout=0.2)
    assert len(server.hits("/slow")) == 1
    assert sleep_recorder.sleeps == []


@pytest.mark.parametrize("max_retries, sleeps", [(3, [1, 2]), (4, [1, 2, 4]), (1, []), (True, [])])
def test_connection_failures_retry_then_raise(closed_port_url, client, sleep_recorder, max_retries, sleeps):
    client.max_retries = max_retries
    calls = record_session(client)
    with pytest.raises(requests.exceptions.RequestException) as info:
        client.get(closed_port_url)
    exc = info.value
    assert type(exc) is requests.exceptions.RequestException
    assert exc.args == ("Service connection error",)
    assert isinstance(exc.__context__, requests.exceptions.ConnectionError)
    assert exc.__cause__ is None and not exc.__suppress_context__
    assert len(calls) == max_retries
    assert sleep_recorder.sleeps == sleeps
    assert [type(s) for s in sleep_recorder.sleeps] == [int] * len(sleeps)


@pytest.mark.parametrize("max_retries", [0, -1, -(10**30)])
def test_no_attempts_returns_none(server, client, sleep_recorder, max_retries):
    url = server.route("/never", Reply(200))
    client.max_retries = max_retries
    assert client.get(url) is None
    assert server.hits("/never") == []
    assert sleep_recorder.sleeps == []


def test_max_retries_must_be_an_index(server, client):
    url = server.route("/never", Reply(200))
    client.max_retries = 2.5
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        client.get(url)
    assert server.hits("/never") == []


class _Ok(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self) -> None:
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"up")

    def log_message(self, format: str, *args: Any) -> None:
        pass


class StartsServerOnSleep:
    """A ``time`` stand-in whose first sleep brings up a server on the closed
    port, so the next attempt connects."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.sleeps: list[float] = []
        self.httpd: ThreadingHTTPServer | None = None

    def sleep(self, seconds: float) -> None:
        self.sleeps.append(seconds)
        if self.httpd is None:
            self.httpd = ThreadingHTTPServer(("127.0.0.1", self.port), _Ok)
            threading.Thread(target=self.httpd.serve_forever, daemon=True).start()


def test_connection_error_then_success(closed_port_url, monkeypatch):
    clock = StartsServerOnSleep(int(closed_port_url.rsplit(":", 1)[1].split("/")[0]))
    monkeypatch.setattr(kestrix.http, "time", clock)
    try:
        resp = HttpRequestClient().get(closed_port_url)
    finally:
        if clock.httpd:
            clock.httpd.shutdown()
            clock.httpd.server_close()
    assert (resp.status_code, resp.content) == (200, b"up")
    assert clock.sleeps == [1]


def test_backoff_wait_is_looked_up_on_the_instance(closed_port_url, client, sleep_recorder):
    client._calc_backoff_wait = lambda attempt: attempt + 0.5
    with pytest.raises(requests.exceptions.RequestException):
        client.get(closed_port_url)
    assert sleep_recorder.sleeps == [0.5, 1.5]


def test_errors_while_backing_off_propagate(closed_port_url, client, monkeypatch):
    calls = record_session(client)
    client._calc_backoff_wait = lambda attempt: -1  # time.sleep refuses it
    with pytest.raises(ValueError) as info:
        client.get(closed_port_url)
    assert isinstance(info.value.__context__, requests.exceptions.ConnectionError)
    assert len(calls) == 1


def test_globals_are_looked_up_per_call(closed_port_url, client, monkeypatch):
    class Down(Exception):
        pass

    monkeypatch.setattr(kestrix.http, "RequestException", Down)
    client.max_retries = 1
    with pytest.raises(Down, match="^Service connection error$"):
        client.get(closed_port_url)

    # Catching a narrower class: the connection error is no longer retried.
    monkeypatch.setattr(kestrix.http, "ConnectionError", requests.exceptions.ConnectTimeout)
    client.max_retries = 3
    calls = record_session(client)
    with pytest.raises(requests.exceptions.ConnectionError):
        client.get(closed_port_url)
    assert len(calls) == 1


def test_a_handled_connection_error_leaves_a_generator_as_it_was(closed_port_url, client):
    # As in an except block: once the call is over, a generator that made it is
    # not left "handling" what its caller was handling at the time.
    client.max_retries = 2

    def steps():
        with pytest.raises(requests.exceptions.RequestException):
            client.get(closed_port_url)
        yield
        yield sys.exception()

    try:
        raise KeyError("the caller's")
    except KeyError:
        gen = steps()
        next(gen)
    assert next(gen) is None


@pytest.mark.parametrize("name", ["time", "RequestException", "ConnectionError"])
def test_missing_global_is_a_name_error(closed_port_url, client, monkeypatch, name):
    monkeypatch.delattr(kestrix.http, name)
    client.max_retries = 2
    with pytest.raises(NameError) as info:
        client.get(closed_port_url)
    assert str(info.value) == f"name '{name}' is not defined"
    assert isinstance(info.value.__context__, requests.exceptions.ConnectionError)


@pytest.mark.parametrize(
    "send, timeout",
    [
        (lambda c, u: c.request("GET", u), 300),
        (lambda c, u: c.request("GET", u, timeout=None), 300),
        (lambda c, u: c.request("GET", u, timeout=0), 300),
        (lambda c, u: c.request("GET", u, timeout=""), 300),
        (lambda c, u: c.request("GET", u, timeout=5), 5),
        (lambda c, u: c.request("GET", u, timeout=(3, 4.5)), (3, 4.5)),
        (lambda c, u: c.get(u, timeout=0.5), 300),
        (lambda c, u: c.get(u, timeout=2.5), 2),
        (lambda c, u: c.post(u, timeout=0.5), 0.5),
        (lambda c, u: c.post(u, timeout=2.5), 2.5),
    ],
)
def test_effective_timeout_reaches_the_session(server, client, send, timeout):
    url = server.route("/t", Reply(200))
    calls = record_session(client)
    send(client, url)
    ((args, kwargs),) = calls
    assert args == ()
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is type(timeout)


def test_base_timeout_is_read_per_call(server, client):
    url = server.route("/t", Reply(200))
    calls = record_session(client)
    client.base_timeout = 9
    client.get(url)
    assert calls[0][1]["timeout"] == 9


def test_session_receives_keywords_in_order(server, client):
    url = server.route("/k", Reply(200))
    calls = record_session(client)
    extra = {"stream": False, "allow_redirects": True}
    client.request("delete", url, {"H": "1"}, {"p": "1"}, None, None, 3, **extra)
    ((args, kwargs),) = calls
    assert list(kwargs) == [*SESSION_KEYWORDS, "stream", "allow_redirects", "verify"]
    assert kwargs == {
        "method": "DELETE",
        "url": url,
        "headers": {"H": "1"},
        "params": {"p": "1"},
        "json": None,
        "data": None,
        "timeout": 3,
        "stream": False,
        "allow_redirects": True,
        "verify": False,
    }
    assert extra == {"stream": False, "allow_redirects": True}


@pytest.mark.parametrize(
    "verify_ssl, extra, verify",
    [(False, {}, False), (True, {}, True), (False, {"verify": True}, True), (True, {"verify": False}, False)],
)
def test_verify(server, client, verify_ssl, extra, verify):
    url = server.route("/v", Reply(200))
    client.verify_ssl = verify_ssl
    calls = record_session(client)
    client.get(url, **extra)
    assert calls[0][1]["verify"] is verify


def test_caller_verify_keeps_its_place(server, client):
    url = server.route("/v", Reply(200))
    calls = record_session(client)
    client.get(url, verify=True, stream=False)
    assert list(calls[0][1]) == [*SESSION_KEYWORDS, "verify", "stream"]


def test_replaced_session_is_used(server, client):
    url = server.route("/s", Reply(200))
    client.session = requests.Session()
    client.get(url)
    assert server.hits("/s")[0].headers["User-Agent"] != UA


@pytest.mark.parametrize("call", [lambda c, u: c.get(u, method="POST"), lambda c, u: c.post(u, method="GET")])
def test_shortcut_with_method_keyword_sends_nothing(server, client, call):
    url = server.route("/m", Reply(200))
    with pytest.raises(TypeError) as info:
        call(client, url)
    assert str(info.value) == "function() got multiple values for keyword argument 'method'"
    assert server.hits("/m") == []


def incorrect(name: str, expected: str, got: str) -> str:
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    "call, text, note",
    [
        (lambda c, u: c.request(b"GET", u), incorrect("method", "str", "bytes"), False),
        (lambda c, u: c.request("GET", None), incorrect("url", "str", "NoneType"), False),
        (
            lambda c, u: c.request("GET", u, headers=OrderedDict()),
            incorrect("headers", "dict", "collections.OrderedDict"),
            True,
        ),
        (lambda c, u: c.request("GET", u, data="a=1"), incorrect("data", "dict", "str"), False),
        (lambda c, u: c.request(None, None), incorrect("method", "str", "NoneType"), False),
        (lambda c, u: c.post(u, json=[1]), incorrect("json", "dict", "list"), False),
        (
            lambda c, u: c.post(u, headers=OrderedDict()),
            incorrect("headers", "dict", "collections.OrderedDict"),
            True,
        ),
        (lambda c, u: c.get(u, params=[("a", "1")]), incorrect("params", "dict", "list"), False),
        (
            lambda c, u: c.get(u, headers=OrderedDict()),
            incorrect("headers", "dict", "collections.OrderedDict"),
            True,
        ),
        (lambda c, u: c.get(u, timeout="5"), incorrect("timeout", "int", "str"), False),
        # get converts timeout before it checks url.
        (lambda c, u: c.get(None, timeout="5"), incorrect("timeout", "int", "str"), False),
        (lambda c, u: c.get(None, params=[]), incorrect("url", "str", "NoneType"), False),
    ],
)
def test_argument_rules_reject_before_sending(server, client, call, text, note):
    url = server.route("/r", Reply(200))
    with pytest.raises(TypeError) as info:
        call(client, url)
    assert str(info.value) == text
    assert bool(getattr(info.value, "__notes__", None)) == note
    assert server.hits("/r") == []


def test_none_headers_are_accepted(server, client):
    url = server.route("/n", Reply(200))
    assert client.request("GET", url, headers=None, params=None, json=None, data=None).status_code == 200
    assert client.post(url, json=None, data=None, headers=None).status_code == 200


class Recording(HttpRequestClient):
    def request(self, *args: Any, **kwargs: Any) -> Any:
        self.seen = (args, kwargs)
        return "overridden"


def test_shortcuts_call_request_through_the_instance():
    client = Recording()
    assert client.get("u", {"p": "1"}, None, 2.9, stream=True, json={"j": 1}) == "overridden"
    args, kwargs = client.seen
    assert args == ()
    assert list(kwargs.items()) == [
        ("method", "GET"),
        ("url", "u"),
        ("headers", None),
        ("params", {"p": "1"}),
        ("timeout", 2),
        ("stream", True),
        ("json", {"j": 1}),
    ]

    assert client.post("u", {"j": 1}, {"d": "1"}, {"H": "1"}, 0.5, params={"p": "1"}) == "overridden"
    args, kwargs = client.seen
    assert args == ()
    assert list(kwargs.items()) == [
        ("method", "POST"),
        ("url", "u"),
        ("headers", {"H": "1"}),
        ("json", {"j": 1}),
        ("data", {"d": "1"}),
        ("timeout", 0.5),
        ("params", {"p": "1"}),
    ]


def test_threads_share_one_client(server, client):
    url = server.route("/p", Reply(200, b"x"))
    results: list[int] = []

    def work() -> None:
        for _ in range(5):
            results.append(client.get(url, params={"t": threading.current_thread().name}).status_code)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [200] * 20
    assert len(server.hits("/p")) == 20
