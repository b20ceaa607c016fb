"""ImageTool.batch_has_multiple_transparency: a directory tree checked on a thread pool."""

from __future__ import annotations

import logging
import os
import pathlib
import sys

import pytest
from PIL import Image

from kestrix.image import ImageTool
from transparency_images import encode, palette, rgba

J = os.path.join


@pytest.fixture
def imgs(tmp_path, monkeypatch) -> str:
    """A tree under the working directory, scanned as the relative path "imgs"."""
    monkeypatch.chdir(tmp_path)
    root = tmp_path / "imgs"
    (root / "sub.png").mkdir(parents=True)
    (root / "photo.PNG").write_bytes(rgba(6))
    (root / "photo.png.bak").write_bytes(rgba(6))
    (root / ".png").write_bytes(rgba(6))
    (root / "plain.gif").write_bytes(palette(5, "GIF"))
    (root / "a.png").write_text("not an image")
    (root / "b.png").symlink_to(root / "nowhere")
    (root / "notes").write_text("no extension")
    (root / "sub.png" / "inner.jpg").write_bytes(encode(Image.new("RGB", (4, 4)), "JPEG"))
    return "imgs"


def warnings_of(caplog) -> list[str]:
    records = [r for r in caplog.records if r.name == "root"]
    assert all(r.levelno == logging.WARNING for r in records)
    return sorted(r.getMessage() for r in records)


BROKEN_LINK = "检测透明度失败 [{0}]: 图片文件不存在: {0}".format(J("imgs", "b.png"))


@pytest.mark.parametrize("max_workers", [1, 4])
def test_default_scan(imgs, max_workers, caplog, capsys):
    results = ImageTool.batch_has_multiple_transparency(imgs, max_workers=max_workers)
    assert results == {
        J("imgs", "photo.PNG"): True,
        J("imgs", "plain.gif"): False,
        J("imgs", "sub.png", "inner.jpg"): False,
    }
    text_file, broken_link = warnings_of(caplog)
    assert text_file.startswith("检测透明度失败 [{}]: ".format(J("imgs", "a.png")))
    assert broken_link == BROKEN_LINK
    err = capsys.readouterr().err
    assert "检测透明度: 100%" in err and "5/5" in err


@pytest.mark.parametrize(
    ("extensions", "expected", "failed"),
    [
        ([".PNG"], {J("imgs", "photo.PNG"): True}, ["a.png", "b.png"]),
        (["png"], {}, []),
        ([""], {J("imgs", ".png"): True}, ["notes"]),
        ([], {}, []),
    ],
    ids=["upper-case-dot", "without-dot", "empty-extension", "empty-list"],
)
def test_extension_lists(imgs, extensions, expected, failed, caplog):
    assert ImageTool.batch_has_multiple_transparency(imgs, extensions=extensions) == expected
    prefixes = ["检测透明度失败 [{}]: ".format(J("imgs", name)) for name in failed]
    messages = warnings_of(caplog)
    assert len(messages) == len(prefixes)
    assert all(m.startswith(p) for m, p in zip(messages, prefixes, strict=True))


@pytest.mark.parametrize("form", ["dot-relative", "absolute"])
def test_keys_join_the_directory_as_given(imgs, form):
    directory = J(".", imgs) if form == "dot-relative" else os.path.abspath(imgs)
    results = ImageTool.batch_has_multiple_transparency(directory, extensions=[".jpg"])
    assert results == {J(directory, "sub.png", "inner.jpg"): False}


def test_each_file_goes_through_the_single_check(imgs, monkeypatch):
    calls = []

    def check(*args, **kwargs):
        calls.append((args, kwargs))
        return "answer for " + args[0]

    monkeypatch.setattr(ImageTool, "has_multiple_transparency", staticmethod(check))
    results = ImageTool.batch_has_multiple_transparency(imgs, 7.9, 2, [".gif", ".jpg"], "扫描")
    paths = [J("imgs", "plain.gif"), J("imgs", "sub.png", "inner.jpg")]
    assert results == {p: "answer for " + p for p in paths}
    assert sorted(calls) == [((p,), {"threshold": 7}) for p in paths]


def test_progress_bar_total_and_desc(imgs, capsys):
    ImageTool.batch_has_multiple_transparency(imgs, desc="扫描", extensions=[".gif", ".jpg"])
    err = capsys.readouterr().err
    assert "扫描: 100%" in err and "2/2" in err


@pytest.mark.parametrize("directory_kind", ["missing", "file"])
def test_directory_must_exist(imgs, directory_kind, capsys):
    directory = J(imgs, "missing") if directory_kind == "missing" else J(imgs, "notes")
    with pytest.raises(FileNotFoundError) as info:
        ImageTool.batch_has_multiple_transparency(directory)
    assert info.value.args == ("目录不存在: " + directory,)
    assert capsys.readouterr().err == ""


def test_progress_bar_import_comes_first(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError):
        ImageTool.batch_has_multiple_transparency("no such directory")


class Ext(str):
    pass


@pytest.mark.parametrize(
    ("entry", "type_name"),
    [(None, "NoneType"), (3, "int"), (Ext(".png"), "Ext")],
    ids=["none", "int", "str-subclass"],
)
def test_extension_entries_must_be_str(imgs, entry, type_name, capsys):
    with pytest.raises(TypeError) as info:
        ImageTool.batch_has_multiple_transparency(imgs, extensions=[".png", entry])
    assert str(info.value) == "Expected str, got " + type_name
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "kwargs",
    [{"directory": pathlib.Path(".")}, {"extensions": (".png",)}, {"desc": None}, {"max_workers": "4"}],
    ids=["path-object", "tuple-extensions", "none-desc", "str-workers"],
)
def test_argument_types(imgs, kwargs, capsys):
    with pytest.raises(TypeError):
        ImageTool.batch_has_multiple_transparency(**{"directory": imgs, **kwargs})
    assert capsys.readouterr().err == ""


def test_pool_rejects_zero_workers(imgs):
    with pytest.raises(ValueError):
        ImageTool.batch_has_multiple_transparency(imgs, max_workers=0)


def test_interrupt_in_a_task_ends_the_scan(imgs, monkeypatch, caplog, capsys):
    def check(path, threshold):
        raise KeyboardInterrupt

    monkeypatch.setattr(ImageTool, "has_multiple_transparency", staticmethod(check))
    with pytest.raises(KeyboardInterrupt):
        ImageTool.batch_has_multiple_transparency(imgs, extensions=[".gif"])
    assert warnings_of(caplog) == []
    assert "1/1" in capsys.readouterr().err  # advanced for the interrupted file too
