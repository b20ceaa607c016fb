"""Downloads with bounded retries and exponential back-off, against a real
HTTP server on 127.0.0.1."""

from __future__ import annotations

import io
import logging
import sys

import numpy as np
import PIL.Image
import pytest
import requests

import kestrix.image
from conftest import Reply
from excode import ServiceError
from kestrix.image import ImageTool

SERVICE_MESSAGE = "无效的图片资源，请确认图片链接可正常访问"


def failure_line(status, delay, url):
    return f"请求失败，状态码: {status}, {delay}s 后重试...: {url}"


def notice_line(attempt, url):
    return f"第 {attempt} 次重试...: {url}"


@pytest.fixture
def png() -> bytes:
    # Noise does not compress, so the body spans several 4096-byte chunks.
    pixels = np.random.default_rng(7).integers(0, 256, (80, 80, 3), dtype=np.uint8)
    buffer = io.BytesIO()
    PIL.Image.fromarray(pixels).save(buffer, format="PNG")
    assert len(buffer.getvalue()) > 3 * 4096
    return buffer.getvalue()


@pytest.fixture
def sleeps(monkeypatch, sleep_recorder):
    monkeypatch.setattr(kestrix.image, "time", sleep_recorder)
    return sleep_recorder.sleeps


class ListLogger(logging.Logger):
    """A real logger whose records stay in memory."""

    def __init__(self) -> None:
        super().__init__("kestrix-test")
        self.records: list[logging.LogRecord] = []
        handler = logging.Handler()
        handler.emit = self.records.append
        self.addHandler(handler)
        self.propagate = False

    @property
    def messages(self) -> list[str]:
        return [record.getMessage() for record in self.records]


def printed(capsys) -> list[str]:
    return capsys.readouterr().out.splitlines()


def test_200_returns_the_whole_body_positioned_at_its_end(server, sleeps, capsys, png):
    url = server.route("/img.png", Reply(200, png, {"Content-Type": "image/png"}))
    stream = ImageTool.get_img_url_io(url, unused="ignored")
    assert type(stream) is io.BytesIO
    assert stream.getvalue() == png
    assert stream.tell() == len(png)
    assert PIL.Image.open(stream).size == (80, 80)
    assert ImageTool.get_img_url_bytes(url) == png
    assert len(server.hits("/img.png")) == 2
    assert sleeps == [] and printed(capsys) == []


def test_empty_200_returns_an_empty_stream(server, sleeps):
    url = server.route("/empty", Reply(200, b""))
    stream = ImageTool.get_img_url_io(url)
    assert stream.getvalue() == b"" and stream.tell() == 0
    assert sleeps == []


def test_three_404s_print_five_lines_then_raise(server, sleeps, capsys):
    url = server.route("/missing", Reply(404, b"gone"))
    with pytest.raises(ServiceError) as info:
        ImageTool.get_img_url_io(url)
    assert printed(capsys) == [
        failure_line(404, 0.5, url),
        notice_line(2, url),
        failure_line(404, 1.0, url),
        notice_line(3, url),
        failure_line(404, 2.0, url),
    ]
    assert sleeps == [0.5, 1.0, 2.0]
    assert len(server.hits("/missing")) == 3
    assert info.value.args == (SERVICE_MESSAGE,)
    assert info.value.extra_data == {"url": url}
    assert isinstance(info.value, Exception) and not isinstance(info.value, OSError)


def test_404_then_200_returns_the_second_body(server, sleeps, capsys, png):
    url = server.route("/flaky", Reply(404), Reply(200, png))
    assert ImageTool.get_img_url_io(url).getvalue() == png
    assert sleeps == [0.5]
    assert printed(capsys) == [failure_line(404, 0.5, url), notice_line(2, url)]


@pytest.mark.parametrize("status", [204, 206, 500])
def test_any_status_but_200_is_a_failed_attempt(server, sleeps, capsys, status):
    url = server.route("/odd", Reply(status, b"" if status == 204 else b"partial"))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=1)
    assert printed(capsys) == [failure_line(status, 0.5, url)]


def test_body_cut_off_before_its_length_is_retried_from_scratch(server, sleeps, capsys, png):
    url = server.route("/cut", Reply(200, png[:5000], declared_length=len(png)), Reply(200, png))
    assert ImageTool.get_img_url_io(url).getvalue() == png
    lines = printed(capsys)
    assert len(lines) == 2
    assert lines[0].startswith("请求发生错误: ") and lines[0].endswith(f", 0.5s 后重试...: {url}")
    assert lines[1] == notice_line(2, url)
    assert sleeps == [0.5]


@pytest.mark.parametrize("target", ["closed_port", "not_a_url"])
def test_request_errors_are_reported_and_retried(request, sleeps, capsys, target):
    url = request.getfixturevalue("closed_port_url") if target == "closed_port" else ""
    with pytest.raises(ServiceError) as info:
        ImageTool.get_img_url_io(url, max_retries=2)
    lines = printed(capsys)
    assert len(lines) == 3 and lines[1] == notice_line(2, url)
    for line, delay in zip((lines[0], lines[2]), (0.5, 1.0), strict=True):
        assert line.startswith("请求发生错误: ") and line.endswith(f", {delay}s 后重试...: {url}")
    assert sleeps == [0.5, 1.0]
    assert info.value.extra_data == {"url": url}
    # Raised after the loop, outside any handler: it chains to nothing.
    assert info.value.__context__ is None


