"""Fast JSON serialization with orjson, when it can be imported.

Without orjson the standard library's json module is used, with an encoder that gives
the same numpy coverage: numpy scalars and arrays, dates and datetimes. ``BACKEND``
names the backend in use.
"""

try:
    import orjson

    _NUMPY_OPT = orjson.OPT_SERIALIZE_NUMPY

    def dumps(obj, default=None, indent=None, sort_keys=False) -> str:
        """Serialize to JSON string. Uses orjson for speed.

        Handles numpy scalars, arrays, datetime, and date objects natively.

        Returns a Python str (not bytes).
        """
        opts = _NUMPY_OPT
        if indent:
            opts |= orjson.OPT_INDENT_2
        if sort_keys:
            opts |= orjson.OPT_SORT_KEYS
        if default is not None:
            return orjson.dumps(obj, default=default, option=opts).decode("utf-8")
        return orjson.dumps(obj, option=opts).decode("utf-8")

    def loads(s):
        """Deserialize from JSON string. Uses orjson for speed."""
        return orjson.loads(s)

    BACKEND = "orjson"

except ImportError:
    import json
    from datetime import date, datetime

    class _NumpyEncoder(json.JSONEncoder):
        """JSON encoder that handles numpy types for the stdlib fallback."""

        def default(self, obj):
            try:
                import numpy as np
            except ImportError:
                return super().default(obj)
            if isinstance(obj, np.integer):
                return int(obj)
            if isinstance(obj, np.floating):
                return float(obj)
            if isinstance(obj, np.bool_):
                return bool(obj)
            if isinstance(obj, np.ndarray):
                return obj.tolist()
            if isinstance(obj, (datetime, date)):
                return obj.isoformat()
            return super().default(obj)

    def dumps(obj, default=None, indent=None, sort_keys=False) -> str:
        """Serialize to JSON string. Stdlib fallback with numpy support."""
        if default is None:
            return json.dumps(obj, cls=_NumpyEncoder, indent=indent, sort_keys=sort_keys)

        class _Combined(_NumpyEncoder):
            def default(self, o):
                try:
                    return super().default(o)
                except TypeError:
                    return default(o)

        return json.dumps(obj, cls=_Combined, indent=indent, sort_keys=sort_keys)

    def loads(s):
        """Deserialize from JSON string. Stdlib fallback."""
        return json.loads(s)

    BACKEND = "json"
