"""Element logs of small pipelines, written node by node with the values plain pandas gives,
and the lineage of one element read from such a log."""

from __future__ import annotations

import json
import math

import numpy as np
import pandas as pd

from quorvane.utilities.persistence import NODE_TYPES, ElementLineage, ElementLog, LineageStep


class LogBuilder:
    """Nodes in creation order; every element-wise node gets one node per row of ``keys``."""

    def __init__(self, keys: list[str]) -> None:
        self.keys = list(keys)
        self.nodes: list[dict] = []
        self.sources: dict[int, tuple[str, str, bool]] = {}
        self.results: dict[str, tuple[np.ndarray, np.ndarray]] = {}

    def _node(self, kind, operation, inputs, value, row=-1, protected=False, group=None) -> int:
        node_id = len(self.nodes) * 2 + 10  # ids ascend, not dense
        text = value if isinstance(value, str) else None
        number = math.nan if value is None or isinstance(value, str) else float(value)
        self.nodes.append(dict(
            id=node_id, type=NODE_TYPES.index(kind), op=operation, inputs=list(inputs),
            value=number, text=text, row=row, protected=protected, group=group,
        ))  # fmt: skip
        return node_id

    def source(self, table: str, column: str, values: pd.Series, protected=False) -> np.ndarray:
        col = self._node("SOURCE", f"{table}.{column}", [], None, protected=protected)
        self.sources[col] = (table, column, protected)
        return np.array([
            self._node("SOURCE", f"{table}.{column}", [col], _plain(values[k]), r, protected)
            for r, k in enumerate(self.keys)
        ])  # fmt: skip

    def constant(self, value) -> int:
        shown = json.dumps(value) if isinstance(value, dict | list) else value
        return self._node("CONSTANT", "constant", [], shown)

    def each(self, kind: str, operation: str, values: pd.Series, *inputs) -> np.ndarray:
        """One node per row; an input is a column of node ids or one node id for all rows."""
        columns = [np.broadcast_to(np.asarray(i), len(self.keys)) for i in inputs]
        protected = self._protected_of
        return np.array([
            self._node(kind, operation, [int(c[r]) for c in columns], _plain(values[k]), r,
                       any(protected(int(c[r])) for c in columns))
            for r, k in enumerate(self.keys)
        ])  # fmt: skip

    def grouped(self, operation: str, by: pd.Series, values: pd.Series, *inputs) -> np.ndarray:
        """One aggregate node per group of ``by`` (over its members' ``inputs``), spread
        back to the rows as ``groupby(...).transform`` does."""
        if isinstance(by, pd.DataFrame):  # several keys: each group's key is their values
            by = pd.Series(list(by.itertuples(index=False, name=None)), index=by.index)
        nodes = {}
        for label in sorted(by.unique()):
            members = [r for r, k in enumerate(self.keys) if by[k] == label]
            ins = sorted({int(c[r]) for c in inputs for r in members})
            first = self.keys[members[0]]
            group = json.dumps(
                [_plain(v) for v in (label if isinstance(label, tuple) else [label])]
            )
            value = _plain(values[first])
            nodes[label] = self._node("AGGREGATE", operation, ins, value, group=group)
        return np.array([nodes[by[k]] for k in self.keys])

    def _protected_of(self, node_id: int) -> bool:
        return self.nodes[(node_id - 10) // 2]["protected"]

    def result(self, name: str, nodes: np.ndarray) -> None:
        self.results[name] = (np.array(self.keys, dtype=object), np.asarray(nodes, np.int64))

    def log(self) -> ElementLog:
        n = self.nodes
        operations = tuple(dict.fromkeys(x["op"] for x in n))
        starts = np.cumsum([0] + [len(x["inputs"]) for x in n])
        texts = tuple(x["text"] for x in n)
        groups = tuple(x["group"] for x in n)
        return ElementLog(
            node_id=np.array([x["id"] for x in n], np.int64),
            node_type=np.array([x["type"] for x in n], np.uint8),
            operation=np.array([operations.index(x["op"]) for x in n], np.int32),
            operations=operations,
            word=np.zeros(len(n), np.int64),
            input_start=starts.astype(np.int64),
            inputs=np.array([i for x in n for i in x["inputs"]], np.int64),
            value=np.array([x["value"] for x in n], np.float64),
            text=texts if any(t is not None for t in texts) else None,
            row=np.array([x["row"] for x in n], np.int64),
            protected=np.array([x["protected"] for x in n], bool),
            identity_kind=np.zeros(len(self.keys), np.uint8),
            identity_table=("applicants",) * len(self.keys),
            identity_key=tuple(self.keys),
            member_start=np.zeros(len(self.keys) + 1, np.int64),
            members=np.zeros(0, np.int64),
            sources=dict(self.sources),
            group=groups if any(g is not None for g in groups) else None,
            results=dict(self.results),
        )


def _plain(value):
    if isinstance(value, np.bool_ | bool):
        return float(value)
    if isinstance(value, str):
        return value
    return None if pd.isna(value) else float(value)


def lineage(log: ElementLog, result: str, key: str) -> ElementLineage:
    """The lineage of ``key``'s element of ``result``: every node reachable from it."""
    keys, nodes = log.results[result]
    root = int(nodes[list(keys).index(key)])
    rows = {int(i): r for r, i in enumerate(log.node_id)}
    seen, todo = set(), [root]
    while todo:
        node = todo.pop()
        if node not in seen:
            seen.add(node)
            r = rows[node]
            todo.extend(int(i) for i in log.inputs[log.input_start[r] : log.input_start[r + 1]])
    steps = []
    for node in sorted(seen):
        r = rows[node]
        table, column, _ = log.sources.get(node, (None, None, False))
        inputs = tuple(int(i) for i in log.inputs[log.input_start[r] : log.input_start[r + 1]])
        if NODE_TYPES[log.node_type[r]] == "SOURCE" and inputs:
            table, column, _ = log.sources[inputs[0]]
        text = log.text[r] if log.text is not None else None
        value = text if text is not None else float(log.value[r])
        steps.append(LineageStep(
            node_id=node, node_type=NODE_TYPES[log.node_type[r]],
            operation=log.operations[log.operation[r]], inputs=inputs, word=0,
            value=None if isinstance(value, float) and math.isnan(value) else value,
            identity=(log.identity_key[log.row[r]],) if log.row[r] >= 0 else (),
            table=table, column=column, protected=bool(log.protected[r]),
        ))  # fmt: skip
    return ElementLineage(root=root, key=key, steps=tuple(steps))
