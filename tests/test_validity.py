"""ImageTool.is_valid_image: True, or InvalidImageError carrying the caller's context."""

from __future__ import annotations

import gc
import io
import os
import warnings

import pytest
from PIL import Image

import kestrix.image
from conftest import Reply
from excode import InvalidImageError, ServiceError
from kestrix.image import ImageTool
from transparency_images import encode, noise, truncated

VALID = encode(Image.new("RGB", (3, 2), "red"))


def invalid(image_data: object, **kwargs: object) -> InvalidImageError:
    with pytest.raises(InvalidImageError) as info:
        ImageTool.is_valid_image(image_data, **kwargs)
    error = info.value
    # Raised inside the OSError handler: the wrapped error is also the context.
    assert isinstance(error.original_error, OSError)
    assert error.__context__ is error.original_error
    assert str(error) == "图片无效: " + str(error.original_error)
    return error


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_valid_bytes_like(kind):
    assert ImageTool.is_valid_image(kind(VALID)) is True


def test_valid_file_is_read_and_closed(tmp_path):
    path = tmp_path / "ok.png"
    path.write_bytes(VALID)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert ImageTool.is_valid_image(str(path)) is True
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


@pytest.mark.parametrize(
    "data",
    [
        b"\x89PN",
        b"",
        truncated(noise("RGBA")),
        truncated(noise("RGB", "JPEG")),
        b"http://127.0.0.1:9/never-downloaded.png",
    ],
    ids=["three-bytes", "empty", "truncated-png", "truncated-jpeg", "bytes-that-look-like-a-url"],
)
def test_undecodable_bytes(data):
    error = invalid(data)
    assert error.image_size == len(data)
    assert error.extra_data == {}


@pytest.fixture
def unreadable_file(tmp_path) -> str:
    """An existing regular file whose read fails with an OSError."""
    if os.geteuid() != 0:
        path = tmp_path / "locked.png"
        path.write_bytes(VALID)
        path.chmod(0)
        return str(path)
    if os.path.isfile("/proc/self/mem"):  # root reads any mode; this file fails at offset 0
        return "/proc/self/mem"
    pytest.skip("no unreadable regular file available")


@pytest.mark.parametrize("path_kind", ["missing", "directory"])
def test_path_that_is_not_a_file_is_wrapped(path_kind, tmp_path):
    path = str(tmp_path / "missing.png") if path_kind == "missing" else str(tmp_path)
    error = invalid(path)
    assert type(error.original_error) is FileNotFoundError
    assert str(error) == "图片无效: 图片文件不存在: " + path
    assert error.image_size == len(path)


def test_upper_case_scheme_is_a_path(server):
    url = server.route("/img.png", Reply(body=VALID)).replace("http://", "HTTP://")
    error = invalid(url)
    assert str(error) == "图片无效: 图片文件不存在: " + url
    assert server.hits("/img.png") == []


def test_unreadable_file_is_wrapped(unreadable_file):
    error = invalid(unreadable_file)
    assert not isinstance(error.original_error, FileNotFoundError)
    assert error.image_size == len(unreadable_file)


def test_extra_keywords_travel_in_a_fresh_dict():
    context = {"task_id": "abc123", "user_id": 42}
    error = invalid(b"abc", **context)
    assert error.extra_data == context
    assert error.extra_data is not context
    assert error.image_size == 3


def test_url_is_downloaded_and_decoded(server):
    url = server.route("/ok.png", Reply(body=VALID))
    assert ImageTool.is_valid_image(url, task_id="t") is True
    assert len(server.hits("/ok.png")) == 1


def test_html_page_is_invalid_with_the_body_size(server):
    body = b"<html><body>not an image</body></html>"
    url = server.route("/page", Reply(body=body, headers={"Content-Type": "text/html"}))
    error = invalid(url, task_id="t")
    assert error.image_size == len(body)
    assert error.extra_data == {"task_id": "t"}


def test_failed_download_passes_through(server, monkeypatch, sleep_recorder):
    monkeypatch.setattr(kestrix.image, "time", sleep_recorder)
    url = server.route("/gone", Reply(status=404))
    with pytest.raises(ServiceError):
        ImageTool.is_valid_image(url, task_id="t")
    assert len(server.hits("/gone")) == 3


def test_download_gets_the_url_alone_and_its_whole_body(monkeypatch):
    calls = []

    def fetch(*args, **kwargs):
        calls.append((args, kwargs))
        stream = io.BytesIO(VALID)
        stream.seek(0, io.SEEK_END)  # as a real download leaves it
        return stream

    monkeypatch.setattr(ImageTool, "get_img_url_io", staticmethod(fetch))
    assert ImageTool.is_valid_image("https://example.invalid/a.png", task_id="t") is True
    assert calls == [(("https://example.invalid/a.png",), {})]


class Url(str):
    pass


@pytest.mark.parametrize(
    "image_data",
    [io.BytesIO(VALID), 42, Url("https://example.invalid/a.png")],
    ids=["bytesio", "int", "str-subclass-url"],
)
def test_unusable_types_raise_type_error(image_data):
    with pytest.raises(TypeError):
        ImageTool.is_valid_image(image_data)


def test_none_fails_computing_its_size():
    with pytest.raises(TypeError) as info:
        ImageTool.is_valid_image(None)
    assert isinstance(info.value.__context__, OSError)


def test_pillow_errors_that_are_not_oserrors_pass_through(monkeypatch):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 2)
    with pytest.raises(Image.DecompressionBombError):
        ImageTool.is_valid_image(VALID)
