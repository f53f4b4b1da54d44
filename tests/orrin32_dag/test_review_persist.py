"""Bulk writes into backends that do not number their pipelines."""

from __future__ import annotations

from quorvane.utilities.orrin32_dag import DAGTracker


class _NoIdBackend:
    """A backend whose ``create_pipeline`` returns nothing, as simple stores may."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args))
            return {} if name == "get_fingerprint_node_map" else None

        return call


def test_a_backend_without_pipeline_ids_still_gets_the_whole_dag():
    tracker = DAGTracker(pipeline_name="no-ids")
    tracker.register("t", "a")
    tracker.create_source_node("t", "a", 7)
    backend = _NoIdBackend()
    assert tracker.persist_to_storage(backend) is None
    names = [name for name, _ in backend.calls]
    assert names == [
        "create_pipeline",
        "register_source",
        "store_nodes",
        "get_fingerprint_node_map",
        "store_edges_resolved",
        "write_element_log",
        "complete_pipeline",
    ]
    assert backend.calls[-1] == ("complete_pipeline", (None, "completed"))
