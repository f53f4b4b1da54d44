import builtins
import importlib
import sys
from datetime import date, datetime

import numpy as np
import pytest

BACKENDS = ["orjson", "json"]


def import_textwell(monkeypatch, hide_orjson):
    """Import the module afresh, with orjson importable or hidden."""
    if hide_orjson:
        real_import = builtins.__import__

        def no_orjson(name, *args, **kwargs):
            if name == "orjson":
                raise ImportError("orjson hidden for this test")
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", no_orjson)
    monkeypatch.delitem(sys.modules, "quorvane.utilities.textwell", raising=False)
    return importlib.import_module("quorvane.utilities.textwell")


@pytest.fixture(params=BACKENDS)
def textwell(request, monkeypatch):
    if request.param == "orjson":
        pytest.importorskip("orjson")
    module = import_textwell(monkeypatch, hide_orjson=request.param == "json")
    assert request.param == module.BACKEND
    yield module
    sys.modules.pop("quorvane.utilities.textwell", None)


@pytest.mark.parametrize(
    "value, expected",
    [
        (np.int64(3), 3),
        (np.float32(0.5), 0.5),
        (np.bool_(True), True),
        (np.arange(4, dtype=np.uint32).reshape(2, 2), [[0, 1], [2, 3]]),
        (datetime(2024, 1, 2), "2024-01-02T00:00:00"),
        (date(2024, 1, 2), "2024-01-02"),
    ],
)
def test_numpy_and_dates_round_trip(textwell, value, expected):
    text = textwell.dumps({"v": value})
    assert type(text) is str
    assert textwell.loads(text) == {"v": expected}


@pytest.mark.parametrize("value", [None, 1, 2.5, "é", [1, {"a": [True, False]}], {"b": 1, "a": 2}])
def test_native_values_round_trip(textwell, value):
    assert textwell.loads(textwell.dumps(value)) == value


def test_sort_keys(textwell):
    text = textwell.dumps({"b": 1, "a": 2}, sort_keys=True)
    assert text.index('"a"') < text.index('"b"')
    text = textwell.dumps({"b": 1, "a": 2})
    assert text.index('"b"') < text.index('"a"')


def test_default_handles_what_the_backend_cannot(textwell):
    assert textwell.loads(textwell.dumps({"s": {1}}, default=lambda o: sorted(o))) == {"s": [1]}
    with pytest.raises(TypeError):
        textwell.dumps({"s": {1}})


def test_default_that_raises_propagates(textwell):
    def refuse(obj):
        raise RuntimeError("no")

    with pytest.raises((RuntimeError, TypeError)):
        textwell.dumps(object(), default=refuse)


def test_invalid_text_raises(textwell):
    with pytest.raises(ValueError):
        textwell.loads("{nope")


@pytest.mark.parametrize("indent, spaced", [(4, True), (True, True), (0, False), (None, False)])
def test_orjson_indent_is_two_spaces_whatever_the_value(monkeypatch, indent, spaced):
    pytest.importorskip("orjson")
    textwell = import_textwell(monkeypatch, hide_orjson=False)

    text = textwell.dumps({"a": 1}, indent=indent)
    assert (text == '{\n  "a": 1\n}') is spaced


def test_fallback_tries_numpy_before_the_default(monkeypatch):
    textwell = import_textwell(monkeypatch, hide_orjson=True)
    try:
        seen = []
        text = textwell.dumps({"n": np.int64(2), "s": {3}}, default=lambda o: seen.append(o) or 7)
        assert textwell.loads(text) == {"n": 2, "s": 7}
        assert seen == [{3}]
        assert not hasattr(textwell, "orjson")
    finally:
        sys.modules.pop("quorvane.utilities.textwell", None)
