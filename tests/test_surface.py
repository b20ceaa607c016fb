"""The public surface of kestrix.image: module globals, the class, each
operation's signature, and the argument rules applied before any body runs."""

from __future__ import annotations

import concurrent.futures
import inspect
import io
import logging
import os
import subprocess
import sys
import textwrap
import time
import typing
from dataclasses import dataclass

import cv2
import numpy
import PIL.Image
import pytest
import requests

import excode
import kestrix.image
import kestrix.utils
from kestrix.image import ImageTool

SUBCLASS_NOTE = "Subclasses of built-in types are not accepted here"


@dataclass(frozen=True)
class Op:
    name: str
    params: str  # as written in a def, so a pure-Python twin can be built from it
    defaults: tuple | None
    annotations: dict[str, str]
    summary: str


OPS = [
    Op(
        "is_plain_gray",
        "image_data, gray_thresh=30.0, edge_thresh=0.01, **kwargs",
        (30.0, 0.01),
        {
            "image_data": "Union[bytes, str]",
            "gray_thresh": "float",
            "edge_thresh": "float",
            "return": "Tuple[bool, Dict[str, Any], str]",
        },
        "检测图片是否为纯色图（无图案、无纹理、无明显色彩）。",
    ),
    Op(
        "get_img_url_io",
        "url, max_retries=3, base_delay=0.5, logger=None, **kwargs",
        (3, 0.5, None),
        {
            "url": "str",
            "max_retries": "int",
            "base_delay": "float",
            "logger": "Optional[logging.Logger]",
            "return": "Optional[BytesIO]",
        },
        "从 URL 获取图片内容并返回 BytesIO 对象，包含指数退避重试机制。",
    ),
    Op(
        "get_img_url_bytes",
        "url, **kwargs",
        None,
        {"url": "str", "return": "bytes"},
        "从 URL 获取图片内容并直接返回 bytes。",
    ),
    Op(
        "is_valid_image",
        "image_data, **kwargs",
        None,
        {"image_data": "Union[bytes, str]", "kwargs": "Any", "return": "bool"},
        "判断图片是否有效（未损坏）。",
    ),
    Op(
        "has_multiple_transparency",
        "image_data, threshold=5",
        (5,),
        {"image_data": "Union[bytes, str, BytesIO]", "threshold": "int", "return": "bool"},
        "检测图片是否包含多个透明区域。",
    ),
    Op(
        "batch_has_multiple_transparency",
        "directory, threshold=5, max_workers=4, extensions=None, desc='检测透明度'",
        (5, 4, None, "检测透明度"),
        {
            "directory": "str",
            "threshold": "int",
            "max_workers": "int",
            "extensions": "Optional[List[str]]",
            "desc": "str",
            "return": "Dict[str, bool]",
        },
        "批量检测目录下所有图片是否包含多个透明区域（多线程 + tqdm 进度条）。",
    ),
    Op(
        "trim_transparent_edges",
        "image_data, padding=10, output_format='PNG'",
        (10, "PNG"),
        {
            "image_data": "Union[bytes, str, BytesIO]",
            "padding": "int",
            "output_format": "str",
            "return": "bytes",
        },
        "裁剪图片的透明/白色边缘，并可选添加 padding。",
    ),
    Op(
        "has_colored_lines",
        "image_data, bg_threshold=30, color_gap=30, max_fill_ratio=0.3, min_colored_ratio=0.85,"
        " min_dual_color_ratio=0.15, max_density_for_single_color=0.05",
        (30, 30, 0.3, 0.85, 0.15, 0.05),
        {
            "image_data": "Union[bytes, str, BytesIO]",
            "bg_threshold": "int",
            "color_gap": "int",
            "max_fill_ratio": "float",
            "min_colored_ratio": "float",
            "min_dual_color_ratio": "float",
            "max_density_for_single_color": "float",
            "return": "Dict[str, Any]",
        },
        "检测图片中是否仅包含绿色线或红色线（黑色背景上的彩色线条）。",
    ),
]
OP_BY_NAME = {op.name: op for op in OPS}


def twin(op: Op):
    """A pure-Python function with the operation's signature: the reference for
    how the interpreter itself binds (and rejects) arguments."""
    namespace: dict = {}
    exec(f"def {op.name}({op.params}): pass", namespace)
    func = namespace[op.name]
    func.__qualname__ = f"ImageTool.{op.name}"
    func.__annotations__ = dict(op.annotations)
    return func


