"""Per-element logs made by hand, for the store's tests and benchmark.

``hand_made_log()`` is a small credit decision traced element by element: wages times a
weight, a region's rate joined on (merged rows), a group mean, a threshold, a protected
attribute that reaches one applicant and not another, and a mapping table kept as text.
``chain_log(rows, ops)`` is the log of a pipeline of ``ops`` vectorised operations over
``rows`` applicants, built with numpy (ids in creation order: each operation's nodes are
consecutive, as a tracker gives them out).
"""

from __future__ import annotations

import numpy as np

from quorvane.utilities.persistence import NODE_TYPES, ElementLog

T = {name: code for code, name in enumerate(NODE_TYPES)}
NAN = float("nan")

# node id: (type, operation, inputs, value, text, identity, protected)
_HAND_NODES = [
    ("SOURCE", "loans.wage", (), NAN, None, -1, False),  # 0
    ("SOURCE", "loans.married", (), NAN, None, -1, True),  # 1
    ("SOURCE", "regions.rate", (), NAN, None, -1, False),  # 2
    ("CONSTANT", "const", (), 20.0, None, -1, False),  # 3: a weight
    ("CONSTANT", "const", (), 560.0, None, -1, False),  # 4: the decision's threshold
    ("SOURCE", "loans.wage", (0,), 30.0, None, 0, False),  # 5: LA-1's wage
    ("SOURCE", "loans.wage", (0,), 25.0, None, 1, False),  # 6: LA-2's
    ("SOURCE", "loans.wage", (0,), 40.0, None, 2, False),  # 7: LA-3's
    ("SOURCE", "loans.married", (1,), 1.0, None, 0, True),  # 8
    ("SOURCE", "loans.married", (1,), 0.0, None, 1, True),  # 9
    ("SOURCE", "regions.rate", (2,), 5.0, None, 3, False),  # 10: the north's rate
    ("BINARY", "mul", (5, 3), 600.0, None, 0, False),  # 11
    ("BINARY", "mul", (6, 3), 500.0, None, 1, False),  # 12
    ("BINARY", "add", (11, 10), 605.0, None, 4, False),  # 13: after the merge
    ("BINARY", "add", (12, 10), 505.0, None, 5, False),  # 14
    ("AGGREGATE", "groupby_mean", (11, 12), 550.0, None, 6, False),  # 15
    ("BINARY", "sub", (13, 15), 55.0, None, 4, False),  # 16
    ("BINARY", "add", (14, 9), 505.0, None, 5, True),  # 17
    ("BINARY", "ge", (16, 4), 0.0, None, 4, False),  # 18: LA-1 approved?
    ("BINARY", "ge", (17, 4), 0.0, None, 5, True),  # 19: LA-2 approved?
    ("CONSTANT", "const", (), NAN, '{"low": "no", "high": "yes"}', -1, False),  # 20
    ("UNARY", "map", (7, 20), NAN, "yes", 2, False),  # 21: LA-3's label
]
# (kind, table, key, members): LA-1..3, the north region, two merged rows, one group
_HAND_IDENTITIES = [
    (0, "loans", "LA-1", ()),
    (0, "loans", "LA-2", ()),
    (0, "loans", "LA-3", ()),
    (0, "regions", "north", ()),
    (1, "", "LA-1", (0, 3)),
    (1, "", "LA-2", (1, 3)),
    (2, "", "", (0, 1)),
]
HAND_SOURCES = {
    0: ("loans", "wage", False),
    1: ("loans", "married", True),
    2: ("regions", "rate", False),
}


def _offsets(lengths: list[int]) -> np.ndarray:
    return np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)


def hand_made_log() -> ElementLog:
    operations = tuple(dict.fromkeys(n[1] for n in _HAND_NODES))
    size = len(_HAND_NODES)
    texts = [n[4] for n in _HAND_NODES]
    return ElementLog(
        node_id=np.arange(size, dtype=np.int64),
        node_type=np.array([T[n[0]] for n in _HAND_NODES], np.uint8),
        operation=np.array([operations.index(n[1]) for n in _HAND_NODES], np.int32),
        operations=operations,
        word=np.arange(size, dtype=np.int64) * 7919 + 0xF4000000,
        input_start=_offsets([len(n[2]) for n in _HAND_NODES]),
        inputs=np.array([i for n in _HAND_NODES for i in n[2]], np.int64),
        value=np.array([n[3] for n in _HAND_NODES]),
        text=tuple(texts),
        row=np.array([n[5] for n in _HAND_NODES], np.int64),
        protected=np.array([n[6] for n in _HAND_NODES]),
        identity_kind=np.array([i[0] for i in _HAND_IDENTITIES], np.uint8),
        identity_table=tuple(i[1] for i in _HAND_IDENTITIES),
        identity_key=tuple(i[2] for i in _HAND_IDENTITIES),
        member_start=_offsets([len(i[3]) for i in _HAND_IDENTITIES]),
        members=np.array([m for i in _HAND_IDENTITIES for m in i[3]], np.int64),
        sources=dict(HAND_SOURCES),
        group=tuple('["north"]' if i == 15 else None for i in range(size)),
        results={
            "approved": (np.array(["LA-1", "LA-2"], dtype=object), np.array([18, 19])),
            "label": (np.array(["LA-3"], dtype=object), np.array([21])),
        },
    )


