"""ImageTool.has_multiple_transparency: palette and alpha images against their limits."""

from __future__ import annotations

import gc
import io
import warnings

import numpy as np
import pytest
from PIL import Image, ImageFile, UnidentifiedImageError

import kestrix.image
from conftest import Reply
from excode import ServiceError
from kestrix.image import ImageTool
from transparency_images import encode, noise, palette, rgba, truncated

BYTES_ENTRY = b"\x80\x00"  # one alpha per palette index: not a single transparent index

CASES = [
    # palette: pixels of the transparent index > threshold
    ("png-5-of-default", palette(5), 5, False),
    ("png-6-of-default", palette(6), 5, True),
    ("gif-5-of-default", palette(5, "GIF"), 5, False),
    ("gif-6-of-default", palette(6, "GIF"), 5, True),
    ("one-pixel-threshold-0", palette(1), 0, True),
    ("unused-index-threshold-0", palette(0), 0, False),
    ("unused-index-negative-threshold", palette(0), -1, True),
    ("threshold-truncates-toward-zero", palette(0), -0.5, False),
    ("threshold-5.9-is-5", palette(6), 5.9, True),
    ("huge-threshold", palette(6), 10**30, False),
    ("huge-negative-threshold", palette(0), -(10**30), True),
    ("no-entry", palette(6, transparency=None), -1, False),
    ("bytes-entry", palette(6, transparency=BYTES_ENTRY), 0, False),
    ("bytes-entry-negative-threshold", palette(6, transparency=BYTES_ENTRY), -1, True),
    # RGBA: share of alpha < 255 above 5 %, whatever the threshold
    ("rgba-5-of-100", rgba(5), 5, False),
    ("rgba-6-of-100", rgba(6), 5, True),
    ("rgba-all-254", rgba(100, alpha=254), 5, True),
    ("rgba-all-opaque", rgba(0), -(10**30), False),
    ("rgba-ignores-threshold", rgba(6), 10**30, True),
    # other modes, transparent or not
    ("la", encode(Image.new("LA", (10, 10), (0, 0))), 0, False),
    ("rgb-with-entry", encode(Image.new("RGB", (10, 10)), transparency=(0, 0, 0)), 0, False),
    ("l", encode(Image.new("L", (10, 10))), 0, False),
    ("bilevel", encode(Image.new("1", (10, 10))), 0, False),
]


