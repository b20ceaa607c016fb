"""The installed type stubs, checked the way callers use them: mypy runs over
every caller file in tests/typing/."""

from __future__ import annotations

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

CALLERS = sorted((Path(__file__).parent / "typing").glob("*.py"))


def test_stub_files_are_installed():
    package = Path(importlib.util.find_spec("kestrix").submodule_search_locations[0])
    assert (package / "py.typed").is_file()
    assert (package / "image.pyi").is_file()


def test_callers_type_check(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    assert CALLERS, "no caller files"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--warn-unreachable", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), *map(str, CALLERS)],
        capture_output=True,
        text=True,
        cwd=tmp_path,  # the installed package, not the source tree
    )  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
