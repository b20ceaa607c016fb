"""kestrix.http without the network: module globals, the class surface, the
argument rules and the constructor."""

from __future__ import annotations

import ast
import inspect
import pickle
import subprocess
import sys
from fractions import Fraction

import pytest
import requests
import requests.exceptions

import kestrix.http
from kestrix.http import HttpRequestClient

UA = (
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/150.0.0.0 Safari/537.36 Edg/150.0.0.0"
)
INIT_DOC = (
    "\n"
    "        :param max_retries: 最大重试次数\n"
    "        :param base_timeout: 默认请求超时时间(秒)\n"
    "        :param verify_ssl: 是否校验 SSL 证书\n"
    "        :param user_agent: 自定义 User-Agent\n"
    "        "
)


class Str(str):
    pass


class Truthless:
    def __bool__(self) -> bool:
        raise ZeroDivisionError("no truth")


class Floaty:
    def __float__(self) -> float:
        return 7.9


def test_module_globals_in_order():
    # In a fresh interpreter: other tests rebind these globals.
    code = "import kestrix.http as m; print([n for n in vars(m) if not n.startswith('__')])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert ast.literal_eval(out) == [
        "time",
        "requests",
        "ConnectionError",
        "RequestException",
        "DEFAULT_USER_AGENT",
        "HttpRequestClient",
    ]
    assert kestrix.http.__doc__ is None
    assert kestrix.http.time is __import__("time")


