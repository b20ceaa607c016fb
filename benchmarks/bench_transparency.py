"""Transparency check and batch scan against the straightforward Pillow/NumPy versions.

Run: python benchmarks/bench_transparency.py [--quick]
Prints ratios measured in this process; each pair of sides runs alternately so
both pay the same allocation costs.
"""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import statistics
import sys
import tempfile
import time
import warnings
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from PIL import Image

from kestrix.image import ImageTool

QUICK = "--quick" in sys.argv


def rgba_png(width: int, height: int, seed: int) -> bytes:
    """Photo-like RGBA: gradients, mild noise, a transparent corner and a half-transparent band."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    rgb = np.stack([x * 255 // width, y * 255 // height, (x + y + seed * 17) % 256], -1)
    rgb = (rgb + rng.integers(-6, 7, rgb.shape)).clip(0, 255).astype(np.uint8)
    alpha = np.full((height, width), 255, np.uint8)
    alpha[: height // (4 + seed % 5), : width // 3] = 0
    alpha[height // 2 : height // 2 + 40, :] = 128
    buf = io.BytesIO()
    Image.fromarray(np.dstack([rgb, alpha]), "RGBA").save(buf, "PNG", compress_level=1)
    return buf.getvalue()


def palette_png(width: int, height: int) -> bytes:
    rng = np.random.default_rng(3)
    img = Image.fromarray(rng.integers(0, 64, (height, width), dtype=np.uint8), "P")
    img.putpalette(list(range(64)) * 12)
    buf = io.BytesIO()
    img.save(buf, "PNG", transparency=5)
    return buf.getvalue()


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def alternate(sides: dict[str, object], repeats: int) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in sides}
    for _ in range(repeats):
        for name, fn in sides.items():
            times[name].append(timed(fn))
    return times


def report(title: str, times: dict[str, list[float]], base: str) -> None:
    print(f"\n{title}")
    best = {name: min(t) for name, t in times.items()}
    for name, t in times.items():
        print(
            f"  {name:<28} min {best[name] * 1e3:9.1f} ms   median {statistics.median(t) * 1e3:9.1f} ms"
            f"   {name} / {base}: {best[name] / best[base]:6.2f}"
        )


# Straightforward versions of the same computation.
def decode_only(data: bytes) -> None:
    Image.open(io.BytesIO(data)).load()


def getdata_loop(data: bytes) -> bool:
    img = Image.open(io.BytesIO(data))
    width, height = img.size
    transparent = 0
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # getdata() is going away in Pillow
        pixels = img.getdata()
    for _r, _g, _b, a in pixels:
        if a < 255:
            transparent += 1
    return transparent / (width * height) > 0.05


def numpy_share(data: bytes) -> bool:
    img = Image.open(io.BytesIO(data))
    return int((np.array(img)[..., 3] < 255).sum()) / (img.width * img.height) > 0.05


def palette_python(data: bytes, threshold: int = 5) -> bool:
    img = Image.open(io.BytesIO(data))
    transparent = img.info.get("transparency", -1)
    if transparent == -1:
        return False
    return sum(count for count, index in img.getcolors() if index == transparent) > threshold


def single_image(repeats: int) -> None:
    for label, (width, height) in [("12 MP RGBA PNG", (4000, 3000)), ("2 MP RGBA PNG", (1600, 1250))]:
        data = rgba_png(width, height, 1)
        assert ImageTool.has_multiple_transparency(data) == numpy_share(data) == True  # noqa: E712
        times = alternate(
            {
                "has_multiple_transparency": lambda d=data: ImageTool.has_multiple_transparency(d),
                "Pillow decode alone": lambda d=data: decode_only(d),
                "NumPy alpha share": lambda d=data: numpy_share(d),
            },
            repeats,
        )
        report(f"{label} ({len(data) / 1e6:.1f} MB encoded)", times, "Pillow decode alone")
        loop = [timed(lambda d=data: getdata_loop(d)) for _ in range(1 if QUICK else 2)]
        ours = min(times["has_multiple_transparency"])
        print(
            f"  {'getdata() loop':<28} min {min(loop) * 1e3:9.1f} ms   loop / ours: {min(loop) / ours:6.1f}"
        )

    data = palette_png(4000, 3000)
    assert ImageTool.has_multiple_transparency(data) == palette_python(data)
    times = alternate(
        {
            "has_multiple_transparency": lambda: ImageTool.has_multiple_transparency(data),
            "Pillow getcolors() version": lambda: palette_python(data),
            "Pillow decode alone": lambda: decode_only(data),
        },
        repeats,
    )
    report("12 MP palette PNG with a transparent index", times, "Pillow getcolors() version")


def pool_headroom() -> float:
    """Speed-up that a purely GIL-free task gets from 2 workers now: what the machine can give."""
    blob = zlib.compress(np.random.default_rng(0).integers(0, 4, 8_000_000, dtype=np.uint8).tobytes(), 1)

    def run(workers: int) -> None:
        with ThreadPoolExecutor(max_workers=workers) as pool:
            list(pool.map(lambda _: zlib.decompress(blob), range(24)))

    times = alternate({"1": lambda: run(1), "2": lambda: run(2)}, 3)
    return min(times["1"]) / min(times["2"])


def batch(files: int, repeats: int) -> None:
    root = tempfile.mkdtemp(prefix="kestrix-bench-")
    try:
        distinct = [rgba_png(1600, 1000, seed) for seed in range(12)]
        for i in range(files):
            sub = os.path.join(root, f"d{i % 4}")
            os.makedirs(sub, exist_ok=True)
            with open(os.path.join(sub, f"img{i:04d}.png"), "wb") as f:
                f.write(distinct[i % len(distinct)])
        size = sum(len(distinct[i % len(distinct)]) for i in range(files))
        scans = {
            n: (lambda n=n: ImageTool.batch_has_multiple_transparency(root, max_workers=n)) for n in (1, 2, 4)
        }
        with contextlib.redirect_stderr(io.StringIO()):  # the progress bars
            first = scans[1]()
            assert len(first) == files and scans[2]() == first
            times = alternate({f"max_workers={n}": fn for n, fn in scans.items()}, repeats)
        report(f"batch scan of {files} RGBA PNGs, 1.6 MP each ({size / 1e6:.0f} MB)", times, "max_workers=1")
        best = {name: min(t) for name, t in times.items()}
        print(
            f"  speed-up with 2 workers: {best['max_workers=1'] / best['max_workers=2']:.2f}x, "
            f"with 4: {best['max_workers=1'] / best['max_workers=4']:.2f}x (on {os.cpu_count()} cores)"
        )
        print(f"  the same pool running GIL-free zlib work: {pool_headroom():.2f}x with 2 workers over 1")
    finally:
        shutil.rmtree(root)


if __name__ == "__main__":
    single_image(3 if QUICK else 7)
    batch(40 if QUICK else 200, 2 if QUICK else 3)
