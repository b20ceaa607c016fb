"""ImageTool.trim_transparent_edges: the content box, padding, the no-content
case, output formats, inputs and errors, and agreement with the plain NumPy
computation."""

from __future__ import annotations

import gc
import warnings
from io import BytesIO

import numpy as np
import pytest
from PIL import Image

from conftest import Reply
from kestrix.image import ImageTool

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def encode(img: Image.Image, fmt: str = "PNG", **params: object) -> bytes:
    buf = BytesIO()
    img.save(buf, format=fmt, **params)
    return buf.getvalue()


def decode(data: bytes) -> Image.Image:
    img = Image.open(BytesIO(data))
    img.load()
    return img


def reference(img: Image.Image, padding: int = 10, output_format: str = "PNG") -> bytes:
    """The straightforward computation with full-size masks and argwhere."""
    img = img.convert("RGBA")
    arr = np.array(img)
    content = (arr[:, :, 3] > 0) & ~np.all(arr[:, :, :3] == 255, axis=2)
    coords = np.argwhere(content)
    if len(coords) == 0:
        return encode(img, output_format)
    top, left = (int(v) for v in coords.min(axis=0))
    bottom, right = (int(v) + 1 for v in coords.max(axis=0))
    box = (
        max(0, left - padding),
        max(0, top - padding),
        min(img.width, right + padding),
        min(img.height, bottom + padding),
    )
    return encode(img.crop(box), output_format)


def one_pixel(x: int, y: int, size: int = 100) -> Image.Image:
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    img.putpixel((x, y), (255, 0, 0, 255))
    return img


@pytest.mark.parametrize(
    ("x", "y", "padding", "box"),
    [
        (50, 40, 10, (40, 30, 61, 51)),
        (2, 3, 10, (0, 0, 13, 14)),
        (99, 99, 10, (89, 89, 100, 100)),
        (50, 40, 0, (50, 40, 51, 41)),
        (50, 40, 2**80, (0, 0, 100, 100)),
    ],
)
def test_crop_box(x, y, padding, box):
    img = one_pixel(x, y)
    out = decode(ImageTool.trim_transparent_edges(encode(img), padding))
    assert out.mode == "RGBA"
    assert out.size == (box[2] - box[0], box[3] - box[1])
    assert np.array_equal(np.array(out), np.array(img.crop(box)))


def test_box_spans_every_content_pixel():
    # Content reaching different edges on different rows, with white and
    # transparent pixels in between, and a right edge past a 64-pixel block.
    img = Image.new("RGBA", (150, 60), (255, 255, 255, 255))
    for xy in [(70, 5), (10, 30), (140, 31), (40, 50)]:
        img.putpixel(xy, (10, 20, 30, 255))
    img.paste((0, 0, 0, 0), (0, 40, 150, 45))
    out = decode(ImageTool.trim_transparent_edges(encode(img), 0))
    assert np.array_equal(np.array(out), np.array(img.crop((10, 5, 141, 51))))


@pytest.mark.parametrize(
    ("img", "size"),
    [
        pytest.param(Image.new("RGBA", (30, 20), (255, 0, 0, 0)), (30, 20), id="fully transparent"),
        pytest.param(Image.new("RGBA", (30, 20), (255, 255, 255, 255)), (30, 20), id="opaque white"),
        pytest.param(Image.new("RGB", (30, 20), (255, 255, 255)), (30, 20), id="white RGB"),
        pytest.param(Image.new("RGB", (30, 20), (254, 254, 254)), (30, 20), id="(254, 254, 254) is content"),
        pytest.param(
            Image.new("RGBA", (30, 20), (255, 255, 254, 255)), (30, 20), id="(255, 255, 254) is content"
        ),
        pytest.param(Image.new("L", (30, 20), 7), (30, 20), id="grey without margins"),
        pytest.param(Image.new("RGB", (30, 20), (1, 2, 3)), (30, 20), id="RGB without margins"),
    ],
)
def test_whole_image_comes_back_as_rgba(img, size):
    out_bytes = ImageTool.trim_transparent_edges(encode(img))
    out = decode(out_bytes)
    assert (out.mode, out.size) == ("RGBA", size)
    assert out_bytes == reference(img)


@pytest.mark.parametrize(
    ("pixel", "box"),
    [
        ((9, 9, 9, 1), (5, 5, 6, 6)),  # faintly visible: content
        ((255, 255, 255, 255), None),  # pure white: background
        ((255, 255, 255, 1), None),
        ((0, 0, 0, 0), None),
    ],
)
def test_what_counts_as_content(pixel, box):
    img = Image.new("RGBA", (12, 12), (0, 0, 0, 0))
    img.putpixel((5, 5), pixel)
    out = decode(ImageTool.trim_transparent_edges(encode(img), 0))
    assert out.size == ((1, 1) if box else (12, 12))


def test_white_margins_around_a_photo():
    rng = np.random.default_rng(0)
    arr = np.full((80, 120, 3), 255, np.uint8)
    arr[20:50, 30:100] = rng.integers(0, 255, (30, 70, 3))
    img = Image.fromarray(arr)
    out = decode(ImageTool.trim_transparent_edges(encode(img), 5))
    assert out.size == (80, 40)
    assert np.array_equal(np.array(out), np.array(img.convert("RGBA").crop((25, 15, 105, 55))))