def test_import_fails_with_the_error_of_the_failing_import():
    code = (
        "import sys\n"
        "sys.modules['requests.exceptions'] = None\n"
        "try:\n"
        "    import kestrix.http\n"
        "except BaseException as e:\n"
        "    print(f'{type(e).__name__}: {e}')\n"
        "print('kestrix.http' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    first, second = out.splitlines()
    assert first.startswith("ModuleNotFoundError: import of requests.exceptions halted")
    assert second == "False"
    assert kestrix.http.requests is requests
    assert kestrix.http.ConnectionError is requests.exceptions.ConnectionError
    assert kestrix.http.RequestException is requests.exceptions.RequestException
    assert kestrix.http.DEFAULT_USER_AGENT == UA
    assert len(UA) == 125


def test_class_surface():
    cls = HttpRequestClient
    assert cls.__bases__ == (object,)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (
        "kestrix.http",
        "HttpRequestClient",
        "HttpRequestClient",
    )
    assert cls.__doc__ == "通用带指数退避重试的 HTTP 请求客户端"
    assert [k for k in vars(cls) if k not in ("__dict__", "__weakref__")] == [
        "__module__",
        "__doc__",
        "__init__",
        "_calc_backoff_wait",
        "request",
        "post",
        "get",
    ]
    assert isinstance(vars(cls)["_calc_backoff_wait"], staticmethod)


METHODS = [
    (
        "__init__",
        (3, 300, False, UA),
        [("max_retries", "int"), ("base_timeout", "int"), ("verify_ssl", "bool"), ("user_agent", "str")],
        INIT_DOC,
    ),
    (
        "_calc_backoff_wait",
        None,
        [("attempt", "int"), ("return", "float")],
        "计算指数退避等待时间: 1s, 2s, 4s...",
    ),
    (
        "request",
        (None,) * 5,
        [
            ("method", "str"),
            ("url", "str"),
            ("headers", "dict"),
            ("params", "dict"),
            ("json", "dict"),
            ("data", "dict"),
            ("return", "requests.Response"),
        ],
        "通用请求入口",
    ),
    (
        "post",
        (None,) * 4,
        [
            ("url", "str"),
            ("json", "dict"),
            ("data", "dict"),
            ("headers", "dict"),
            ("return", "requests.Response"),
        ],
        "POST 请求快捷方法",
    ),
    (
        "get",
        (None,) * 3,
        [
            ("url", "str"),
            ("params", "dict"),
            ("headers", "dict"),
            ("timeout", "int"),
            ("return", "requests.Response"),
        ],
        "GET 请求快捷方法",
    ),
]


@pytest.mark.parametrize("name, defaults, annotations, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_surface(name, defaults, annotations, doc):
    func = getattr(HttpRequestClient, name)
    assert func.__name__ == name
    assert func.__qualname__ == f"HttpRequestClient.{name}"
    assert func.__module__ == "kestrix.http"
    assert func.__defaults__ == defaults
    assert func.__kwdefaults__ is None
    assert list(func.__annotations__.items()) == annotations
    assert func.__doc__ == doc
    assert pickle.loads(pickle.dumps(func)) is func


def test_defaults_have_exact_types():
    defaults = HttpRequestClient.__init__.__defaults__
    assert [type(d) for d in defaults] == [int, int, bool, str]
    assert defaults[2] is False


SIGNATURES = [
    (
        "__init__",
        "(max_retries: 'int' = 3, base_timeout: 'int' = 300, verify_ssl: 'bool' = False, "
        f"user_agent: 'str' = '{UA}')",
    ),
    ("_calc_backoff_wait", "(attempt: 'int') -> 'float'"),
    (
        "request",
        "(method: 'str', url: 'str', headers: 'dict' = None, params: 'dict' = None, "
        "json: 'dict' = None, data: 'dict' = None, timeout=None, **kwargs) -> 'requests.Response'",
    ),
    (
        "post",
        "(url: 'str', json: 'dict' = None, data: 'dict' = None, headers: 'dict' = None, "
        "timeout=None, **kwargs) -> 'requests.Response'",
    ),
    (
        "get",
        "(url: 'str', params: 'dict' = None, headers: 'dict' = None, timeout: 'int' = None, "
        "**kwargs) -> 'requests.Response'",
    ),
]


@pytest.mark.parametrize("name, text", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_bound_method_signatures(name, text):
    client = HttpRequestClient()
    assert str(inspect.signature(getattr(client, name))) == text
    unbound = inspect.signature(getattr(HttpRequestClient, name))
    if name != "_calc_backoff_wait":
        assert list(unbound.parameters)[0] == "self"


def test_methods_bind_like_python_functions():
    client = HttpRequestClient()
    bound = client.get
    assert bound.__self__ is client
    assert bound.__func__ is HttpRequestClient.get
    assert client._calc_backoff_wait is HttpRequestClient._calc_backoff_wait


def test_constructor_defaults():
    client = HttpRequestClient()
    assert list(vars(client)) == ["max_retries", "base_timeout", "verify_ssl", "session"]
    assert (client.max_retries, client.base_timeout, client.verify_ssl) == (3, 300, False)
    assert type(client.session) is requests.Session
    headers = client.session.headers
    assert headers["User-Agent"] == UA
    # Only the User-Agent is replaced; the session's other defaults stay.
    assert {k: v for k, v in headers.items() if k != "User-Agent"} == {
        k: v for k, v in requests.Session().headers.items() if k != "User-Agent"
    }


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"max_retries": 2.9}, (2, 300, False)),
        ({"max_retries": -2.9, "base_timeout": True}, (-2, 1, False)),
        ({"max_retries": 0, "base_timeout": 0}, (0, 0, False)),
        ({"base_timeout": Fraction(7, 2)}, (3, 3, False)),
        ({"base_timeout": Floaty()}, (3, 7, False)),
        ({"max_retries": 10**30}, (10**30, 300, False)),
        ({"verify_ssl": None}, (3, 300, False)),
        ({"verify_ssl": 0}, (3, 300, False)),
        ({"verify_ssl": "no"}, (3, 300, True)),
        ({"verify_ssl": [0]}, (3, 300, True)),
    ],
)
def test_constructor_conversions(kwargs, expected):
    client = HttpRequestClient(**kwargs)
    got = (client.max_retries, client.base_timeout, client.verify_ssl)
    assert got == expected
    assert [type(v) for v in got] == [int, int, bool]


def test_constructor_takes_arguments_by_position():
    client = HttpRequestClient(5, 6, 1, "agent/1")
    assert (client.max_retries, client.base_timeout, client.verify_ssl) == (5, 6, True)
    assert client.session.headers["User-Agent"] == "agent/1"


