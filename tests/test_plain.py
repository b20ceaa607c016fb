"""ImageTool.is_plain_gray: measurements against a direct NumPy/OpenCV
computation, the verdict table, input kinds and the failure result."""

from __future__ import annotations

import math
from io import BytesIO

import cv2
import numpy as np
import pytest

import kestrix.image
from conftest import Reply
from kestrix.image import ImageTool

FALLBACK = {"std": 0, "edge_ratio": 100, "saturation": 0}
DIGITS = {
    "std": 1,
    "edge_ratio": 4,
    "saturation": 2,
    "local_contrast": 2,
    "high_freq_ratio": 6,
    "enhanced_edge_ratio": 4,
    "enhanced_std": 1,
}


def png(bgr: np.ndarray) -> bytes:
    ok, buf = cv2.imencode(".png", bgr)
    assert ok
    return buf.tobytes()


def uniform(height: int, width: int, bgr: tuple[int, int, int]) -> bytes:
    return png(np.full((height, width, 3), bgr, np.uint8))


def photo(height: int, width: int, seed: int = 0) -> np.ndarray:
    """Gradients, mild noise and a hard-edged block: every measurement is non-trivial."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    img = np.empty((height, width, 3))
    img[..., 0] = 40 + 150 * x / max(width, 1)
    img[..., 1] = 90 + 80 * y / max(height, 1)
    img[..., 2] = 120 + 50 * np.sin(x / 17) * np.cos(y / 23)
    img += rng.normal(0, 3, img.shape)
    img[height // 4 : height // 2, width // 5 : width // 2] = (20, 200, 240)
    return np.clip(img, 0, 255).astype(np.uint8)


def direct(data: bytes) -> dict[str, float]:
    """The seven measurements, step by step with whole-image arrays."""
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    edges = cv2.Canny(gray, 10, 50)
    hsv = cv2.cvtColor(img, cv2.COLOR_BGR2HSV)
    laplacian = cv2.Laplacian(gray, cv2.CV_64F)
    magnitude = np.abs(np.fft.fftshift(np.fft.fft2(gray.astype(np.float64))))
    h, w = magnitude.shape
    cy, cx = h // 2, w // 2
    mask = np.ones((h, w), dtype=bool)
    r = min(h, w) // 20
    mask[cy - r : cy + r, cx - r : cx + r] = False
    total = np.sum(magnitude**2)
    high = np.sum(magnitude[mask] ** 2)
    enhanced = cv2.createCLAHE(clipLimit=4.0, tileGridSize=(8, 8)).apply(gray)
    enhanced_edges = cv2.Canny(enhanced, 10, 50)
    return {
        "std": float(np.std(gray)),
        "edge_ratio": np.count_nonzero(edges) / edges.size,
        "saturation": float(np.mean(hsv[:, :, 1])),
        "local_contrast": float(np.std(laplacian)),
        "high_freq_ratio": float(high / total) if total > 0 else 0.0,
        "enhanced_edge_ratio": np.count_nonzero(enhanced_edges) / enhanced_edges.size,
        "enhanced_std": float(np.std(enhanced)),
    }


@pytest.fixture
def unrounded(monkeypatch):
    """Replaces the module's `round` so the metrics come back unrounded, and
    records the digits each key was rounded to."""
    calls: list[tuple[float, int]] = []

    def keep(value, digits):
        calls.append((value, digits))
        return value

    monkeypatch.setattr(kestrix.image, "round", keep, raising=False)
    return calls


class Recorder:
    def __init__(self, truthy: bool = True) -> None:
        self.messages: list[str] = []
        self.truthy = truthy

    def __bool__(self) -> bool:
        return self.truthy

    def error(self, message: str) -> None:
        self.messages.append(message)


# (height, width): below and at the 20-pixel side where the low band starts,
# odd and even sides (the shifted centre differs), several row blocks.
SIZES = [(1, 1), (1, 7), (19, 19), (20, 20), (21, 37), (64, 48), (257, 129), (480, 640)]


@pytest.mark.parametrize("height, width", SIZES)
def test_measurements_match_direct_computation(height, width, unrounded):
    data = png(photo(height, width, seed=height * width))
    expected = direct(data)
    metrics = ImageTool.is_plain_gray(data)[1]
    assert list(metrics) == list(DIGITS)
    assert [digits for _, digits in unrounded] == list(DIGITS.values())
    for key, value in expected.items():
        assert type(metrics[key]) is float
        assert math.isclose(metrics[key], value, rel_tol=1e-9, abs_tol=1e-12), key
    # Integer counts and sums: these must come out bit-identical.
    for key in ("edge_ratio", "saturation", "enhanced_edge_ratio"):
        assert metrics[key] == expected[key], key


@pytest.mark.parametrize("height, width", [(20, 20), (257, 129), (480, 640)])
def test_rounded_metrics_match_direct_computation(height, width):
    data = png(photo(height, width, seed=7))
    expected = {key: round(value, DIGITS[key]) for key, value in direct(data).items()}
    assert ImageTool.is_plain_gray(data)[1] == expected


def test_laplacian_16_bit_values_equal_64_bit_float_values():
    # The contrast measure filters into 16 bits; with the 3x3 aperture every
    # value is an integer in [-1020, 1020], so both depths hold the same numbers.
    rng = np.random.default_rng(1)
    checker = (np.indices((33, 47)).sum(axis=0) % 2 * 255).astype(np.uint8)
    for gray in (checker, 255 - checker, rng.integers(0, 256, (101, 67), dtype=np.uint8)):
        wide = cv2.Laplacian(gray, cv2.CV_64F)
        assert np.abs(wide).max() <= 1020
        assert np.array_equal(cv2.Laplacian(gray, cv2.CV_16S), wide)
    assert np.abs(cv2.Laplacian(checker, cv2.CV_64F)).max() == 1020


def test_saturation_of_every_colour(unrounded):
    # Every 24-bit colour once, converted in many row blocks: the mean of S
    # must equal that of one whole-image conversion exactly.
    img = np.ascontiguousarray(np.arange(1 << 24, dtype="<u4").view(np.uint8).reshape(4096, 4096, 4)[..., :3])
    ok, bmp = cv2.imencode(".bmp", img)
    assert ok
    expected = np.mean(cv2.cvtColor(img, cv2.COLOR_BGR2HSV)[:, :, 1])
    assert ImageTool.is_plain_gray(bmp.tobytes())[1]["saturation"] == expected


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(uniform(20, 20, (128, 128, 128)), (True, "纯色图"), id="gray-20x20"),
        pytest.param(uniform(48, 64, (77, 77, 77)), (True, "纯色图"), id="gray-48x64"),
        pytest.param(uniform(40, 40, (0, 0, 0)), (True, "纯色图"), id="black"),
        pytest.param(uniform(5, 5, (0, 0, 0)), (True, "纯色图"), id="black-below-20"),
        pytest.param(
            uniform(19, 40, (128, 128, 128)), (False, "高频能量占比=1.000000，有图案"), id="gray-below-20"
        ),
        pytest.param(uniform(32, 32, (0, 0, 255)), (False, "饱和度=255.0，有明显色彩"), id="red"),
    ],
)
def test_uniform_images(data, expected):
    is_gray, metrics, message = ImageTool.is_plain_gray(data)
    assert (is_gray, message) == expected
    assert list(metrics) == list(DIGITS)
    if is_gray:
        assert metrics == dict.fromkeys(DIGITS, 0.0)
    if message.startswith("饱和度"):
        assert metrics["saturation"] == 255.0
        assert metrics["std"] == metrics["edge_ratio"] == metrics["local_contrast"] == 0.0


@pytest.mark.parametrize("gray_thresh, std_decides", [(30.0, False), (30, False), (29.999, True)])
def test_std_threshold_is_strict(gray_thresh, std_decides):
    # Two halves, 0 and 60: std is exactly 30; an int threshold works as the float.
    img = np.zeros((40, 40, 3), np.uint8)
    img[:, 20:] = 60
    data = png(img)
    edge_ratio = direct(data)["edge_ratio"]
    assert edge_ratio > 0.01
    expected = "标准差=30.0，有明显明暗变化" if std_decides else f"边缘密度={edge_ratio:.4f}，有图案或纹理"
    assert ImageTool.is_plain_gray(data, gray_thresh)[2] == expected


def test_message_uses_the_unrounded_value():
    # 4116 of 10000 pixels at 61, the rest 0: std = 61 * sqrt(0.4116 * 0.5884) = 30.0195...
    img = np.zeros((100, 100, 3), np.uint8)
    img.reshape(-1, 3)[:4116] = 61
    std = float(np.std(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)))
    assert 30 < std < 30.05
    is_gray, metrics, message = ImageTool.is_plain_gray(png(img), 30)
    assert (is_gray, message) == (False, "标准差=30.0，有明显明暗变化")
    assert metrics["std"] == 30.0


def stripes(period: int, amplitude: int, size: int = 256) -> bytes:
    """Gray vertical sine stripes: smooth, colourless, with a chosen strength."""
    x = np.arange(size)
    row = np.round(128 + amplitude * np.sin(2 * np.pi * x / period)).astype(np.uint8)
    return png(np.repeat(np.broadcast_to(row, (size, size))[:, :, None], 3, axis=2))


@pytest.mark.parametrize(
    "data, args, message",
    [
        (stripes(256, 120), (), "标准差=84.9，有明显明暗变化"),
        (stripes(24, 30), (), "边缘密度=0.0859，有图案或纹理"),
        (uniform(8, 8, (0, 255, 0)), (), "饱和度=255.0，有明显色彩"),
        (stripes(16, 30), (1e9, 1.0), "局部对比度=3.77，有微弱纹理"),
        (stripes(24, 30), (1e9, 1.0), "高频能量占比=0.001335，有图案"),
        (stripes(32, 20), (), "CLAHE增强边缘密度=0.1289，有隐藏图案"),
        (stripes(256, 120), (100,), "CLAHE增强标准差=67.4，有隐藏纹理"),
    ],
)
def test_first_test_past_its_threshold_decides(data, args, message):
    # Other keywords than logger change nothing.
    assert ImageTool.is_plain_gray(data, *args, task_id="t1") == (
        False,
        ImageTool.is_plain_gray(data)[1],
        message,
    )


@pytest.fixture
def image_bytes() -> bytes:
    return png(photo(48, 64))


def test_input_kinds_give_the_same_result(image_bytes, tmp_path, server):
    path = tmp_path / "img.png"
    path.write_bytes(image_bytes)
    url = server.route("/img.png", Reply(200, image_bytes))
    expected = ImageTool.is_plain_gray(image_bytes)
    assert expected[1] != FALLBACK
    for data in (bytearray(image_bytes), memoryview(image_bytes), str(path), url):
        assert ImageTool.is_plain_gray(data) == expected
    assert len(server.hits("/img.png")) == 1


def test_undecodable_bytes_are_empty_and_not_logged():
    logger = Recorder()
    assert ImageTool.is_plain_gray(b"not an image", logger=logger) == (False, FALLBACK, "图片为空")
    assert logger.messages == []


def test_decoded_array_opencv_cannot_measure_fails_with_opencv_text():
    # A grayscale PFM, which some OpenCV versions decode to one channel despite
    # IMREAD_COLOR: the failure text is the conversion's own, as in a direct run.
    data = b"Pf\n3 2\n-1.0\n" + np.linspace(0, 1, 6, dtype="<f4").tobytes()
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    if img is None or img.ndim == 3:
        pytest.skip("this OpenCV decodes grayscale PFM to three channels")
    with pytest.raises(cv2.error) as expected:
        cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    assert ImageTool.is_plain_gray(data) == (False, FALLBACK, str(expected.value))


def _stream_error() -> str:
    try:
        np.frombuffer(BytesIO(b"x"), dtype=np.uint8)
    except TypeError as e:
        return str(e)
    raise AssertionError("np.frombuffer accepted a BytesIO")


@pytest.mark.parametrize(
    "make_input, text",
    [
        (lambda tmp: str(tmp / "missing.png"), lambda tmp: "图片文件不存在: " + str(tmp / "missing.png")),
        (lambda tmp: str(tmp), lambda tmp: "图片文件不存在: " + str(tmp)),
        (
            lambda tmp: "HTTP://example.invalid/a.png",
            lambda tmp: "图片文件不存在: HTTP://example.invalid/a.png",
        ),
        (lambda tmp: BytesIO(uniform(20, 20, (1, 2, 3))), lambda tmp: _stream_error()),
    ],
    ids=["missing", "directory", "upper-case-scheme", "bytesio"],
)
def test_failures_become_the_fallback_result(make_input, text, tmp_path):
    logger = Recorder()
    result = ImageTool.is_plain_gray(make_input(tmp_path), logger=logger)
    assert result == (False, FALLBACK, text(tmp_path))
    assert logger.messages == ["图片检测错误: " + text(tmp_path)]
    assert type(result[1]["edge_ratio"]) is int


def test_failed_download_becomes_the_fallback_result(server, sleep_recorder, monkeypatch, capsys):
    monkeypatch.setattr(kestrix.image, "time", sleep_recorder)
    url = server.route("/gone.png", Reply(500))
    logger = Recorder()
    result = ImageTool.is_plain_gray(url, logger=logger)
    assert result == (False, FALLBACK, "无效的图片资源，请确认图片链接可正常访问")
    # The download ran with its own defaults: three attempts, printed, not logged here.
    assert len(server.hits("/gone.png")) == 3
    assert sleep_recorder.sleeps == [0.5, 1.0, 2.0]
    assert "请求失败，状态码: 500" in capsys.readouterr().out
    assert logger.messages == ["图片检测错误: 无效的图片资源，请确认图片链接可正常访问"]


def test_falsy_logger_is_not_called(tmp_path):
    logger = Recorder(truthy=False)
    assert ImageTool.is_plain_gray(str(tmp_path / "none"), logger=logger)[0] is False
    assert logger.messages == []


def test_logger_failure_propagates(tmp_path):
    class Broken:
        def error(self, message: str) -> None:
            raise RuntimeError("log down")

    with pytest.raises(RuntimeError, match="log down") as info:
        ImageTool.is_plain_gray(str(tmp_path / "none"), logger=Broken())
    assert isinstance(info.value.__context__, FileNotFoundError)


class Exploding(str):
    """A path string whose URL test raises the given exception."""

    error: BaseException

    def startswith(self, *args):
        raise self.error


@pytest.mark.parametrize(
    "error, caught",
    [(ValueError("bad path"), True), (MemoryError("no room"), True), (KeyboardInterrupt(), False)],
)
def test_only_ordinary_exceptions_are_caught(error, caught):
    data = Exploding("x.png")
    data.error = error
    if caught:
        assert ImageTool.is_plain_gray(data) == (False, FALLBACK, str(error))
    else:
        with pytest.raises(type(error)):
            ImageTool.is_plain_gray(data)


def test_threshold_of_wrong_type_raises_before_the_guard():
    with pytest.raises(TypeError):
        ImageTool.is_plain_gray(b"", "30")
