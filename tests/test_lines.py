"""ImageTool.has_colored_lines: pixel classes, the filters, the result
dictionary, inputs and errors, and agreement with the plain NumPy computation."""

from __future__ import annotations

import gc
import warnings
from io import BytesIO

import numpy as np
import pytest
from PIL import Image

from conftest import Reply
from kestrix.image import ImageTool

ALL_BACKGROUND = {
    "has_lines": False,
    "has_green": False,
    "has_red": False,
    "green_ratio": 0.0,
    "red_ratio": 0.0,
    "total_non_bg_ratio": 0.0,
}


def png(img: Image.Image, **params: object) -> bytes:
    buf = BytesIO()
    img.save(buf, format="PNG", **params)
    return buf.getvalue()


def reference(
    img: Image.Image,
    bg_threshold: int = 30,
    color_gap: int = 30,
    max_fill_ratio: float = 0.3,
    min_colored_ratio: float = 0.85,
    min_dual_color_ratio: float = 0.15,
    max_density_for_single_color: float = 0.05,
) -> dict:
    """The straightforward computation: an int32 array and full-size masks."""
    arr = np.array(img.convert("RGB"), dtype=np.int32)
    r, g, b = arr[:, :, 0], arr[:, :, 1], arr[:, :, 2]
    is_dark = (r <= bg_threshold) & (g <= bg_threshold) & (b <= bg_threshold)
    is_white = (r >= 240) & (g >= 240) & (b >= 240)
    non_bg = ~(is_dark | is_white)
    non_bg_count = int(np.sum(non_bg))
    if non_bg_count == 0:
        return dict(ALL_BACKGROUND)
    green_gaps = non_bg & (g - r > color_gap) & (g - b > color_gap)
    green = (green_gaps & (b * 10 < g * 6)) | (green_gaps & (r < 120) & (r < b))
    red = non_bg & (r - g > color_gap) & (r - b > color_gap) & (b * 10 < r * 6)
    green_count, red_count = int(np.sum(green)), int(np.sum(red))
    green_ratio = green_count / non_bg_count
    red_ratio = red_count / non_bg_count
    colored_ratio = (green_count + red_count) / non_bg_count
    total_non_bg_ratio = non_bg_count / (arr.shape[0] * arr.shape[1])
    is_fill = total_non_bg_ratio > max_fill_ratio
    is_multicolor = colored_ratio < min_colored_ratio
    is_sparse = total_non_bg_ratio < max_density_for_single_color
    is_single_color = False if is_sparse else min(green_ratio, red_ratio) < min_dual_color_ratio
    return {
        "has_lines": not (is_fill or is_multicolor or is_single_color) and colored_ratio > 0.5,
        "has_green": green_ratio > 0.1,
        "has_red": red_ratio > 0.1,
        "green_ratio": round(green_ratio, 4),
        "red_ratio": round(red_ratio, 4),
        "total_non_bg_ratio": round(total_non_bg_ratio, 4),
    }


def ratios(result: dict) -> tuple[float, float, float]:
    return result["total_non_bg_ratio"], result["green_ratio"], result["red_ratio"]