def msg(name: str, expected: str, got: str) -> str:
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    "kwargs, error, text, note",
    [
        ({"max_retries": "3"}, TypeError, msg("max_retries", "int", "str"), False),
        ({"base_timeout": None}, TypeError, msg("base_timeout", "int", "NoneType"), False),
        ({"user_agent": None}, TypeError, msg("user_agent", "str", "NoneType"), False),
        ({"user_agent": b"agent"}, TypeError, msg("user_agent", "str", "bytes"), False),
        ({"user_agent": Str("agent")}, TypeError, msg("user_agent", "str", "Str"), True),
        # Conversions run before the exact-type checks, each in parameter order.
        ({"max_retries": "3", "base_timeout": "x"}, TypeError, msg("max_retries", "int", "str"), False),
        ({"user_agent": None, "base_timeout": "x"}, TypeError, msg("base_timeout", "int", "str"), False),
        ({"user_agent": None, "verify_ssl": Truthless()}, ZeroDivisionError, "no truth", False),
        # int() itself fails: its own error passes through.
        ({"max_retries": float("nan")}, ValueError, "cannot convert float NaN to integer", False),
        ({"base_timeout": float("inf")}, OverflowError, "cannot convert float infinity to integer", False),
    ],
)
def test_constructor_rejections_set_nothing(kwargs, error, text, note):
    blank = HttpRequestClient.__new__(HttpRequestClient)
    with pytest.raises(error) as info:
        HttpRequestClient.__init__(blank, **kwargs)
    assert str(info.value) == text
    assert bool(getattr(info.value, "__notes__", None)) == note
    assert vars(blank) == {}


@pytest.mark.parametrize(
    "call, text",
    [
        (
            lambda c: c(1, 2, 3, 4, 5),
            "HttpRequestClient.__init__() takes from 1 to 5 positional arguments but 6 were given",
        ),
        (lambda c: c(retries=1), "HttpRequestClient.__init__() got an unexpected keyword argument 'retries'"),
        (
            lambda c: c(3, max_retries=3),
            "HttpRequestClient.__init__() got multiple values for argument 'max_retries'",
        ),
        (lambda c: c().get(), "HttpRequestClient.get() missing 1 required positional argument: 'url'"),
        (
            lambda c: c().request(),
            "HttpRequestClient.request() missing 2 required positional arguments: 'method' and 'url'",
        ),
    ],
)
def test_call_shape_errors(call, text):
    with pytest.raises(TypeError) as info:
        call(HttpRequestClient)
    assert str(info.value) == text


def test_default_user_agent_is_fixed_at_class_creation(monkeypatch):
    monkeypatch.setattr(kestrix.http, "DEFAULT_USER_AGENT", "changed/1.0")
    assert HttpRequestClient.__init__.__defaults__[3] == UA
    assert HttpRequestClient().session.headers["User-Agent"] == UA


def test_constructor_looks_up_requests_at_call_time(monkeypatch):
    made = []

    class Session:
        def __init__(self) -> None:
            self.headers: dict[str, str] = {}
            made.append(self)

    monkeypatch.setattr(kestrix.http, "requests", type("Stand", (), {"Session": Session}))
    client = HttpRequestClient(user_agent="a/1")
    assert made == [client.session]
    assert client.session.headers == {"User-Agent": "a/1"}

    monkeypatch.delattr(kestrix.http, "requests")
    blank = HttpRequestClient.__new__(HttpRequestClient)
    with pytest.raises(NameError, match="^name 'requests' is not defined$"):
        HttpRequestClient.__init__(blank)
    # The steps before the session stay on the half-built object.
    assert vars(blank) == {"max_retries": 3, "base_timeout": 300, "verify_ssl": False}


def test_clients_have_their_own_sessions():
    a, b = HttpRequestClient(), HttpRequestClient(user_agent="b/1")
    assert a.session is not b.session
    assert a.session.headers["User-Agent"] == UA
    assert b.session.headers["User-Agent"] == "b/1"


@pytest.mark.parametrize(
    "attempt, expected",
    [(0, 1), (1, 2), (2, 4), (10, 1024), (100, 2**100), (True, 2), (2.7, 4), (-1, 0.5), (-3, 0.125)],
)
def test_calc_backoff_wait(attempt, expected):
    got = HttpRequestClient._calc_backoff_wait(attempt)
    assert got == expected
    assert type(got) is type(expected)
    assert HttpRequestClient()._calc_backoff_wait(attempt) == expected


def test_calc_backoff_wait_rejects_non_numbers():
    with pytest.raises(TypeError) as info:
        HttpRequestClient._calc_backoff_wait("1")
    assert str(info.value) == msg("attempt", "int", "str")
