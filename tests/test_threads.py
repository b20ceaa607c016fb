"""The checks called from many threads at once, and the batch scan's pool really overlapping tasks."""

from __future__ import annotations

import io
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

from excode import InvalidImageError
from kestrix.image import ImageTool
from transparency_images import noise, palette, rgba, truncated

TRANSPARENCY_CASES = [
    (rgba(6), True),
    (rgba(5), False),
    (rgba(40_001, size=(400, 400)), True),  # large enough to take a while without the GIL
    (rgba(40_000, size=(2100, 2100)), False),
    (palette(6), True),
    (palette(5, "GIF"), False),
    (noise("RGB"), False),
]


def test_transparency_checks_in_parallel():
    jobs = TRANSPARENCY_CASES * 6

    def run(job):
        data, expected = job
        return ImageTool.has_multiple_transparency(io.BytesIO(data)) is expected

    with ThreadPoolExecutor(max_workers=8) as pool:
        assert all(pool.map(run, jobs))


def test_validity_checks_keep_their_own_context():
    good, bad = rgba(6), truncated(noise("RGBA"))

    def run(i):
        if i % 2:
            return ImageTool.is_valid_image(good, task_id=i)
        try:
            ImageTool.is_valid_image(bad, task_id=i)
        except InvalidImageError as e:
            return e.extra_data == {"task_id": i} and e.image_size == len(bad)
        return False

    with ThreadPoolExecutor(max_workers=8) as pool:
        assert all(pool.map(run, range(64)))


def test_batch_tasks_overlap(tmp_path, monkeypatch):
    for name in ("a.png", "b.png"):
        (tmp_path / name).write_bytes(rgba(6))
    # Each task waits for the other: only tasks that truly run at once get past it.
    meet = threading.Barrier(2, timeout=30)

    def check(path, threshold):
        meet.wait()
        return True

    monkeypatch.setattr(ImageTool, "has_multiple_transparency", staticmethod(check))
    results = ImageTool.batch_has_multiple_transparency(str(tmp_path), max_workers=2)
    assert results == {str(tmp_path / "a.png"): True, str(tmp_path / "b.png"): True}


@pytest.mark.parametrize("max_workers", [1, 3])
def test_concurrent_batch_scans(tmp_path, max_workers):
    expected = {}
    for i, (data, answer) in enumerate(TRANSPARENCY_CASES):
        path = tmp_path / f"{i % 3}" / f"img{i}.png"
        path.parent.mkdir(exist_ok=True)
        path.write_bytes(data)
        expected[str(path)] = answer

    def scan(_):
        return ImageTool.batch_has_multiple_transparency(str(tmp_path), max_workers=max_workers) == expected

    with ThreadPoolExecutor(max_workers=3) as pool:
        assert all(pool.map(scan, range(3)))
