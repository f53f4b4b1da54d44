"""Exports of DAG records: plain dictionaries, JSON text and Graphviz DOT text.

All of them are pure functions of the records; they change nothing and take no lock.
"""

from __future__ import annotations

import json
from typing import Any

from ...core._checks import as_int
from ._log import logger  # noqa: F401  (one logger for the whole module)


def word_hex(word: int) -> str:
    return f"0x{word:08X}"


def display_name(node: Any) -> str:
    if node.table and node.column:
        return f"{node.table}.{node.column}"
    if node.operation:
        return node.operation
    return f"node_{node.node_id}"


def node_to_dict(node: Any) -> dict[str, Any]:
    return {
        "id": node.node_id,
        "name": display_name(node),
        "type": node.node_type.name,
        "operation": node.operation,
        "inputs": node.inputs,
        "provenance": word_hex(node.provenance),
        "table": node.table,
        "column": node.column,
        "pair_id": node.pair_id,
        "is_protected": node.is_protected,
        "metadata": node.metadata,
    }


def dag_to_dict(dag: Any) -> dict[str, Any]:
    return {
        "root_id": dag.root_id,
        "depth": dag.depth,
        "node_count": len(dag.nodes),
        "edge_count": len(dag.edges),
        "has_protected": dag.has_protected,
        "taint_risks": dag.column_taint_risks(),
        "sources": [n.to_dict() for n in dag.source_nodes],
        "protected_sources": [n.to_dict() for n in dag.protected_sources],
        "operation_counts": dag.operation_counts,
        "nodes": {str(nid): n.to_dict() for nid, n in dag.nodes.items()},
        "edges": [e.to_dict() for e in dag.edges],
    }


def dag_to_json(dag: Any, indent: int = 2) -> str:
    indent = as_int("indent", indent)
    return json.dumps(dag.to_dict(), indent=indent)


# DOT colours: protected source, other source, the root step, other steps.
PROTECTED_SOURCE = "#f59e0b"
SOURCE = "#22d3ee"
ROOT = "#c084fc"
STEP = "#4ade80"


def dot_escape(text: Any) -> str:
    """Make text safe inside a double-quoted DOT string.

    Without this a quote in a name ends the label early and lets the name inject
    attributes, and a backslash starts a DOT escape sequence.
    """
    return str(text).replace("\\", "\\\\").replace('"', '\\"')


def dot_id(node_id: Any) -> str:
    """DOT name of a node: n and its id, quoted unless the id is a plain decimal number.

    Input ids are stored as given, so a negative or non-numeric one reaches the export;
    unquoted, n-1 would be read as two nodes, n and -1.
    """
    digits = str(node_id)
    if digits.isascii() and digits.isdigit():
        return f"n{digits}"
    return f'"n{dot_escape(digits)}"'


def _dot_node_line(dag: Any, node: Any) -> str:
    if node.is_source:
        # "\n" here is the two characters backslash and n: DOT's line break in a label.
        label = dot_escape(node.table) + "\\n" + dot_escape(node.column)
        colour = PROTECTED_SOURCE if node.is_protected else SOURCE
    else:
        label = dot_escape(node.operation)
        colour = ROOT if node.node_id == dag.root_id else STEP
    return f'  {dot_id(node.node_id)} [label="{label}", fillcolor="{colour}"];'


def dag_to_graphviz(dag: Any) -> str:
    lines: list[str] = [
        "digraph ComputationDAG {",
        "  rankdir=BT;",
        "  node [shape=box, style=filled];",
        "",
    ]
    lines.extend(_dot_node_line(dag, node) for node in dag.nodes.values())
    lines.append("")
    lines.extend(f"  {dot_id(e.source_id)} -> {dot_id(e.target_id)};" for e in dag.edges)
    lines.append("}")
    return "\n".join(lines)