def chain_log(rows: int, ops: int = 8) -> ElementLog:
    """Two source columns (wage; married, protected), a constant per operation, then ``ops``
    operations over every applicant: a multiplication by the constant and an addition of
    the applicant's married cell in turn, the last one a threshold at the median."""
    first_cell = 2 + ops
    size = first_cell + rows * (2 + ops)
    node_type = np.empty(size, np.uint8)
    operation = np.empty(size, np.int32)
    value = np.empty(size)
    row = np.full(size, -1, np.int64)
    protected = np.zeros(size, bool)
    arity = np.zeros(size, np.int64)
    node_type[:2], operation[:2], value[:2], protected[1] = T["SOURCE"], (0, 1), NAN, True
    node_type[2:first_cell], operation[2:first_cell] = T["CONSTANT"], 2
    value[2:first_cell] = np.arange(1, ops + 1) * 1.5
    ids = np.arange(rows)
    rng = np.random.default_rng(7)
    wage, married = first_cell + ids, first_cell + rows + ids
    for cells, column, values in (
        (wage, 0, rng.uniform(100, 900, rows)),
        (married, 1, rng.integers(0, 2, rows).astype(float)),
    ):
        node_type[cells], operation[cells], value[cells] = T["SOURCE"], 3, values
        row[cells], arity[cells], protected[cells] = ids, 1, column == 1
    inputs = [np.zeros(rows, np.int64), np.ones(rows, np.int64)]
    previous, reached = wage, np.zeros(rows, bool)
    for k in range(ops):
        out = first_cell + rows * (2 + k) + ids
        if k % 2 == 0:
            other, code = np.full(rows, 2 + k), 4
            result = value[previous] * value[2 + k]
        else:
            other, code, reached = married, 5, np.ones(rows, bool)
            result = value[previous] + value[married]
        if k == ops - 1:
            code, result = 6, (value[previous] >= np.median(value[previous])).astype(float)
        node_type[out], operation[out], value[out] = T["BINARY"], code, result
        row[out], arity[out], protected[out] = ids, 2, reached
        inputs.append(np.stack([previous, other], axis=1).ravel())
        previous = out
    keys = np.array([f"LA-{i:07d}" for i in range(rows)], dtype=object)
    return ElementLog(
        node_id=np.arange(size, dtype=np.int64),
        node_type=node_type,
        operation=operation,
        operations=("loans.wage", "loans.married", "const", "cell", "mul", "add", "ge"),
        word=(np.arange(size, dtype=np.int64) * 2654435761) & 0xFFFFFFFF,
        input_start=np.concatenate([[0], np.cumsum(arity)]).astype(np.int64),
        inputs=np.concatenate(inputs),
        value=value,
        text=None,
        row=row,
        protected=protected,
        identity_kind=np.zeros(rows, np.uint8),
        identity_table=("loans",) * rows,
        identity_key=tuple(keys),
        member_start=np.zeros(rows + 1, np.int64),
        members=np.zeros(0, np.int64),
        sources={0: ("loans", "wage", False), 1: ("loans", "married", True)},
        results={"approved": (keys, previous)},
    )


def tracked_log():
    """The log of a small pipeline tracked on the DAG road (a dropna, a sort, a merge with
    a region table, a group transform and a threshold), and the tracker that made it."""
    tracker, approved = tracked_run()
    return tracker.element_log({"approved": approved}), tracker


