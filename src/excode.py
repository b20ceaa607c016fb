"""Exceptions shared by the application's modules."""

from __future__ import annotations

from typing import Any


class _CodedError(Exception):
    """An error whose first argument is its message and whose keywords stay as attributes."""

    def __init__(self, message: str = "", **attributes: Any) -> None:
        super().__init__(message)
        self.message = message
        for name, value in attributes.items():
            setattr(self, name, value)

    def __str__(self) -> str:
        return str(self.message)


class InvalidImageError(_CodedError):
    """An image that cannot be identified or decoded completely."""

    def __init__(
        self,
        message: str = "",
        *,
        image_size: int | None = None,
        original_error: BaseException | None = None,
        extra_data: dict[str, Any] | None = None,
        **attributes: Any,
    ) -> None:
        super().__init__(
            message,
            image_size=image_size,
            original_error=original_error,
            extra_data=extra_data,
            **attributes,
        )


class ServiceError(_CodedError):
    """A remote resource that stayed unavailable after retries."""

    def __init__(
        self, message: str = "", *, extra_data: dict[str, Any] | None = None, **attributes: Any
    ) -> None:
        super().__init__(message, extra_data=extra_data, **attributes)
