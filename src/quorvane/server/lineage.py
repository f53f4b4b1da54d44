"""The shape of the computation behind a stored result: the DAG above its word, with the
values recorded at the result's row position.

The stored DAG is shared by every row whose result carries the same word (a dense word has
no row hash), so it is no one applicant's lineage: it is what a run stored before runs kept a
per-element log has, and its page says so (see ``applicant`` for the exact lineage). The
values recorded at the result's row index are joined to the nodes here, a computed step by
its word and operation, a source by its table and column; after a filter or a sort that
position may hold another row's values, which the page says too.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

from ..core import UNKNOWN_SOURCE
from ..utilities.orrin32 import ProvenanceTracker
from ..utilities.orrin32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType
from ..utilities.persistence import SQLStore
from .drawing import Box
from .notfound import no_applicant, no_output, visible_run
from .reach import NOT_REACHED, REACHED, UNKNOWN, Reach

#: most nodes of one lineage read and drawn (the nearest to the result first)
MAX_NODES = 300
#: characters kept for a value in a box, so that every row's drawing has the same size
VALUE_CHARS = 16


@dataclass
class Lineage:
    pipeline_id: int
    result: dict[str, Any]
    nodes: list[dict[str, Any]]
    edges: list[tuple[int, int, int]]
    truncated: bool
    check: dict[str, Any] | None = None
    values_found: int = 0
    protected: list[str] = field(default_factory=list)

    @property
    def row_status(self) -> str:
        """Whether the row's source hash still matched at the last tamper check."""
        return row_status(self.result, self.check)

    @property
    def reach(self) -> Reach:
        """Whether a protected attribute reached the result: unknown when the drawn part
        of its lineage names none but leaves some of it out."""
        sources = [n for n in self.nodes if n["node_type"] == "SOURCE"]
        if self.protected:
            return Reach(
                REACHED, tuple(sorted({n["column"] for n in sources if n["is_protected"]}))
            )
        if ProvenanceTracker.read_header(self.result["fingerprint"])[1]:
            return Reach(REACHED)  # the word's taint bit: a protected source is above it
        unknown = any((n["table"], n["column"]) == UNKNOWN_SOURCE for n in sources)
        return Reach(UNKNOWN if unknown or self.truncated or not sources else NOT_REACHED)

    def boxes(self) -> list[Box]:
        root = self.nodes[0]["id"] if self.nodes else None
        return [_box(node, node["id"] == root) for node in self.nodes]

    def inputs(self) -> dict[int, list[int]]:
        """Each node's inputs, by input position."""
        found: dict[int, list[tuple[int, int]]] = {}
        for parent, child, position in self.edges:
            found.setdefault(child, []).append((position, parent))
        return {n["id"]: [p for _, p in sorted(found.get(n["id"], []))] for n in self.nodes}

    def dag(self) -> ComputationDAG:
        """The lineage as the library's DAG records, for its JSON and DOT exports."""
        inputs = self.inputs()
        nodes = {n["id"]: _dag_node(n, inputs[n["id"]]) for n in self.nodes}
        edges = [DAGEdge(p, c, i) for p, c, i in self.edges]
        return ComputationDAG(self.nodes[0]["id"] if self.nodes else 0, nodes, edges)

    def to_dict(self) -> dict[str, Any]:
        """The lineage with the row's values, as the JSON export of this page."""
        inputs = self.inputs()
        return {
            "pipeline_id": self.pipeline_id,
            # the shape shared by every result with the word, not the applicant's lineage
            "exact": False,
            "result": self.result,
            "source_row": self.row_status,
            "complete": not self.truncated,
            "steps": [
                {
                    "id": n["id"],
                    "type": n["node_type"],
                    "operation": n["operation"],
                    "table": n["table"],
                    "column": n["column"],
                    "word": f"0x{n['fingerprint']:08X}",
                    "is_protected": n["is_protected"],
                    "value": n.get("value"),
                    "inputs": inputs[n["id"]],
                }
                for n in self.nodes
            ],
        }


def row_status(result: dict[str, Any], check: dict[str, Any] | None) -> str:
    """Whether a stored result's source row still matched at the last tamper check."""
    key = result["row_key"]
    if result["input_hash"] is None:
        return "no source-row hash stored"
    if check is None:
        return "not verified yet"
    if check["outcome"] == "wrong-source":
        return "unknown: the last check's file or key column was probably wrong"
    if key in check["changed_keys"]:
        return "changed"
    if key in check["missing_keys"]:
        return "missing from the source"
    return "matches"


