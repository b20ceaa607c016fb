"""Operations pickle and copy by reference: module plus qualified name."""

from __future__ import annotations

import copy
import pickle

import pytest

from excode import InvalidImageError, ServiceError
from kestrix.image import ImageTool

NAMES = [name for name, value in vars(ImageTool).items() if isinstance(value, staticmethod)]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_round_trip_is_the_same_object(protocol):
    for name in NAMES:
        func = getattr(ImageTool, name)
        data = pickle.dumps(func, protocol)
        assert b"kestrix.image" in data and name.encode() in data
        assert pickle.loads(data) is func
    assert pickle.loads(pickle.dumps(ImageTool, protocol)) is ImageTool


def test_copies_are_the_same_object():
    func = ImageTool.get_img_url_io
    assert copy.copy(func) is func
    assert copy.deepcopy({"f": func})["f"] is func


def test_renamed_function_fails_loudly(monkeypatch):
    # Pickling by name must not silently find a different object.
    func = ImageTool.get_img_url_bytes
    monkeypatch.setattr(func, "__qualname__", "ImageTool.no_such_operation")
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(func)


def test_application_errors_round_trip_with_their_attributes():
    # Callers may hand these to other processes; their keywords must survive.
    cause = OSError("x")
    for error in (
        ServiceError("无效的图片资源，请确认图片链接可正常访问", extra_data={"url": "http://x/"}),
        InvalidImageError("图片无效: x", image_size=3, original_error=cause, extra_data={"task_id": "a"}),
    ):
        copy_ = pickle.loads(pickle.dumps(error))
        assert type(copy_) is type(error) and copy_.args == error.args and str(copy_) == str(error)
        for name in ("extra_data", "image_size"):
            assert getattr(copy_, name, None) == getattr(error, name, None)
        assert isinstance(copy_, Exception) and not isinstance(copy_, OSError)