@pytest.mark.parametrize(("data", "threshold", "expected"), [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_answers(data, threshold, expected):
    assert ImageTool.has_multiple_transparency(data, threshold) is expected


def test_entry_kinds_are_what_the_cases_assume():
    info = [Image.open(io.BytesIO(palette(6, transparency=t))).info for t in (0, None, BYTES_ENTRY)]
    assert [i.get("transparency") for i in info] == [0, None, BYTES_ENTRY]


@pytest.mark.parametrize(
    ("size", "transparent", "alpha", "expected"),
    [
        ((1000, 1000), 50_000, 0, False),
        ((1000, 1000), 50_001, 254, True),
        # larger than one of Pillow's memory blocks: counted another way
        ((2100, 2100), 220_500, 0, False),
        ((2100, 2100), 220_501, 254, True),
    ],
)
def test_alpha_share_is_exact_on_large_images(size, transparent, alpha, expected):
    data = rgba(transparent, alpha=alpha, size=size)
    assert ImageTool.has_multiple_transparency(data, threshold=-1) is expected


def test_other_modes_are_answered_without_decoding_pixels():
    # Broken pixel data fails only where pixels are needed.
    no_entry = Image.fromarray(np.random.default_rng(1).integers(0, 3, (64, 64), dtype=np.uint8), "P")
    for data in (truncated(noise("RGB")), truncated(noise("L")), truncated(encode(no_entry))):
        assert ImageTool.has_multiple_transparency(data) is False
    with_entry = truncated(encode(no_entry, transparency=0))
    for data in (truncated(noise("RGBA")), with_entry):
        with pytest.raises(OSError, match="truncated"):
            ImageTool.has_multiple_transparency(data)


class _EmptyRGBA(ImageFile.StubImageFile):
    """A format whose images are RGBA with no pixels at all."""

    format = "KXEMPTY"
    format_description = "empty RGBA image"

    def _open(self) -> None:
        if self.fp.read(8) != b"KXEMPTY\n":
            raise SyntaxError("not an empty image")
        self._mode = "RGBA"
        self._size = (0, 7)

    def _load(self) -> None:
        return None


def test_rgba_without_pixels_is_false(monkeypatch):
    monkeypatch.setattr(Image, "ID", [*Image.ID, _EmptyRGBA.format])
    monkeypatch.setitem(Image.OPEN, _EmptyRGBA.format, (_EmptyRGBA, None))
    assert Image.open(io.BytesIO(b"KXEMPTY\n")).size == (0, 7)
    assert ImageTool.has_multiple_transparency(b"KXEMPTY\n") is False


@pytest.fixture
def six_transparent() -> bytes:
    return rgba(6)


@pytest.mark.parametrize("kind", ["bytes", "bytearray", "memoryview", "path", "stream-at-end", "url"])
def test_input_kinds(kind, six_transparent, tmp_path, request):
    if kind == "path":
        path = tmp_path / "six.png"
        path.write_bytes(six_transparent)
        image_data: object = str(path)
    elif kind == "stream-at-end":
        image_data = io.BytesIO(six_transparent)
        image_data.seek(0, io.SEEK_END)
    elif kind == "url":
        server = request.getfixturevalue("server")
        image_data = server.route("/six.png", Reply(body=six_transparent))
    else:
        image_data = {"bytes": bytes, "bytearray": bytearray, "memoryview": memoryview}[kind](six_transparent)
    assert ImageTool.has_multiple_transparency(image_data) is True
    if kind == "stream-at-end":
        assert not image_data.closed  # the caller's stream stays the caller's


def test_file_opened_by_path_is_closed(tmp_path):
    path = tmp_path / "gray.png"
    path.write_bytes(encode(Image.new("L", (4, 4))))  # answered from the header alone
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert ImageTool.has_multiple_transparency(str(path)) is False
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


def test_download_gets_the_url_alone(monkeypatch):
    calls = []

    def fetch(*args, **kwargs):
        calls.append((args, kwargs))
        stream = io.BytesIO(rgba(6))
        stream.seek(0, io.SEEK_END)
        return stream

    monkeypatch.setattr(ImageTool, "get_img_url_io", staticmethod(fetch))
    assert ImageTool.has_multiple_transparency("http://example.invalid/a.png", threshold=9) is True
    assert calls == [(("http://example.invalid/a.png",), {})]


def test_paths_that_are_not_files(tmp_path, server):
    url = server.route("/six.png", Reply(body=rgba(6))).replace("http://", "HTTP://")
    for path in (str(tmp_path / "missing.png"), str(tmp_path), url):
        with pytest.raises(FileNotFoundError) as info:
            ImageTool.has_multiple_transparency(path)
        assert info.value.args == ("图片文件不存在: " + path,)
    assert server.hits("/six.png") == []


def test_failed_download_passes_through(server, monkeypatch, sleep_recorder):
    monkeypatch.setattr(kestrix.image, "time", sleep_recorder)
    url = server.route("/gone", Reply(status=404))
    with pytest.raises(ServiceError):
        ImageTool.has_multiple_transparency(url)


@pytest.mark.parametrize(
    ("image_data", "threshold", "error"),
    [
        (b"\x00\x01\x02", 5, UnidentifiedImageError),
        (42, 5, TypeError),
        (rgba(6), "5", TypeError),
        (rgba(6), None, TypeError),
    ],
    ids=["garbage", "int-image", "str-threshold", "none-threshold"],
)
def test_errors_reach_the_caller(image_data, threshold, error):
    with pytest.raises(error):
        ImageTool.has_multiple_transparency(image_data, threshold)
