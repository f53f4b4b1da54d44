"""Source files read back for a tamper check: by extension, exactly as written, with their
digest."""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from pathlib import Path

import pandas as pd

# Before pandas 3 the default float parser may miss a float's last bit; the round-trip one
# reads back exactly what to_csv wrote, which the exact row hash needs. pandas 3 parses
# exactly by default and deprecates the choice.
_EXACT_FLOATS = {"float_precision": "round_trip"} if int(pd.__version__.split(".")[0]) < 3 else {}


def _csv(path: Path, sep: str = ",") -> pd.DataFrame:
    return pd.read_csv(path, sep=sep, **_EXACT_FLOATS)


_READERS: dict[str, Callable[[Path], pd.DataFrame]] = {
    ".csv": _csv,
    ".tsv": lambda path: _csv(path, sep="\t"),
    ".parquet": pd.read_parquet,
    ".pq": pd.read_parquet,
    ".feather": pd.read_feather,
    ".orc": pd.read_orc,
    ".json": pd.read_json,
    ".jsonl": lambda path: pd.read_json(path, lines=True),
    ".xlsx": pd.read_excel,
    ".xls": pd.read_excel,
}

READABLE = tuple(sorted(_READERS))


class SourceFileError(ValueError):
    """A source file that cannot be read for a tamper check; the message says why."""


def read_source_file(path: str | Path, key_column: str | None = None) -> pd.DataFrame:
    """The table in ``path`` (its kind told by its extension), indexed by ``key_column``
    when given. Pickles are refused: reading one runs code of whoever wrote it."""
    path = Path(path)
    reader = _READERS.get(path.suffix.lower())
    if reader is None:
        raise SourceFileError(
            f"cannot read {path}: unknown kind of file {path.suffix or '(no extension)'!r}; "
            f"give one of {', '.join(READABLE)}"
        )
    try:
        frame = reader(path)
    except ImportError as exc:
        raise SourceFileError(f"cannot read {path}: {exc}") from None
    except (ValueError, OSError, pd.errors.ParserError) as exc:
        raise SourceFileError(f"cannot read {path} as {path.suffix[1:]}: {exc}") from None
    if key_column is None or key_column == frame.index.name:  # Parquet keeps the index
        return frame
    if key_column not in frame.columns:
        raise SourceFileError(
            f"{path} has no column {key_column!r} for the row keys; its columns are "
            + ", ".join(map(str, frame.columns))
        )
    return frame.set_index(key_column)


def file_sha256(path: str | Path) -> str:
    """SHA-256 (lowercase hex) of a file's bytes."""
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
