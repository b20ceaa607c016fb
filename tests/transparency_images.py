"""Small encoded images for the validity and transparency tests."""

from __future__ import annotations

import io

import numpy as np
from PIL import Image


def encode(img: Image.Image, fmt: str = "PNG", **params: object) -> bytes:
    buf = io.BytesIO()
    img.save(buf, fmt, **params)
    return buf.getvalue()


def palette(transparent_pixels: int, fmt: str = "PNG", transparency: object = 0) -> bytes:
    """10x10 palette image: index 0 on the first `transparent_pixels` pixels, index 1 elsewhere."""
    img = Image.new("P", (10, 10), 1)
    img.putpalette([0, 0, 0, 255, 0, 0, 0, 255, 0])
    for i in range(transparent_pixels):
        img.putpixel((i % 10, i // 10), 0)
    params = {} if transparency is None else {"transparency": transparency}
    return encode(img, fmt, **params)


def rgba(transparent_pixels: int, alpha: int = 0, size: tuple[int, int] = (10, 10)) -> bytes:
    """Opaque RGBA image whose first `transparent_pixels` pixels (row-major) have `alpha`."""
    width, height = size
    pixels = np.full((height * width, 4), 200, np.uint8)
    pixels[:, 3] = 255
    pixels[:transparent_pixels, 3] = alpha
    return encode(Image.fromarray(pixels.reshape(height, width, 4), "RGBA"))


def noise(mode: str, fmt: str = "PNG", size: int = 64) -> bytes:
    """Incompressible content, so that cutting the bytes in half cuts the pixel data."""
    bands = len(mode)
    data = np.random.default_rng(7).integers(0, 256, (size, size, bands), dtype=np.uint8)
    return encode(Image.fromarray(data if bands > 1 else data[..., 0], mode), fmt)


def truncated(data: bytes) -> bytes:
    return data[: len(data) // 2]