def test_negative_padding():
    img = Image.new("RGBA", (100, 100), (0, 0, 0, 0))
    img.paste((0, 0, 255, 255), (20, 30, 60, 50))  # content box (20, 30, 60, 50)
    data = encode(img)
    out = decode(ImageTool.trim_transparent_edges(data, -5))
    assert np.array_equal(np.array(out), np.array(img.crop((25, 35, 55, 45))))
    # A box turned inside out reaches crop as computed and fails there.
    for padding in (-11, -25, -(2**80)):
        with pytest.raises(ValueError, match="is less than"):
            ImageTool.trim_transparent_edges(data, padding)
    # An empty box crops to nothing, which the encoder refuses.
    with pytest.raises(ValueError):
        ImageTool.trim_transparent_edges(data, -10)


def test_output_formats():
    img = one_pixel(5, 5, 20)
    assert ImageTool.trim_transparent_edges(encode(img)).startswith(PNG_SIGNATURE)
    webp = ImageTool.trim_transparent_edges(encode(img), 2, "WEBP")
    assert webp[:4] == b"RIFF" and webp[8:12] == b"WEBP"
    assert decode(webp).size == (5, 5)
    with pytest.raises(KeyError):
        ImageTool.trim_transparent_edges(encode(img), 2, "NO-SUCH-FORMAT")
    with pytest.raises(OSError):
        ImageTool.trim_transparent_edges(encode(img), 2, "JPEG")  # cannot store RGBA


def test_no_content_encodes_a_plain_copy():
    # The opened TIFF file object would write its own tags back; the converted
    # copy does not.
    img = Image.new("RGBA", (20, 10), (0, 0, 0, 0))
    data = encode(img, "TIFF", description="from the camera")
    assert ImageTool.trim_transparent_edges(data, 10, "TIFF") == reference(decode(data), 10, "TIFF")


def test_inputs(server, tmp_path):
    data = encode(one_pixel(50, 40))
    expected = ImageTool.trim_transparent_edges(data)
    path = tmp_path / "pixel.png"
    path.write_bytes(data)
    stream = BytesIO(data)
    stream.seek(0, 2)
    url = server.route("/pixel.png", Reply(200, data))
    assert ImageTool.trim_transparent_edges(str(path)) == expected
    assert ImageTool.trim_transparent_edges(stream) == expected
    assert ImageTool.trim_transparent_edges(memoryview(data)) == expected
    assert ImageTool.trim_transparent_edges(url) == expected
    assert len(server.hits("/pixel.png")) == 1


def test_file_opened_by_path_is_closed(tmp_path):
    # Pillow keeps the file of a multi-frame image open for its other frames.
    path = tmp_path / "two-frames.gif"
    one_pixel(5, 5, size=16).save(path, save_all=True, append_images=[one_pixel(9, 9, size=16)])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ImageTool.trim_transparent_edges(str(path))
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


@pytest.mark.parametrize(
    ("value", "error"),
    [
        ("/no/such/file.png", FileNotFoundError),
        (b"not an image", OSError),
        (encode(Image.new("RGB", (64, 64), (1, 2, 3)))[:-60], OSError),
        (3.5, TypeError),
    ],
    ids=["missing path", "garbage", "truncated", "float"],
)
def test_errors(value, error):
    with pytest.raises(error) as info:
        ImageTool.trim_transparent_edges(value)
    if error is FileNotFoundError:
        assert str(info.value) == "图片文件不存在: /no/such/file.png"


def random_images(seed: int) -> list[Image.Image]:
    rng = np.random.default_rng(seed)
    images = []
    for mode in ["RGBA", "RGBA", "RGB", "LA", "L", "P"]:
        h, w = (int(v) for v in rng.integers(1, 90, 2))
        arr = np.zeros((h, w, 4), np.uint8)
        arr[..., :3] = 255
        arr[..., 3] = rng.integers(0, 2, (h, w)) * 255
        for _ in range(int(rng.integers(0, 4))):
            y, x = int(rng.integers(0, h)), int(rng.integers(0, w))
            arr[y, x] = rng.integers(0, 256, 4)
        img = Image.fromarray(arr, "RGBA")
        images.append(img.convert("RGB").quantize(8) if mode == "P" else img.convert(mode))
    return images


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("padding", [0, 3, -1])
def test_matches_numpy(seed, padding):
    for img in random_images(seed):
        data = encode(img)
        try:
            expected = reference(decode(data), padding)
        except ValueError:
            with pytest.raises(ValueError):
                ImageTool.trim_transparent_edges(data, padding)
        else:
            assert ImageTool.trim_transparent_edges(data, padding) == expected, img.mode


@pytest.fixture(scope="module")
def large_rgba() -> bytes:
    """Over Pillow's default 16 MiB allocation block, so its rows are not in one piece."""
    arr = np.zeros((2100, 2100, 4), np.uint8)
    arr[700:1500, 300] = (10, 20, 30, 255)
    arr[900, 250:1800] = (200, 0, 0, 128)
    return encode(Image.fromarray(arr, "RGBA"), compress_level=1)


@pytest.fixture(params=[None, 4096], ids=["default blocks", "4 KiB blocks"])
def block_size(request):
    """Pillow's allocation block size; with 4 KiB blocks no image is in one piece."""
    saved = Image.core.get_block_size()
    if request.param:
        Image.core.set_block_size(request.param)
    yield request.param
    Image.core.set_block_size(saved)


def test_large_image_matches_numpy(large_rgba, block_size):
    assert ImageTool.trim_transparent_edges(large_rgba, 7) == reference(decode(large_rgba), 7)


def test_small_allocation_blocks_match_numpy(block_size):
    for img in random_images(9):
        data = encode(img)
        assert ImageTool.trim_transparent_edges(data, 2) == reference(decode(data), 2), img.mode
