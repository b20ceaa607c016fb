"""The README's example program runs and answers sensibly."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_demo_runs():
    result = subprocess.run([sys.executable, str(DEMO)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "get_img_url_bytes(sticker) == file -> True" in lines
    assert any(line.startswith("get_img_url_io(sticker) -> 'BytesIO of ") for line in lines)
    assert any(line.startswith("get_img_url_bytes(missing) -> ServiceError: ") for line in lines)
    assert "is_valid_image(sticker) -> True" in lines
    assert "is_plain_gray(gray) -> (True, " in result.stdout
    assert "trim_transparent_edges(sticker) -> 'PNG RGBA (81, 61)'" in lines
    assert "HttpRequestClient.get(missing) -> 404" in lines
    assert "NotImplementedError" not in result.stdout
    assert "Traceback" not in result.stderr
