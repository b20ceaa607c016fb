"""Operations pickle and copy by reference: module plus qualified name."""

from __future__ import annotations

import copy
import pickle

import pytest

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