def tracked_run():
    """The tracker of ``tracked_log``'s pipeline and its result series."""
    import pandas as pd

    from quorvane.utilities.orrin32_dag import DAGTracker, wrap_dataframe_dag

    loans = pd.DataFrame(
        {
            "applicant": [f"LA-{i}" for i in range(8)],
            "wage": [30.0, 25.0, None, 40.0, 35.0, 28.0, 50.0, 22.0],
            "married": [1, 0, 1, 0, 1, 1, 0, 0],
            "region": ["n", "s", "n", "s", "n", "s", "n", "s"],
        }
    )
    regions = pd.DataFrame({"region": ["n", "s"], "rate": [1.5, 2.0]})
    tracker = DAGTracker(max_nodes=10**5)
    f = wrap_dataframe_dag(loans, tracker, "loans", protected=["married"], key="applicant")
    f = f.dropna().sort_values("wage")
    f = f.merge(wrap_dataframe_dag(regions, tracker, "regions", key="region"), on="region")
    f["peer"] = f.groupby("region")["wage"].transform("mean")
    f["score"] = (f["wage"] - f["peer"]) * f["rate"] + f["married"] * 10
    f["approved"] = np.where(f["score"] >= 0, 1, 0)
    return tracker, f["approved"]


def peer_log(rows: int) -> ElementLog:
    """Wages (cells) and a protected married flag, a mean wage per married group over
    every member (each group's aggregate reads half the applicants: a wide row of its own),
    and each applicant's wage less its group's mean, thresholded at zero."""
    rng = np.random.default_rng(11)
    wage, married = rng.uniform(100, 900, rows).round(), rng.integers(0, 2, rows).astype(float)
    first_cell, ids = 3, np.arange(rows)
    wage_cells, married_cells = first_cell + ids, first_cell + rows + ids
    groups = first_cell + 2 * rows + np.arange(2)
    subs, decisions = groups[-1] + 1 + ids, groups[-1] + 1 + rows + ids
    size = int(decisions[-1]) + 1
    means = np.array([wage[married == g].mean() for g in (0, 1)])
    mine = means[married.astype(int)]
    members = [np.flatnonzero(married == g) for g in (0, 1)]
    node_type = np.concatenate([
        [T["SOURCE"], T["SOURCE"], T["CONSTANT"]], np.full(2 * rows, T["SOURCE"]),
        [T["AGGREGATE"]] * 2, np.full(2 * rows, T["BINARY"]),
    ]).astype(np.uint8)  # fmt: skip
    operation = np.concatenate([[0, 1, 2], np.full(2 * rows, 3), [4, 4], np.full(rows, 5),
                                np.full(rows, 6)]).astype(np.int32)  # fmt: skip
    inputs = [
        np.zeros(rows, np.int64), np.ones(rows, np.int64),
        *(np.sort(np.concatenate([wage_cells[m], married_cells[m]])) for m in members),
        np.stack([wage_cells, groups[married.astype(int)]], 1).ravel(),
        np.stack([subs, np.full(rows, 2)], 1).ravel(),
    ]  # fmt: skip
    arity = np.concatenate([[0, 0, 0], np.ones(2 * rows), [len(m) * 2 for m in members],
                            np.full(2 * rows, 2)]).astype(np.int64)  # fmt: skip
    group_rows = rows + np.arange(2)
    keys = np.array([f"LA-{i:07d}" for i in range(rows)], dtype=object)
    protected = np.zeros(size, bool)
    protected[[1, *married_cells, *groups, *subs, *decisions]] = True
    return ElementLog(
        node_id=np.arange(size, dtype=np.int64),
        node_type=node_type,
        operation=operation,
        operations=("loans.wage", "loans.married", "const", "cell", "mean", "sub", "ge"),
        word=np.zeros(size, np.int64),
        input_start=np.concatenate([[0], np.cumsum(arity)]).astype(np.int64),
        inputs=np.concatenate(inputs).astype(np.int64),
        value=np.concatenate(
            [[NAN, NAN, 0.0], wage, married, means, wage - mine, (wage - mine >= 0).astype(float)]
        ),  # fmt: skip
        text=None,
        row=np.concatenate([[-1, -1, -1], ids, ids, group_rows, ids, ids]).astype(np.int64),
        protected=protected,
        identity_kind=np.concatenate([np.zeros(rows), [2, 2]]).astype(np.uint8),
        identity_table=("loans",) * rows + ("", ""),
        identity_key=(*keys, "", ""),
        member_start=np.concatenate(
            [np.zeros(rows + 1), np.cumsum([len(m) for m in members])]
        ).astype(np.int64),
        members=np.concatenate(members).astype(np.int64),
        sources={0: ("loans", "wage", False), 1: ("loans", "married", True)},
        group=tuple([None] * int(groups[0]) + ["[0.0]", "[1.0]"] + [None] * (2 * rows)),
        results={"approved": (keys, decisions)},
    )
