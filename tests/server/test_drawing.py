"""The lineage drawing: inputs below what reads them (as in the DOT export), no overlaps,
every text escaped, a title and a description."""

from __future__ import annotations

import re
import shutil
import xml.etree.ElementTree as ET

import pytest

from quorvane.server.drawing import Box, _dot_layout, _layered_layout
from quorvane.utilities.orrin32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType

SVG = "{http://www.w3.org/2000/svg}"
# a diamond over two sources, a long edge that skips a layer, and a hostile label
EDGES = [(1, 3), (2, 3), (1, 4), (3, 5), (4, 5), (2, 5)]
BOXES = [Box(i, (f"n{i}", "= 1.5", "0x0"), "node step", "tip") for i in range(1, 6)]
BOXES[0] = Box(1, ("<script>&'\"ü", "= x"), "node source protected", "<b>")


@pytest.mark.parametrize("engine", ["dot", "layered"])
def test_inputs_are_drawn_below_and_boxes_never_overlap(engine):
    if engine == "dot" and shutil.which("dot") is None:
        pytest.skip("Graphviz is not installed")
    sizes = tuple((b.node_id, *b.size) for b in BOXES)
    layout = (_dot_layout if engine == "dot" else _layered_layout)(sizes, tuple(EDGES))
    assert set(layout.centres) == {1, 2, 3, 4, 5} and set(layout.paths) == set(EDGES)
    for parent, child in EDGES:
        assert layout.centres[parent][1] > layout.centres[child][1]
    # the DOT export draws the same way: rankdir=BT puts the inputs at the bottom
    dag = ComputationDAG(
        2,
        {1: DAGNode(1, NodeType.SOURCE, "s", [], 0), 2: DAGNode(2, NodeType.UNARY, "neg", [1], 0)},
        [DAGEdge(1, 2, 0)],
    )
    assert "  rankdir=BT;" in dag.to_graphviz().splitlines()
    size = {b.node_id: b.size for b in BOXES}
    for a in size:
        for b in size:
            (xa, ya), (xb, yb) = layout.centres[a], layout.centres[b]
            apart_x = abs(xa - xb) >= (size[a][0] + size[b][0]) / 2
            apart_y = abs(ya - yb) >= (size[a][1] + size[b][1]) / 2
            assert a == b or apart_x or apart_y
    for points in layout.paths.values():
        assert len(points) % 3 == 1 and all(
            0 <= x <= layout.width and 0 <= y <= layout.height for x, y in points
        )


def test_the_svg_is_well_formed_and_holds_the_hostile_label_as_text():
    from quorvane.server.drawing import Caption, draw

    svg, _ = draw(BOXES, EDGES, "layered", Caption("Lineage of <b>", "5 steps"))
    root = ET.fromstring(str(svg))  # noqa: S314 - our own output
    texts = [t.text for t in root.iter("{http://www.w3.org/2000/svg}text")]
    assert "<script>&'\"ü" in texts
    # the accessible name and description, named by the element itself
    title, desc = root[0], root[1]
    assert (title.tag, title.text, desc.text) == (f"{SVG}title", "Lineage of <b>", "5 steps")
    assert root.get("aria-labelledby") == f"{title.get('id')} {desc.get('id')}"
    assert not re.search(r"<(script|b)\b", str(svg))
