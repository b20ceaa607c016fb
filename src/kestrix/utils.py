"""Small helpers shared by the package's modules."""

import hashlib


def str_to_md5(text: str) -> str:
    """Return the hexadecimal MD5 digest of ``text`` encoded as UTF-8."""
    return hashlib.md5(text.encode("utf-8")).hexdigest()
