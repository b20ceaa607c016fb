"""has_colored_lines and trim_transparent_edges on 12-megapixel images, as
ratios against the straightforward Pillow/NumPy versions run alternately in
the same process.

    python benchmarks/bench_lines_trim.py [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import time
from collections.abc import Callable
from io import BytesIO

import numpy as np
from PIL import Image

from kestrix.image import ImageTool

WIDTH, HEIGHT = 4000, 3000


def encode(img: Image.Image, fmt: str, **params: object) -> bytes:
    buf = BytesIO()
    img.save(buf, format=fmt, **params)
    return buf.getvalue()


def photo(rng: np.random.Generator) -> np.ndarray:
    """Smooth colour fields plus fine noise, so codecs work as on a photograph."""
    coarse = rng.integers(0, 256, (HEIGHT // 50, WIDTH // 50, 3), dtype=np.uint8)
    arr = np.asarray(Image.fromarray(coarse).resize((WIDTH, HEIGHT), Image.Resampling.BICUBIC)).copy()
    arr += rng.integers(0, 8, arr.shape, dtype=np.uint8)
    return arr


def strokes() -> np.ndarray:
    arr = np.zeros((HEIGHT, WIDTH, 3), np.uint8)
    arr[::50, :, 1] = 255
    arr[:, ::60, 0] = 255
    return arr


def lines_numpy(data: bytes) -> dict:
    """The straightforward version: int32 array and full-size masks."""
    img = Image.open(BytesIO(data)).convert("RGB")
    arr = np.array(img, dtype=np.int32)
    r, g, b = arr[:, :, 0], arr[:, :, 1], arr[:, :, 2]
    is_dark = (r <= 30) & (g <= 30) & (b <= 30)
    is_white = (r >= 240) & (g >= 240) & (b >= 240)
    non_bg = ~(is_dark | is_white)
    non_bg_count = int(np.sum(non_bg))
    total = arr.shape[0] * arr.shape[1]
    if non_bg_count == 0:
        return {}
    green = non_bg & (g - r > 30) & (g - b > 30) & ((b * 10 < g * 6) | ((r < 120) & (r < b)))
    red = non_bg & (r - g > 30) & (r - b > 30) & (b * 10 < r * 6)
    return {
        "g": int(np.sum(green)) / non_bg_count,
        "r": int(np.sum(red)) / non_bg_count,
        "t": non_bg_count / total,
    }


def decode_convert(data: bytes, mode: str) -> Image.Image:
    return Image.open(BytesIO(data)).convert(mode)


def content_box(data: bytes) -> tuple[int, int, int, int]:
    arr = np.array(Image.open(BytesIO(data)).convert("RGBA"))
    mask = (arr[:, :, 3] > 0) & ~np.all(arr[:, :, :3] == 255, axis=2)
    coords = np.argwhere(mask)
    (top, left), (bottom, right) = coords.min(axis=0), coords.max(axis=0)
    return max(0, left - 10), max(0, top - 10), min(WIDTH, right + 11), min(HEIGHT, bottom + 11)


def trim_pillow(data: bytes, box: tuple[int, int, int, int]) -> bytes:
    return encode(decode_convert(data, "RGBA").crop(box), "PNG")


def alternate(
    ours: Callable[[], object], theirs: Callable[[], object], repeat: int
) -> tuple[float, float, float]:
    """Median times of both sides (run in turns) and the median of the per-round ratios."""
    ours()
    theirs()
    a, b, ratios = [], [], []
    for i in range(repeat):
        order = (ours, theirs) if i % 2 == 0 else (theirs, ours)
        times = {}
        for f in order:
            start = time.perf_counter()
            f()
            times[f] = time.perf_counter() - start
        a.append(times[ours])
        b.append(times[theirs])
        ratios.append(times[ours] / times[theirs])
    return statistics.median(a), statistics.median(b), statistics.median(ratios)


def report(label: str, ours: float, theirs: float, ratio: float, speed_up: bool = False) -> None:
    figure = f"speed-up {1 / ratio:5.1f}x" if speed_up else f"ratio {ratio:5.2f}"
    print(f"  {label:<44} {ours * 1e3:8.1f} ms vs {theirs * 1e3:8.1f} ms   {figure}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=9)
    repeat = parser.parse_args().repeat

    rng = np.random.default_rng(1)
    pic = photo(rng)
    lines = strokes()
    lines_inputs = {
        "photo, JPEG (RGB)": encode(Image.fromarray(pic), "JPEG", quality=90),
        "strokes, PNG (RGB)": encode(Image.fromarray(lines), "PNG"),
        "strokes, PNG (palette)": encode(Image.fromarray(lines).quantize(4), "PNG"),
        "photo, PNG (RGBA)": encode(Image.fromarray(pic).convert("RGBA"), "PNG", compress_level=1),
    }

    print(f"has_colored_lines, {WIDTH}x{HEIGHT}")
    for name, data in lines_inputs.items():
        assert ImageTool.has_colored_lines(data)["has_lines"] in (True, False)
        print(f" {name}")
        report(
            "vs decode + convert('RGB')  (target <= 1.3)",
            *alternate(
                lambda d=data: ImageTool.has_colored_lines(d), lambda d=data: decode_convert(d, "RGB"), repeat
            ),
        )
        ours, theirs, ratio = alternate(
            lambda d=data: ImageTool.has_colored_lines(d), lambda d=data: lines_numpy(d), max(3, repeat // 3)
        )
        report("vs NumPy int32 version", ours, theirs, ratio, speed_up=True)

    framed = np.zeros((HEIGHT, WIDTH, 4), np.uint8)
    framed[300:2700, 400:3600, :3] = pic[300:2700, 400:3600]
    framed[300:2700, 400:3600, 3] = 255
    on_white = np.full((HEIGHT, WIDTH, 3), 255, np.uint8)
    on_white[300:2700, 400:3600] = pic[300:2700, 400:3600]
    trim_inputs = {
        "photo with transparent margins, PNG (RGBA)": encode(
            Image.fromarray(framed, "RGBA"), "PNG", compress_level=1
        ),
        "photo on white, JPEG (RGB)": encode(Image.fromarray(on_white), "JPEG", quality=90),
    }
    print(f"trim_transparent_edges, {WIDTH}x{HEIGHT}, PNG output")
    for name, data in trim_inputs.items():
        box = content_box(data)
        print(f" {name}")
        report(
            "vs decode + convert + crop + encode (<= 1.1)",
            *alternate(
                lambda d=data: ImageTool.trim_transparent_edges(d),
                lambda d=data, b=box: trim_pillow(d, b),
                max(3, repeat // 3),
            ),
        )


if __name__ == "__main__":
    main()
