"""Image checks, measurements, trimming and downloads (``kestrix.image``) and an
HTTP client with retries (``kestrix.http``), implemented as C++ extension modules."""

__version__ = "0.1.0"