@pytest.mark.parametrize(
    ("colour", "kwargs", "expected"),
    [
        ((30, 30, 30), {}, (0.0, 0.0, 0.0)),  # background tests include equality
        ((240, 240, 240), {}, (0.0, 0.0, 0.0)),
        ((31, 30, 30), {}, (1.0, 0.0, 0.0)),
        ((200, 200, 200), {}, (1.0, 0.0, 0.0)),
        ((255, 105, 180), {}, (1.0, 0.0, 0.0)),  # pink: too much blue for red
        ((20, 100, 60), {}, (1.0, 1.0, 0.0)),  # teal: green only through the dark rule
        ((100, 130, 50), {}, (1.0, 0.0, 0.0)),  # a gap equal to color_gap does not count
        ((100, 131, 50), {}, (1.0, 1.0, 0.0)),
        ((0, 255, 0), {}, (1.0, 1.0, 0.0)),
        ((255, 0, 0), {}, (1.0, 0.0, 1.0)),
        ((100, 100, 50), {"color_gap": -1}, (1.0, 1.0, 1.0)),  # a negative gap counts a pixel twice
        ((100, 100, 50), {"color_gap": -(10**30)}, (1.0, 1.0, 1.0)),
        ((0, 255, 0), {"color_gap": 254}, (1.0, 1.0, 0.0)),
        ((0, 255, 0), {"color_gap": 255}, (1.0, 0.0, 0.0)),
        ((0, 255, 0), {"color_gap": 10**30}, (1.0, 0.0, 0.0)),
        ((200, 200, 200), {"bg_threshold": 200}, (0.0, 0.0, 0.0)),
        ((239, 239, 239), {"bg_threshold": 10**30}, (0.0, 0.0, 0.0)),
        ((0, 0, 0), {"bg_threshold": -1}, (1.0, 0.0, 0.0)),
        ((0, 0, 0), {"bg_threshold": -(10**30)}, (1.0, 0.0, 0.0)),
    ],
)
def test_pixel_classes(colour, kwargs, expected):
    # 21 pixels: the vector loop and the per-pixel tail both see the colour.
    result = ImageTool.has_colored_lines(png(Image.new("RGB", (7, 3), colour)), **kwargs)
    assert ratios(result) == expected


def strokes(background, layers) -> Image.Image:
    """A 100x100 image; each layer paints `rows` whole rows in its colour, top-down."""
    arr = np.zeros((100, 100, 3), np.uint8)
    arr[:] = background
    row = 0
    for colour, rows in layers:
        arr[row : row + rows] = colour
        row += rows
    return Image.fromarray(arr)


GREEN, RED, BLACK, WHITE, GRAY = (0, 255, 0), (255, 0, 0), (0, 0, 0), (255, 255, 255), (200, 200, 200)


@pytest.mark.parametrize(
    ("img", "expected"),
    [
        pytest.param(
            strokes(BLACK, [(GREEN, 2)]),
            (True, True, False, 1.0, 0.0, 0.02),
            id="green 2%: sparse, so single colour is allowed",
        ),
        pytest.param(
            strokes(BLACK, [(GREEN, 10)]),
            (False, True, False, 1.0, 0.0, 0.1),
            id="green 10%: single colour",
        ),
        pytest.param(
            strokes(BLACK, [(RED, 5), (GREEN, 5)]),
            (True, True, True, 0.5, 0.5, 0.1),
            id="red and green 5% each",
        ),
        pytest.param(
            strokes(BLACK, [(RED, 15), (GREEN, 15)]),
            (True, True, True, 0.5, 0.5, 0.3),
            id="15% each: equal to max_fill_ratio, not a fill",
        ),
        pytest.param(
            strokes(BLACK, [(RED, 20), (GREEN, 20)]),
            (False, True, True, 0.5, 0.5, 0.4),
            id="20% each: a fill",
        ),
        pytest.param(
            strokes(WHITE, [(RED, 5), (GREEN, 5), (GRAY, 10)]),
            (False, True, True, 0.25, 0.25, 0.2),
            id="on white with light-gray areas: multicolour",
        ),
        pytest.param(strokes(BLACK, []), tuple(ALL_BACKGROUND.values()), id="all black"),
        pytest.param(strokes(WHITE, [(BLACK, 50)]), tuple(ALL_BACKGROUND.values()), id="black and white"),
    ],
)
def test_stroke_images(img, expected):
    result = ImageTool.has_colored_lines(png(img))
    assert list(result) == [
        "has_lines",
        "has_green",
        "has_red",
        "green_ratio",
        "red_ratio",
        "total_non_bg_ratio",
    ]
    assert tuple(result.values()) == expected
    assert all(type(result[k]) is bool for k in ("has_lines", "has_green", "has_red"))
    assert all(type(result[k]) is float for k in ("green_ratio", "red_ratio", "total_non_bg_ratio"))


