"""What a caller of kestrix.image writes. mypy must accept every call here,
infer the asserted types, and reject each line marked with an ignore (an
ignore that is no longer needed is itself an error under --strict)."""

from __future__ import annotations

import io
import logging
from typing import Literal, assert_type

from kestrix.image import ImageTool


class PrintLogger:
    def error(self, msg: str) -> None:
        print(msg)


def downloads(url: str) -> None:
    log = logging.getLogger(__name__)
    assert_type(ImageTool.get_img_url_io(url), io.BytesIO)
    stream = ImageTool.get_img_url_io(url, 5, 0.25, log, timeout=3.5, headers={"Referer": url})
    assert_type(stream.getvalue(), bytes)
    assert_type(ImageTool.get_img_url_io(url, logger=PrintLogger(), timeout=(1.0, 5.0)), io.BytesIO)
    assert_type(ImageTool.get_img_url_bytes(url, max_retries=1, timeout=5), bytes)
    assert_type(ImageTool.get_img_url_bytes(url, base_delay=1, logger=log, headers={}), bytes)

    ImageTool.get_img_url_io(url.encode())  # type: ignore[arg-type]
    ImageTool.get_img_url_io(url, max_retries="3")  # type: ignore[arg-type]
    ImageTool.get_img_url_io(url, logger=print)  # type: ignore[arg-type]
    ImageTool.get_img_url_bytes(url, 3)  # type: ignore[call-arg]


def checks(data: bytes, path: str, stream: io.BytesIO) -> None:
    assert_type(ImageTool.is_valid_image(data, task_id="abc123"), Literal[True])
    assert_type(ImageTool.is_valid_image(bytearray(data)), Literal[True])
    verdict, metrics, reason = ImageTool.is_plain_gray(path, gray_thresh=30, logger=logging.getLogger())
    assert_type(verdict, bool)
    assert_type(metrics["std"], float)
    assert_type(reason, str)
    assert_type(ImageTool.has_multiple_transparency(stream, threshold=10), bool)
    assert_type(ImageTool.batch_has_multiple_transparency(path, extensions=[".png"]), dict[str, bool])
    assert_type(ImageTool.trim_transparent_edges(memoryview(data), padding=0, output_format="WEBP"), bytes)
    lines = ImageTool.has_colored_lines(data, bg_threshold=20, max_fill_ratio=0.5)
    assert_type(lines["has_lines"], bool)
    assert_type(lines["green_ratio"], float)

    ImageTool.is_valid_image(stream)  # type: ignore[arg-type]
    ImageTool.has_multiple_transparency(data, threshold="5")  # type: ignore[arg-type]
    ImageTool.batch_has_multiple_transparency(path, extensions=(".png",))  # type: ignore[arg-type]
    ImageTool.trim_transparent_edges(data, paddin=3)  # type: ignore[call-arg]
    lines["no_such_key"]  # type: ignore[typeddict-item]