def typed(values):
    return None if values is None else [(type(v), v) for v in values]


# --- module and class -------------------------------------------------------

MODULE_GLOBALS = [
    ("os", os),
    ("time", time),
    ("cv2", cv2),
    ("requests", requests),
    ("np", numpy),
    ("BytesIO", io.BytesIO),
    ("Image", PIL.Image),
    ("Tuple", typing.Tuple),  # noqa: UP006
    ("Dict", typing.Dict),  # noqa: UP006
    ("Any", typing.Any),
    ("Optional", typing.Optional),
    ("Union", typing.Union),
    ("List", typing.List),  # noqa: UP006
    ("ThreadPoolExecutor", concurrent.futures.ThreadPoolExecutor),
    ("as_completed", concurrent.futures.as_completed),
    ("logging", logging),
    ("str_to_md5", kestrix.utils.str_to_md5),
    ("InvalidImageError", excode.InvalidImageError),
    ("ServiceError", excode.ServiceError),
    ("ImageTool", ImageTool),
]


def test_module_globals_are_bound_in_order():
    bound = [name for name in vars(kestrix.image) if not name.startswith("__")]
    assert bound == [name for name, _ in MODULE_GLOBALS]
    for name, expected in MODULE_GLOBALS:
        assert getattr(kestrix.image, name) is expected, name


@pytest.mark.parametrize(
    "text, digest",
    [
        ("", "d41d8cd98f00b204e9800998ecf8427e"),
        ("abc", "900150983cd24fb0d6963f7d28e17f72"),
        ("图片", "20def7942674282277c3714ed7ea6ce0"),  # of the UTF-8 bytes
    ],
)
def test_str_to_md5(text, digest):
    assert kestrix.utils.str_to_md5(text) == digest


def test_image_tool_class():
    assert type(ImageTool) is type
    assert ImageTool.__bases__ == (object,)
    assert ImageTool.__module__ == "kestrix.image"
    assert ImageTool.__qualname__ == ImageTool.__name__ == "ImageTool"
    assert ImageTool.__doc__ == "图片工具类，提供图像检测、处理、获取等操作。"
    statics = [name for name, value in vars(ImageTool).items() if isinstance(value, staticmethod)]
    assert statics == [op.name for op in OPS]
    own = {name for name in vars(ImageTool) if not name.startswith("__")}
    assert own == set(statics), "no class-level data besides the operations"


@pytest.mark.parametrize("op", OPS, ids=lambda op: op.name)
def test_operation_surface(op):
    func = getattr(ImageTool, op.name)
    assert vars(ImageTool)[op.name].__func__ is func
    assert func.__name__ == op.name
    assert func.__qualname__ == f"ImageTool.{op.name}"
    assert func.__module__ == "kestrix.image"
    # Exact types too: 30.0 is not 30, and 5 is not 5.0.
    assert typed(func.__defaults__) == typed(op.defaults)
    assert list(func.__annotations__.items()) == list(op.annotations.items())
    assert inspect.signature(func) == inspect.signature(twin(op))
    # The annotation strings name what the module binds.
    assert typing.get_type_hints(func).keys() == op.annotations.keys()

    lines = func.__doc__.splitlines()
    assert lines[0] == op.summary
    sections = [line.strip() for line in lines if line.strip().endswith(":") and not line.startswith(" ")]
    expected = ["Args:", "Returns:", "Raises:"] + (["Example:"] if op.name == "is_valid_image" else [])
    assert sections == expected


def test_signature_text():
    assert str(inspect.signature(ImageTool.get_img_url_io)) == (
        "(url: 'str', max_retries: 'int' = 3, base_delay: 'float' = 0.5, "
        "logger: 'Optional[logging.Logger]' = None, **kwargs) -> 'Optional[BytesIO]'"
    )