def test_ratios_are_rounded_but_decisions_use_exact_values():
    arr = np.zeros((3, 1000, 3), np.uint8)
    arr[0, 0] = RED
    arr[1, :2] = GREEN
    data = png(Image.fromarray(arr))
    result = ImageTool.has_colored_lines(data)
    assert ratios(result) == (0.001, 0.6667, 0.3333)
    assert result["has_lines"] is True  # sparse: single-colour filter skipped
    # red_ratio is 1/3: above 0.33333 although its rounded value is not.
    dense = {"max_density_for_single_color": 0.0}
    assert ImageTool.has_colored_lines(data, min_dual_color_ratio=0.33333, **dense)["has_lines"] is True
    assert ImageTool.has_colored_lines(data, min_dual_color_ratio=0.33334, **dense)["has_lines"] is False


@pytest.mark.parametrize(
    ("hidden_colour", "has_lines", "total_non_bg_ratio"),
    [((0, 0, 0), True, 0.02), ((255, 0, 0), False, 1.0)],
    ids=["transparent area stores black", "transparent area stores red"],
)
def test_alpha_is_dropped_without_compositing(hidden_colour, has_lines, total_non_bg_ratio):
    arr = np.zeros((100, 100, 4), np.uint8)
    arr[..., :3] = hidden_colour
    arr[:2] = (0, 255, 0, 255)
    result = ImageTool.has_colored_lines(png(Image.fromarray(arr, "RGBA")))
    assert (result["has_lines"], result["total_non_bg_ratio"]) == (has_lines, total_non_bg_ratio)


@pytest.mark.parametrize("mode", ["P", "L", "LA", "CMYK"])
def test_other_modes_are_judged_by_their_rgb_colours(mode):
    img = strokes(BLACK, [(RED, 5), (GREEN, 5), (GRAY, 1)])
    converted = img.quantize(8) if mode == "P" else img.convert(mode)
    buf = BytesIO()
    converted.save(buf, format="TIFF")
    assert ImageTool.has_colored_lines(buf.getvalue()) == reference(converted)


def test_inputs(server, tmp_path):
    data = png(strokes(BLACK, [(RED, 5), (GREEN, 5)]))
    expected = ImageTool.has_colored_lines(data)
    path = tmp_path / "lines.png"
    path.write_bytes(data)
    stream = BytesIO(data)
    stream.seek(0, 2)
    url = server.route("/lines.png", Reply(200, data))
    assert ImageTool.has_colored_lines(str(path)) == expected
    assert ImageTool.has_colored_lines(stream) == expected
    assert ImageTool.has_colored_lines(bytearray(data)) == expected
    assert ImageTool.has_colored_lines(url) == expected
    assert len(server.hits("/lines.png")) == 1


def test_file_opened_by_path_is_closed(tmp_path):
    # Pillow keeps the file of a multi-frame image open for its other frames.
    path = tmp_path / "two-frames.gif"
    strokes(BLACK, [(RED, 5)]).save(path, save_all=True, append_images=[strokes(BLACK, [(GREEN, 5)])])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ImageTool.has_colored_lines(str(path))
        gc.collect()
    assert not [w for w in caught if issubclass(w.category, ResourceWarning)]


@pytest.mark.parametrize(
    ("make_input", "error", "message"),
    [
        (lambda tmp: str(tmp / "missing.png"), FileNotFoundError, "图片文件不存在: {}"),
        (lambda tmp: str(tmp), FileNotFoundError, "图片文件不存在: {}"),
        (lambda tmp: "HTTP://127.0.0.1/x.png", FileNotFoundError, "图片文件不存在: {}"),
        (lambda tmp: b"not an image", OSError, None),
        (lambda tmp: png(Image.new("RGB", (64, 64), GREEN))[:-60], OSError, None),  # truncated
        (lambda tmp: 42, TypeError, None),
    ],
    ids=["missing path", "directory", "upper-case scheme", "garbage", "truncated", "int"],
)
def test_errors(tmp_path, make_input, error, message):
    value = make_input(tmp_path)
    with pytest.raises(error) as info:
        ImageTool.has_colored_lines(value)
    if message:
        assert str(info.value) == message.format(value)


