"""Runs kestrix.image on real images: makes a few with Pillow, serves them over
HTTP on 127.0.0.1, and prints what each operation answers.

Each step is one line in STEPS; a step that fails prints its error instead of
stopping the demo.
"""

from __future__ import annotations

import functools
import io
import tempfile
import threading
from collections.abc import Callable
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

from PIL import Image, ImageDraw

from kestrix.http import HttpRequestClient
from kestrix.image import ImageTool


def make_images(folder: Path) -> None:
    """A sticker with transparent margins, a flat grey photo, and red and
    green strokes on black."""
    sticker = Image.new("RGBA", (120, 80), (0, 0, 0, 0))
    ImageDraw.Draw(sticker).ellipse((30, 20, 90, 60), fill=(230, 120, 20, 255))
    sticker.save(folder / "sticker.png")

    Image.new("RGB", (64, 64), (128, 128, 128)).save(folder / "gray.jpg", quality=95)

    strokes = Image.new("RGB", (100, 100), (0, 0, 0))
    draw = ImageDraw.Draw(strokes)
    draw.line((10, 10, 90, 20), fill=(255, 0, 0), width=2)
    draw.line((10, 80, 90, 60), fill=(0, 255, 0), width=2)
    strokes.save(folder / "strokes.png")


class QuietHandler(SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


def serve(folder: Path) -> tuple[ThreadingHTTPServer, str]:
    handler = functools.partial(QuietHandler, directory=str(folder))
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


def describe_png(data: bytes) -> str:
    with Image.open(io.BytesIO(data)) as image:
        return f"{image.format} {image.mode} {image.size}"


def describe_stream(stream: io.BytesIO) -> str:
    with Image.open(stream) as image:
        return f"BytesIO of {len(stream.getvalue())} bytes: {image.format} {image.mode} {image.size}"


def batch_scan(folder: Path) -> dict[str, bool]:
    found = ImageTool.batch_has_multiple_transparency(str(folder), max_workers=2)
    return {Path(path).name: answer for path, answer in sorted(found.items())}


def steps(base: str, folder: Path) -> list[tuple[str, Callable[[], object]]]:
    sticker = (folder / "sticker.png").read_bytes()
    sticker_url, missing_url = base + "sticker.png", base + "missing.png"
    gray, strokes = str(folder / "gray.jpg"), str(folder / "strokes.png")
    client = HttpRequestClient(max_retries=2, base_timeout=5)
    return [
        ("get_img_url_io(sticker)", lambda: describe_stream(ImageTool.get_img_url_io(sticker_url))),
        ("get_img_url_bytes(sticker) == file", lambda: ImageTool.get_img_url_bytes(sticker_url) == sticker),
        ("get_img_url_bytes(missing)", lambda: ImageTool.get_img_url_bytes(missing_url, base_delay=0.1)),
        ("is_valid_image(sticker)", lambda: ImageTool.is_valid_image(sticker_url, task_id="demo")),
        ("is_valid_image(sticker[:200])", lambda: ImageTool.is_valid_image(sticker[:200], task_id="demo")),
        ("is_plain_gray(gray)", lambda: ImageTool.is_plain_gray(gray)),
        ("is_plain_gray(strokes)", lambda: ImageTool.is_plain_gray(strokes)),
        ("has_colored_lines(strokes)", lambda: ImageTool.has_colored_lines(strokes)),
        ("has_multiple_transparency(sticker)", lambda: ImageTool.has_multiple_transparency(sticker)),
        ("batch_has_multiple_transparency(folder)", lambda: batch_scan(folder)),
        ("trim_transparent_edges(sticker)", lambda: describe_png(ImageTool.trim_transparent_edges(sticker))),
        ("HttpRequestClient.get(sticker)", lambda: client.get(sticker_url).status_code),
        ("HttpRequestClient.get(missing)", lambda: client.get(missing_url).status_code),
    ]


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        make_images(folder)
        server, base = serve(folder)
        try:
            for label, run in steps(base, folder):
                try:
                    result = repr(run())
                except Exception as e:  # the demo shows failures as results
                    extra = getattr(e, "extra_data", None)
                    result = f"{type(e).__name__}: {e}" + (f" {extra}" if extra else "")
                print(f"{label} -> {result}")
        finally:
            server.shutdown()
            server.server_close()


if __name__ == "__main__":
    main()