def test_annotations_one_liner():
    # The command the README quotes.
    out = subprocess.run(
        [
            sys.executable,
            "-c",
            "import kestrix.image as m; print(m.ImageTool.get_img_url_bytes.__annotations__)",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert out == "{'url': 'str', 'return': 'bytes'}\n"


# --- call rules: the interpreter's own ---------------------------------------

CALL_ERRORS = [
    ("get_img_url_io", (), {}),
    ("has_colored_lines", (), {}),
    ("batch_has_multiple_transparency", (), {"threshold": 1, "desc": "x"}),
    ("get_img_url_bytes", ("http://x", "second"), {}),
    ("is_valid_image", (b"", b""), {}),
    ("trim_transparent_edges", (b"", 1, "PNG", 4), {}),
    ("trim_transparent_edges", (b"", 5), {"padding": 1}),
    ("get_img_url_io", ("u",), {"url": "v"}),
    ("has_multiple_transparency", (b"",), {"thresold": 1}),
    ("trim_transparent_edges", (b"", 1, "PNG", 4), {"bogus": 1}),  # keyword reported first
    ("has_colored_lines", (b"",), {"colour_gap": 1, "bg_threshold": 3}),
]


@pytest.mark.parametrize("name, args, kwargs", CALL_ERRORS)
def test_call_errors_match_the_interpreter(name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        twin(OP_BY_NAME[name])(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        getattr(ImageTool, name)(*args, **kwargs)
    assert str(actual.value) == str(expected.value)


def test_unknown_keyword_hint_comes_from_the_interpreter_only(tmp_path, monkeypatch):
    # Interpreters without a built-in hint module give no hint; a module of that
    # name on sys.path must not be imported and run to make one up.
    (tmp_path / "_suggestions.py").write_text(
        "def _generate_suggestions(candidates, key):\n    return 'threshold'\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "_suggestions", raising=False)
    with pytest.raises(TypeError) as expected:
        twin(OP_BY_NAME["has_multiple_transparency"])(b"", zz=1)
    with pytest.raises(TypeError) as actual:
        ImageTool.has_multiple_transparency(b"", zz=1)
    assert str(actual.value) == str(expected.value)


# --- argument rules ----------------------------------------------------------


class Text(str):
    pass


class Items(list):
    pass


BATCH = "batch_has_multiple_transparency"
URL = "http://127.0.0.1/"

REJECTED = [
    # (operation, args, kwargs, (argument, expected, got), subclass note expected)
    ("has_multiple_transparency", (b"",), {"threshold": "5"}, ("threshold", "int", "str"), False),
    ("has_multiple_transparency", (b"",), {"threshold": None}, ("threshold", "int", "NoneType"), False),
    ("get_img_url_io", (URL.encode(),), {}, ("url", "str", "bytes"), False),
    ("get_img_url_io", (Text(URL),), {}, ("url", "str", "Text"), True),
    ("get_img_url_bytes", (Text(URL),), {}, ("url", "str", "Text"), True),
    ("get_img_url_io", ("u",), {"max_retries": "3"}, ("max_retries", "int", "str"), False),
    (BATCH, (".",), {"extensions": (".png",)}, ("extensions", "list", "tuple"), False),
    (BATCH, (".",), {"extensions": Items()}, ("extensions", "list", "Items"), True),
    (BATCH, (".",), {"desc": None}, ("desc", "str", "NoneType"), False),
    ("trim_transparent_edges", (b"",), {"output_format": b"PNG"}, ("output_format", "str", "bytes"), False),
    # Conversions run before exact-type checks, each group in parameter order.
    (BATCH, (b".",), {"max_workers": "4"}, ("max_workers", "int", "str"), False),
    (BATCH, (b".",), {"desc": 1, "extensions": ()}, ("directory", "str", "bytes"), False),
    (
        "has_colored_lines",
        (b"",),
        {"color_gap": "1", "bg_threshold": "2"},
        ("bg_threshold", "int", "str"),
        False,
    ),
]


@pytest.mark.parametrize("name, args, kwargs, fields, note", REJECTED)
def test_argument_rules_reject(name, args, kwargs, fields, note):
    with pytest.raises(TypeError) as info:
        getattr(ImageTool, name)(*args, **kwargs)
    assert str(info.value) == "Argument '{}' has incorrect type (expected {}, got {})".format(*fields)
    notes = getattr(info.value, "__notes__", [])
    if note:
        assert len(notes) == 1 and notes[0].startswith(SUBCLASS_NOTE)
    else:
        assert notes == []


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("is_plain_gray", (b"",), {"gray_thresh": "30"}),
        ("is_plain_gray", (b"",), {"edge_thresh": None}),
        ("has_colored_lines", (b"",), {"max_fill_ratio": 1j}),
        ("get_img_url_io", ("u",), {"base_delay": "0.5"}),
    ],
)
def test_float_parameters_reject_non_numbers(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(ImageTool, name)(*args, **kwargs)


@pytest.fixture
def palette_png() -> bytes:
    buffer = io.BytesIO()
    PIL.Image.new("P", (4, 4)).save(buffer, format="PNG")
    return buffer.getvalue()


def accepts(func, *args, **kwargs) -> bool:
    """True unless the call is turned away with TypeError. Bodies that are
    still being written may fail otherwise; the rules ran before them."""
    try:
        func(*args, **kwargs)
    except TypeError:
        return False
    except Exception:
        pass
    return True


def test_argument_rules_accept(palette_png, tmp_path):
    assert accepts(ImageTool.has_multiple_transparency, palette_png, threshold=5.9)
    assert accepts(ImageTool.has_multiple_transparency, palette_png, threshold=True)
    assert accepts(ImageTool.is_plain_gray, palette_png, gray_thresh=30, edge_thresh=numpy.float32(0.5))
    assert accepts(ImageTool.batch_has_multiple_transparency, str(tmp_path), extensions=[".png"])
    assert accepts(
        ImageTool.batch_has_multiple_transparency, str(tmp_path), extensions=None, threshold=10**40
    )
    assert accepts(ImageTool.is_valid_image, palette_png, task_id="abc123")
    assert accepts(ImageTool.is_plain_gray, palette_png, logger=None, anything=1)


# --- the function objects as Python objects -----------------------------------


def test_method_binding():
    class Holder:
        fetch = ImageTool.get_img_url_bytes

    func = ImageTool.get_img_url_bytes
    assert func.__get__(None, Holder) is func
    holder = Holder()
    assert holder.fetch.__func__ is func and holder.fetch.__self__ is holder
    assert list(inspect.signature(holder.fetch).parameters) == ["kwargs"]
    # The instance arrives as the first argument and meets the argument rules.
    with pytest.raises(TypeError, match=r"expected str, got Holder"):
        holder.fetch()


def test_function_object_protocols():
    import gc
    import weakref

    func = ImageTool.trim_transparent_edges
    assert weakref.ref(func)() is func
    func.marker = 1
    try:
        assert func.__dict__ == {"marker": 1}
    finally:
        del func.marker
    assert repr(func).startswith("<function ImageTool.trim_transparent_edges at ")
    assert func.__globals__ is vars(kestrix.image)
    # The collector sees the module namespace, so module<->function cycles are collectable.
    assert gc.is_tracked(func) and vars(kestrix.image) in gc.get_referents(func)
    with pytest.raises(TypeError):
        type(func)()


def test_runaway_recursion_is_an_error(monkeypatch):
    # get_img_url_bytes reaches get_img_url_io through the class; point that at itself.
    monkeypatch.setattr(ImageTool, "get_img_url_io", vars(ImageTool)["get_img_url_bytes"])
    with pytest.raises(RecursionError):
        ImageTool.get_img_url_bytes("http://127.0.0.1/")


# --- import -------------------------------------------------------------------

BROKEN_IMPORTS = [
    # (contents of a shadowing excode.py, or None to make it unimportable; expected error)
    (None, "ModuleNotFoundError: import of excode halted; None in sys.modules"),
    (
        "class InvalidImageError(Exception): pass\n",
        "ImportError: cannot import name 'ServiceError' from 'excode'",
    ),
    ("raise RuntimeError('excode is broken')\n", "RuntimeError: excode is broken"),
]


@pytest.mark.parametrize("excode_source, expected", BROKEN_IMPORTS, ids=["absent", "missing-name", "failing"])
def test_import_fails_with_the_error_of_the_failing_import(tmp_path, excode_source, expected):
    if excode_source is not None:
        (tmp_path / "excode.py").write_text(excode_source)
    script = textwrap.dedent(
        f"""
        import sys
        {"sys.modules['excode'] = None" if excode_source is None else ""}
        try:
            import kestrix.image
        except BaseException as e:
            print(f"{{type(e).__name__}}: {{e}}")
        else:
            print("imported")
        import kestrix
        print("kestrix.image" in sys.modules, hasattr(kestrix, "image"))
        """
    )
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=env, cwd=tmp_path, check=True
    )
    first, second = result.stdout.splitlines()
    assert first.startswith(expected)
    assert second == "False False"