def random_images(seed: int) -> list[Image.Image]:
    """Mixed content in many modes; colours are drawn near the class borders."""
    rng = np.random.default_rng(seed)
    levels = np.array([0, 20, 29, 30, 31, 60, 99, 100, 119, 120, 130, 131, 200, 239, 240, 254, 255], np.uint8)
    arr = rng.choice(levels, (71, 67, 4))
    arr[:20] = rng.integers(0, 256, (20, 67, 4))
    rgba = Image.fromarray(arr, "RGBA")
    return [
        rgba.convert("RGB"),
        rgba,  # transparent pixels keep their stored colours
        rgba.convert("LA"),
        rgba.convert("L"),
        rgba.convert("RGB").quantize(100),
        rgba.convert("RGB").quantize(100).crop((0, 0, 30, 30)),
    ]


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"bg_threshold": 119, "color_gap": 0},
        {"bg_threshold": -5, "color_gap": -30, "min_colored_ratio": 0.2},
        {"bg_threshold": 2**70, "color_gap": -(2**70)},
    ],
)
def test_matches_numpy(seed, kwargs):
    for img in random_images(seed):
        assert ImageTool.has_colored_lines(png(img), **kwargs) == reference(img, **kwargs), img.mode


def test_palette_quirks_match_numpy():
    # A 4-colour palette with pixels indexing past it, and tRNS transparency in
    # either form: whatever convert("RGB") makes of them.
    rng = np.random.default_rng(3)
    short = Image.frombytes("P", (40, 30), rng.integers(0, 256, 1200, dtype=np.uint8).tobytes())
    short.putpalette([255, 0, 0, 0, 255, 0, 0, 0, 0, 250, 250, 250])
    quantized = Image.fromarray(rng.integers(0, 256, (30, 40, 3), dtype=np.uint8)).quantize(64)
    cases = [png(short), png(quantized, transparency=3), png(quantized, transparency=bytes(range(64)))]
    for data in cases:
        with warnings.catch_warnings(record=True) as expected_warnings:
            warnings.simplefilter("always")
            expected = reference(Image.open(BytesIO(data)))
        with warnings.catch_warnings(record=True) as got_warnings:
            warnings.simplefilter("always")
            assert ImageTool.has_colored_lines(data) == expected
        assert [str(w.message) for w in got_warnings] == [str(w.message) for w in expected_warnings]


@pytest.fixture(scope="module")
def large_rgb() -> bytes:
    """Over Pillow's default 16 MiB allocation block, so its rows are not in one piece."""
    rng = np.random.default_rng(4)
    arr = np.zeros((2100, 2100, 3), np.uint8)
    arr[::7] = GREEN
    arr[:, ::11] = RED
    arr[1000:1100] = rng.integers(0, 256, (100, 2100, 3))
    return png(Image.fromarray(arr), compress_level=1)


@pytest.fixture(params=[None, 4096], ids=["default blocks", "4 KiB blocks"])
def block_size(request):
    """Pillow's allocation block size; with 4 KiB blocks no image is in one piece."""
    saved = Image.core.get_block_size()
    if request.param:
        Image.core.set_block_size(request.param)
    yield request.param
    Image.core.set_block_size(saved)


def test_large_image_matches_numpy(large_rgb, block_size):
    assert ImageTool.has_colored_lines(large_rgb) == reference(Image.open(BytesIO(large_rgb)))


def test_small_allocation_blocks_match_numpy(block_size):
    for img in random_images(5):
        assert ImageTool.has_colored_lines(png(img)) == reference(img), img.mode
