"""Type information for the ``kestrix.image`` extension module."""

from collections.abc import Mapping
from io import BytesIO
from typing import Any, Literal, Protocol, TypedDict, type_check_only

_Bytes = bytes | bytearray | memoryview
_Timeout = float | tuple[float, float] | tuple[float, None] | None

@type_check_only
class _ErrorLogger(Protocol):
    """Anything with ``error(msg)``; normally a ``logging.Logger``."""

    def error(self, msg: str, /) -> object: ...

@type_check_only
class _ColoredLines(TypedDict):
    has_lines: bool
    has_green: bool
    has_red: bool
    green_ratio: float
    red_ratio: float
    total_non_bg_ratio: float

class ImageTool:
    """图片工具类，提供图像检测、处理、获取等操作。"""

    @staticmethod
    def is_plain_gray(
        image_data: _Bytes | str,
        gray_thresh: float = 30.0,
        edge_thresh: float = 0.01,
        *,
        logger: _ErrorLogger | None = None,
        **kwargs: Any,
    ) -> tuple[bool, dict[str, float], str]: ...
    @staticmethod
    def get_img_url_io(
        url: str,
        max_retries: int = 3,
        base_delay: float = 0.5,
        logger: _ErrorLogger | None = None,
        *,
        timeout: _Timeout = 20,
        headers: Mapping[str, str | bytes] | None = None,
        **kwargs: Any,
    ) -> BytesIO: ...
    @staticmethod
    def get_img_url_bytes(
        url: str,
        *,
        max_retries: int = 3,
        base_delay: float = 0.5,
        logger: _ErrorLogger | None = None,
        timeout: _Timeout = 20,
        headers: Mapping[str, str | bytes] | None = None,
        **kwargs: Any,
    ) -> bytes: ...
    @staticmethod
    def is_valid_image(image_data: _Bytes | str, **kwargs: Any) -> Literal[True]: ...
    @staticmethod
    def has_multiple_transparency(image_data: _Bytes | str | BytesIO, threshold: int = 5) -> bool: ...
    @staticmethod
    def batch_has_multiple_transparency(
        directory: str,
        threshold: int = 5,
        max_workers: int = 4,
        extensions: list[str] | None = None,
        desc: str = "检测透明度",
    ) -> dict[str, bool]: ...
    @staticmethod
    def trim_transparent_edges(
        image_data: _Bytes | str | BytesIO, padding: int = 10, output_format: str = "PNG"
    ) -> bytes: ...
    @staticmethod
    def has_colored_lines(
        image_data: _Bytes | str | BytesIO,
        bg_threshold: int = 30,
        color_gap: int = 30,
        max_fill_ratio: float = 0.3,
        min_colored_ratio: float = 0.85,
        min_dual_color_ratio: float = 0.15,
        max_density_for_single_color: float = 0.05,
    ) -> _ColoredLines: ...
