"""The DAG recorder: what a ``DAGTracker`` writes into a store, and how.

It is the store's side of the DAG road: above ``quorvane.utilities.persistence``, whose
records it builds, and below the road, which calls it. It imports the persistence package
inside the calls that build records, so that a missing one fails those calls only. It
knows nothing of the road: the tracker hands it plain values (node objects, word and id
arrays, the summary rows of its log), and itself for its registry and for the steps a
subclass may replace.

- ``PersistenceSession``: a tracker's link to storage (connection, writer, run, closing
  steps), and ``session_field`` for the tracker attributes it keeps.
- ``record_row_value``, ``record_values`` and ``RowValueBuffer``: element values, buffered
  as columns until a writer takes them.
- ``hand_over_batch``: the records of nodes logged in one native call.
- ``write_dag`` and ``persist_to_storage``: the deduplicated bulk write of a DAG.
- ``persist_results``: per-row output fingerprints of a finished pipeline.
- ``run_record``, ``code_version`` and ``flat_settings``: how a stored run was made.
"""

from ._batch_records import hand_over_batch
from ._bulk import persist_to_storage, write_dag
from ._results import persist_results
from ._row_values import VALUE_BUFFER_CAP, record_row_value, record_values
from ._run_record import code_version, flat_settings, git_commit, run_record
from ._session import (
    REQUIRE_ENV,
    PersistenceRequiredError,
    PersistenceSession,
    persistence_required,
    session_field,
)
from ._value_buffer import RowValueBuffer

__all__ = [
    "REQUIRE_ENV",
    "VALUE_BUFFER_CAP",
    "PersistenceRequiredError",
    "PersistenceSession",
    "RowValueBuffer",
    "code_version",
    "flat_settings",
    "git_commit",
    "hand_over_batch",
    "persist_results",
    "persist_to_storage",
    "persistence_required",
    "record_row_value",
    "record_values",
    "run_record",
    "session_field",
    "write_dag",
]
