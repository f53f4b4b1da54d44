"""Per-row results of a finished pipeline; bound into ``DAGTracker`` as a static method."""

from __future__ import annotations

from typing import Any

from ..core._checks import as_int, exact


def persist_results(
    storage: Any, pipeline_id: int, row_keys: Any, outputs: dict, source_df: Any = None
) -> None:
    """Persist per-row output fingerprints to the pipeline_results table.

    For every row key and output, stores (row key, output name, fingerprint, value, input
    hash): the fingerprint is the ORRIN-32 word of the output element, and the input hash the
    SHA-256 of the source row (``source_df.iloc[i].to_json()``), so that rehashing the source
    data later reveals rows changed since the run. A backend whose ``keeps_exact_hashes``
    is True is given a sixth field, the row's exact hash (floats at full precision).

    Args:
        storage: A connected storage backend with ``store_results(pipeline_id, rows)``.
        pipeline_id: The pipeline that produced the outputs.
        row_keys: Business identifiers, aligned by position with the output elements.
        outputs: Output name to DAG-tracked series.
        source_df: Optional source rows, aligned by position with ``row_keys``.
    """
    from ..utilities.persistence import source_row_exact_hash, source_row_hash

    pipeline_id = as_int("pipeline_id", pipeline_id)
    exact("outputs", outputs, dict)
    row_keys_list = list(row_keys)
    results: list[tuple] = []
    row_hashes: list[tuple[str, str] | None] = []
    if source_df is not None:
        n_source = len(source_df)
        for i in range(len(row_keys_list)):
            if i < n_source:
                row = source_df.iloc[i]
                row_hashes.append((source_row_hash(row), source_row_exact_hash(row)))
            else:
                row_hashes.append(None)
    # the exact hash rides as a sixth field only to a backend that says it keeps it: a
    # caller's own backend may unpack the five fields it was always given
    with_exact = getattr(storage, "keeps_exact_hashes", False) is True
    for output_name, series in outputs.items():
        prov_arr = series._prov
        values = series.values
        n_prov = len(prov_arr)
        n_values = len(values)
        for i, row_key in enumerate(row_keys_list):
            fingerprint = int(prov_arr[i]) if i < n_prov else 0
            value = float(values[i]) if i < n_values else None
            hashes = row_hashes[i] if row_hashes else None
            row = (str(row_key), output_name, fingerprint, value, hashes and hashes[0])
            results.append((*row, hashes and hashes[1]) if with_exact else row)
    storage.store_results(pipeline_id, results)
