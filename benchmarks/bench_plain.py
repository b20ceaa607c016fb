"""is_plain_gray against the straightforward NumPy/OpenCV computation of the
same seven measurements, on photo-like JPEGs of 12 and 2 megapixels.

Time: both sides alternate in this process; minimum and median of the rounds.
Memory: each measurement runs in a fresh child process, which resets the
kernel's peak-RSS mark (/proc/self/clear_refs) right before the call, so
allocations made inside OpenCV and NumPy count too. "Above decoded" subtracts
the decoded BGR image (h*w*3 bytes) that both sides must hold.

    python benchmarks/bench_plain.py [--rounds N] [--noise SIGMA]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

import kestrix.image

SIZES = [(4000, 3000), (1920, 1080)]


def photo_jpeg(width: int, height: int, noise: float, seed: int = 0) -> bytes:
    """Smooth gradients, sensor-like noise and a few hard edges."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    img = np.empty((height, width, 3), np.float32)
    img[..., 0] = 60 + 120 * x / width
    img[..., 1] = 80 + 100 * y / height
    img[..., 2] = 140 + 60 * np.sin(x / 300) * np.cos(y / 250)
    img += rng.normal(0, noise, img.shape).astype(np.float32)
    cv2.rectangle(img, (width // 5, height // 4), (width // 2, height // 2), (20, 200, 240), -1)
    cv2.circle(img, (3 * width // 4, 2 * height // 3), min(width, height) // 6, (230, 40, 30), 12)
    ok, buf = cv2.imencode(".jpg", np.clip(img, 0, 255).astype(np.uint8), [cv2.IMWRITE_JPEG_QUALITY, 90])
    assert ok
    return buf.tobytes()


def straightforward(data: bytes) -> dict[str, float]:
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    std = np.std(gray)
    edges = cv2.Canny(gray, 10, 50)
    edge_ratio = np.count_nonzero(edges) / edges.size
    hsv = cv2.cvtColor(img, cv2.COLOR_BGR2HSV)
    saturation = np.mean(hsv[:, :, 1])
    local_contrast = np.std(cv2.Laplacian(gray, cv2.CV_64F))
    magnitude = np.abs(np.fft.fftshift(np.fft.fft2(gray.astype(np.float64))))
    h, w = magnitude.shape
    cy, cx = h // 2, w // 2
    mask = np.ones((h, w), dtype=bool)
    r = min(h, w) // 20
    mask[cy - r : cy + r, cx - r : cx + r] = False
    total = np.sum(magnitude**2)
    high = np.sum(magnitude[mask] ** 2)
    high_freq_ratio = high / total if total > 0 else 0.0
    enhanced = cv2.createCLAHE(clipLimit=4.0, tileGridSize=(8, 8)).apply(gray)
    enhanced_edges = cv2.Canny(enhanced, 10, 50)
    values = {
        "std": (std, 1),
        "edge_ratio": (edge_ratio, 4),
        "saturation": (saturation, 2),
        "local_contrast": (local_contrast, 2),
        "high_freq_ratio": (high_freq_ratio, 6),
        "enhanced_edge_ratio": (np.count_nonzero(enhanced_edges) / enhanced_edges.size, 4),
        "enhanced_std": (np.std(enhanced), 1),
    }
    return {key: round(float(v), digits) for key, (v, digits) in values.items()}


def ours(data: bytes) -> dict[str, float]:
    return kestrix.image.ImageTool.is_plain_gray(data)[1]


def shared_opencv_calls(data: bytes) -> None:
    """The OpenCV work both sides must do: decode, gray, two Canny passes, CLAHE.
    Time above this is what each side adds."""
    img = cv2.imdecode(np.frombuffer(data, dtype=np.uint8), cv2.IMREAD_COLOR)
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    cv2.Canny(gray, 10, 50)
    cv2.Canny(cv2.createCLAHE(clipLimit=4.0, tileGridSize=(8, 8)).apply(gray), 10, 50)


SIDES = {"ours": ours, "straightforward": straightforward}
TIMED = {**SIDES, "shared OpenCV": shared_opencv_calls}


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def child_peak(side: str, path: str) -> None:
    """Prints the peak RSS growth (bytes) of one call, measured in this fresh process."""
    with open(path, "rb") as f:
        data = f.read()
    SIDES[side](photo_jpeg(64, 48, 2.0))  # load libraries and FFT plans outside the measurement
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    base = _status_kib("VmRSS")
    SIDES[side](data)
    print(json.dumps((_status_kib("VmHWM") - base) * 1024))


def peak(side: str, path: str) -> int:
    out = subprocess.run(
        [sys.executable, __file__, "--child", side, path], check=True, capture_output=True, text=True
    )
    return json.loads(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--noise", type=float, default=4.0, help="noise sigma of the synthetic photo")
    parser.add_argument("--child", nargs=2, metavar=("SIDE", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_peak(*args.child)
        return

    for width, height in SIZES:
        data = photo_jpeg(width, height, args.noise)
        if ours(data) != straightforward(data):
            raise SystemExit(f"{width}x{height}: metrics differ: {ours(data)} != {straightforward(data)}")

        wall: dict[str, list[float]] = {side: [] for side in TIMED}
        cpu: dict[str, list[float]] = {side: [] for side in TIMED}
        for _ in range(args.rounds):
            for side, run in TIMED.items():
                gc.collect()
                start, start_cpu = time.perf_counter(), time.process_time()
                run(data)
                wall[side].append(time.perf_counter() - start)
                cpu[side].append(time.process_time() - start_cpu)

        with tempfile.NamedTemporaryFile(suffix=".jpg", delete=False) as f:
            f.write(data)
        try:
            peaks: dict[str, list[int]] = {side: [] for side in SIDES}
            for _ in range(3):
                for side in SIDES:
                    peaks[side].append(peak(side, f.name))
        finally:
            os.unlink(f.name)

        decoded = width * height * 3
        print(
            f"{width}x{height} ({len(data) / 1e6:.1f} MB JPEG, noise sigma {args.noise:g}),"
            f" {args.rounds} rounds; times in ms, memory in MiB"
        )
        for side in TIMED:
            line = (
                f"  {side:16s} wall min {min(wall[side]) * 1e3:7.1f}"
                f"  median {statistics.median(wall[side]) * 1e3:7.1f}  cpu min {min(cpu[side]) * 1e3:7.1f}"
            )
            if side in peaks:
                p = statistics.median(peaks[side])
                line += f"   peak {p / 2**20:6.1f}  above decoded {(p - decoded) / 2**20:6.1f}"
            print(line)

        def ratio(times: dict[str, list[float]], pick, base: float = 0.0) -> float:
            return (pick(times["ours"]) - base) / (pick(times["straightforward"]) - base)

        floor = min(wall["shared OpenCV"])
        p_ours, p_ref = statistics.median(peaks["ours"]), statistics.median(peaks["straightforward"])
        print(
            f"  ours/straightforward: wall min {ratio(wall, min):.3f},"
            f" median {ratio(wall, statistics.median):.3f},"
            f" cpu min {ratio(cpu, min):.3f}; above the shared OpenCV calls {ratio(wall, min, floor):.3f};"
            f" peak {p_ours / p_ref:.3f}, above decoded {(p_ours - decoded) / (p_ref - decoded):.3f}"
        )


if __name__ == "__main__":
    main()