def test_a_handled_attempt_leaves_a_generator_as_it_was(sleeps, capsys):
    # The failed attempt is handled inside the call. A generator that made the
    # call must not go on "handling" what its caller was handling at the time.
    def steps():
        with pytest.raises(ServiceError):
            ImageTool.get_img_url_io("", max_retries=1)
        yield
        yield sys.exception()

    try:
        raise KeyError("the caller's")
    except KeyError:
        gen = steps()
        next(gen)
    assert next(gen) is None


@pytest.mark.parametrize(
    "max_retries, hits, slept, lines",
    [
        (0, 0, [], 0),
        (-2, 0, [], 0),
        (1, 1, [0.5], 1),  # no next-attempt notice after the last attempt
        (2.9, 2, [0.5, 1.0], 3),  # int() truncates
    ],
)
def test_max_retries_is_the_number_of_attempts(server, sleeps, capsys, max_retries, hits, slept, lines):
    url = server.route("/down", Reply(503))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=max_retries)
    assert len(server.hits("/down")) == hits
    assert sleeps == slept
    assert len(printed(capsys)) == lines


def test_huge_max_retries_still_downloads(server, sleeps, png):
    url = server.route("/ok", Reply(200, png))
    assert ImageTool.get_img_url_io(url, max_retries=10**30).getvalue() == png


def test_int_base_delay_is_used_as_a_float(server, sleeps, capsys):
    url = server.route("/down", Reply(404))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=2, base_delay=1)
    assert sleeps == [1.0, 2.0] and all(type(s) is float for s in sleeps)
    assert printed(capsys)[::2] == [failure_line(404, "1.0", url), failure_line(404, "2.0", url)]


@pytest.mark.parametrize("target", ["404", "closed_port"])
def test_negative_base_delay_ends_the_first_failed_attempt(request, server, capsys, target):
    # The real time module: the sleep itself refuses a negative length.
    url = server.route("/down", Reply(404)) if target == "404" else request.getfixturevalue("closed_port_url")
    with pytest.raises(ValueError) as info:
        ImageTool.get_img_url_io(url, base_delay=-0.5)
    # The sleep comes before its message, so nothing was reported. The error
    # left the attempt's handler, so it chains to what the attempt raised.
    assert printed(capsys) == []
    expected_context = ValueError if target == "404" else requests.ConnectionError
    assert isinstance(info.value.__context__, expected_context)
    if target == "404":
        assert len(server.hits("/down")) == 1


def test_a_logger_receives_every_message_and_nothing_is_printed(server, sleeps, capsys):
    url = server.route("/missing", Reply(404))
    logger = ListLogger()
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, logger=logger)
    assert logger.messages == [
        failure_line(404, 0.5, url),
        notice_line(2, url),
        failure_line(404, 1.0, url),
        notice_line(3, url),
        failure_line(404, 2.0, url),
    ]
    assert {record.levelno for record in logger.records} == {logging.ERROR}
    assert printed(capsys) == []


def test_a_falsy_logger_means_print(server, sleeps, capsys):
    class Silent:
        def __bool__(self) -> bool:
            return False

        def error(self, msg: str) -> None:
            raise AssertionError("a falsy logger is not used")

    url = server.route("/missing", Reply(404))
    with pytest.raises(ServiceError):
        ImageTool.get_img_url_io(url, max_retries=1, logger=Silent())
    assert printed(capsys) == [failure_line(404, 0.5, url)]


def test_get_img_url_bytes_passes_its_keywords_on(server, sleeps):
    url = server.route("/slow", Reply(200, b"late", delay=1.0))
    logger = ListLogger()
    with pytest.raises(ServiceError) as info:
        ImageTool.get_img_url_bytes(url, max_retries=1, timeout=0.2, base_delay=0.25, logger=logger)
    assert info.value.extra_data == {"url": url}
    assert len(server.hits("/slow")) == 1
    assert sleeps == [0.25]
    [message] = logger.messages
    assert "read timeout=0.2" in message and message.endswith(f", 0.25s 后重试...: {url}")

    url = server.route("/ok", Reply(200, b"body"))
    assert ImageTool.get_img_url_bytes(url, headers={"X-Trace": "abc123"}) == b"body"
    assert server.hits("/ok")[0].headers["X-Trace"] == "abc123"


def test_bytes_url_is_rejected_before_any_request(server, sleeps):
    url = server.route("/never", Reply(200, b"x"))
    for fetch in (ImageTool.get_img_url_io, ImageTool.get_img_url_bytes):
        with pytest.raises(
            TypeError, match=r"^Argument 'url' has incorrect type \(expected str, got bytes\)$"
        ):
            fetch(url.encode())
    assert server.hits("/never") == []


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
def test_certificates_are_not_verified(tls_server, sleeps, png):
    url = tls_server.route("/img.png", Reply(200, png))
    with pytest.raises(requests.exceptions.SSLError):
        requests.get(url, timeout=5)  # the certificate really is untrusted
    assert ImageTool.get_img_url_bytes(url) == png
    assert sleeps == []