def read_lineage(store: SQLStore, pipeline_id: int, row_key: str, output_name: str) -> Lineage:
    """The lineage of the ``output_name`` result of ``row_key`` in a run (``NotFound``
    saying which of the three is missing)."""
    visible_run(store, pipeline_id)
    results = store.results_for_keys(pipeline_id, [row_key])
    if not results:
        raise no_applicant(pipeline_id, row_key)
    rows = [r for r in results if r["output_name"] == output_name]
    if not rows:
        raise no_output(pipeline_id, row_key, output_name, (r["output_name"] for r in results))
    result = rows[0]
    nodes, edges, truncated = store.lineage_of(pipeline_id, result["fingerprint"], MAX_NODES)
    lineage = Lineage(pipeline_id, result, nodes, edges, truncated)
    if result["row_index"] is not None:
        lineage.values_found = _join_values(store, pipeline_id, result["row_index"], nodes)
    check = store.latest_source_checks([pipeline_id], with_keys=True).get(pipeline_id)
    lineage.check = check
    lineage.protected = sorted(
        {
            f"{n['table']}.{n['column']}"
            for n in nodes
            if n["is_protected"] and n["node_type"] == "SOURCE"
        }
    )
    return lineage


def _join_values(store: SQLStore, pipeline_id: int, row_index: int, nodes: list[dict]) -> int:
    """Put the value recorded at ``row_index`` on each node it belongs to; how many found."""
    by_step: dict[tuple[int, str], Any] = {}
    by_source: dict[str, Any] = {}
    for rv in store.get_row_values(pipeline_id, row_index):
        shown = format_value(rv.value, rv.text_value)
        by_step.setdefault((rv.fingerprint, rv.node_operation), shown)
        if rv.column_name is not None:
            by_source.setdefault(rv.node_operation, shown)
    found = 0
    for node in nodes:
        if node["node_type"] == "SOURCE":
            value = by_source.get(node["operation"])
        else:
            value = by_step.get((node["fingerprint"], node["operation"]))
        if value is not None:
            node["value"] = value
            found += 1
    return found


def format_value(number: float | None, text: str | None = None) -> str | None:
    if number is None:
        return text
    if math.isnan(number):
        return "NaN"
    return f"{number:.6g}"


def node_name(node: dict[str, Any]) -> str:
    if node["table"] and node["column"]:
        return f"{node['table']}.{node['column']}"
    return str(node["operation"] or f"node {node['id']}")


def protection_mark(node: dict[str, Any]) -> str:
    """The text that marks a protected source, or a step a protected source reached, so
    that neither is told by colour alone; "" for the others."""
    if node["node_type"] == "SOURCE":
        return "protected" if node["is_protected"] else ""
    tainted = node["is_protected"] or ProvenanceTracker.read_header(node["fingerprint"])[1]
    return "reached by protected" if tainted else ""


def _box(node: dict[str, Any], is_root: bool) -> Box:
    name = node_name(node)
    value = node.get("value")
    word = f"0x{node['fingerprint']:08X}"
    mark = protection_mark(node)
    is_source = node["node_type"] == "SOURCE"
    classes = "node " + ("source" if is_source else "step")
    if mark:
        classes += " protected" if is_source else " tainted"
    if is_root:
        classes += " root"
    lines = (
        name,
        "= " + value if value is not None else "no value recorded",
        f"{word} · {mark}" if mark else word,
    )
    tooltip = f"{name} ({node['node_type']}, word {word})"
    if value is not None:
        tooltip += f": {value}"
    return Box(node["id"], lines, classes, tooltip, widths=(len(name), VALUE_CHARS + 2, 10))


def _dag_node(node: dict[str, Any], inputs: list[int]) -> DAGNode:
    try:
        kind = NodeType[node["node_type"]]
    except KeyError:
        kind = NodeType.CUSTOM
    return DAGNode(
        node_id=node["id"],
        node_type=kind,
        operation=node["operation"],
        inputs=inputs,
        provenance=node["fingerprint"],
        metadata=node["metadata"] or {},
        table=node["table"],
        column=node["column"],
        pair_id=node["pair_id"],
        is_protected=node["is_protected"],
    )
