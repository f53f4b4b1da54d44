"""A lineage DAG drawn as SVG: laid out by Graphviz ``dot`` when it is installed, else by a
small layered layout in Python, and written by one SVG writer either way.

Labels never reach ``dot``: it places boxes of the sizes given here, so what a table or
column is called cannot change what ``dot`` reads, and every text is escaped once, here.
"""

from __future__ import annotations

import functools
import shutil
import subprocess
from collections.abc import Sequence
from dataclasses import dataclass, field

from markupsafe import Markup, escape

LINE_HEIGHT = 15.0
CHAR_WIDTH = 6.6  # of the 11 px sans-serif the stylesheet sets for node labels
PAD = 10.0
MAX_CHARS = 34
LAYER_GAP = 46.0
NODE_GAP = 22.0
MARGIN = 12.0
DOT_TIMEOUT = 10.0


@dataclass(frozen=True)
class Box:
    """One node as drawn: its text lines (the first is its name), CSS classes, tooltip."""

    node_id: int
    lines: tuple[str, ...]
    classes: str
    tooltip: str
    #: characters reserved per line, so that boxes keep their size whatever values they show
    widths: tuple[int, ...] = ()

    @property
    def size(self) -> tuple[float, float]:
        chars = max((*self.widths, *(len(_clip(line)) for line in self.lines)), default=8)
        return chars * CHAR_WIDTH + 2 * PAD, len(self.lines) * LINE_HEIGHT + PAD


@dataclass
class Layout:
    """Centres of the boxes and the points of each edge's cubic Bézier chain (SVG units)."""

    width: float
    height: float
    centres: dict[int, tuple[float, float]] = field(default_factory=dict)
    paths: dict[tuple[int, int], list[tuple[float, float]]] = field(default_factory=dict)


def _clip(text: str) -> str:
    return text if len(text) <= MAX_CHARS else text[: MAX_CHARS - 1] + "…"


@dataclass(frozen=True)
class Caption:
    """The accessible name (``title``) and description (``desc``) of a drawing."""

    title: str
    desc: str


def draw(
    boxes: Sequence[Box],
    edges: Sequence[tuple[int, int]],
    engine: str = "auto",
    caption: Caption = Caption("lineage", ""),
) -> tuple[Markup, str]:
    """The SVG of the DAG and the name of the layout that placed it ("dot" or "layered").

    ``edges`` go from an input to the node that reads it; inputs are drawn below what reads
    them, as in the DOT export. ``engine`` "layered" skips Graphviz; without a working
    ``dot`` every engine falls back to it.
    """
    sizes = tuple((b.node_id, *b.size) for b in boxes)
    pairs = tuple(dict.fromkeys((p, c) for p, c in edges))
    layout, used = None, "layered"
    if engine in ("auto", "dot") and shutil.which("dot"):
        layout = _dot_layout(sizes, pairs)
        used = "dot"
    if layout is None:
        layout, used = _layered_layout(sizes, pairs), "layered"
    return _svg(boxes, layout, caption), used


# -- Graphviz ---------------------------------------------------------------------------------
@functools.lru_cache(maxsize=64)
def _dot_layout(
    sizes: tuple[tuple[int, float, float], ...], edges: tuple[tuple[int, int], ...]
) -> Layout | None:
    lines = ["digraph g {", "rankdir=BT; nodesep=0.3; ranksep=0.5;"]
    lines += [
        f'n{int(i)} [shape=box, fixedsize=true, label="", width={w / 72:.4f}, height={h / 72:.4f}];'
        for i, w, h in sizes
    ]
    lines += [f"n{int(p)} -> n{int(c)};" for p, c in edges]
    lines.append("}")
    dot = shutil.which("dot")
    if dot is None:
        return None
    try:
        done = subprocess.run(  # noqa: S603 - the dot found on PATH, fixed arguments
            [dot, "-Tplain"],
            input="\n".join(lines),
            capture_output=True,
            text=True,
            timeout=DOT_TIMEOUT,
            check=True,
        )
    except (OSError, subprocess.SubprocessError):
        return None
    return _read_plain(done.stdout)


def _read_plain(text: str) -> Layout | None:
    """A layout from ``dot -Tplain`` (inches, y upwards) in SVG units (points, y down)."""
    layout: Layout | None = None
    height = 0.0
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        if parts[0] == "graph":
            height = float(parts[3])
            layout = Layout(float(parts[2]) * 72 + 2 * MARGIN, height * 72 + 2 * MARGIN)
        elif parts[0] == "node" and layout is not None:
            x, y = float(parts[2]), float(parts[3])
            layout.centres[int(parts[1][1:])] = _point(x, y, height)
        elif parts[0] == "edge" and layout is not None:
            count = int(parts[3])
            coords = [float(v) for v in parts[4 : 4 + 2 * count]]
            points = [_point(coords[k], coords[k + 1], height) for k in range(0, len(coords), 2)]
            layout.paths[(int(parts[1][1:]), int(parts[2][1:]))] = points
    return layout


def _point(x: float, y: float, height: float) -> tuple[float, float]:
    return x * 72 + MARGIN, (height - y) * 72 + MARGIN


# -- the layered layout ------------------------------------------------------------------------
@functools.lru_cache(maxsize=64)
def _layered_layout(
    sizes: tuple[tuple[int, float, float], ...], edges: tuple[tuple[int, int], ...]
) -> Layout:
    """Layers by longest path from the inputs, ordered by barycentres, boxes centred; the
    inputs' layer at the bottom."""
    size = {i: (w, h) for i, w, h in sizes}
    layers = _order_layers(_layer_of(list(size), edges), edges)
    row_height = max((h for _, h in size.values()), default=0.0) + LAYER_GAP
    widths = [sum(size[n][0] for n in layer) + NODE_GAP * (len(layer) - 1) for layer in layers]
    total = max(widths, default=0.0)
    layout = Layout(total + 2 * MARGIN, row_height * len(layers) - LAYER_GAP + 2 * MARGIN)
    for depth, (layer, width) in enumerate(zip(layers, widths, strict=True)):
        x = MARGIN + (total - width) / 2
        y = MARGIN + (len(layers) - 1 - depth) * row_height + (row_height - LAYER_GAP) / 2
        for node in layer:
            layout.centres[node] = (x + size[node][0] / 2, y)
            x += size[node][0] + NODE_GAP
    for parent, child in edges:
        (x1, y1), (x2, y2) = layout.centres[parent], layout.centres[child]
        y1 -= size[parent][1] / 2
        y2 += size[child][1] / 2
        middle = (y1 + y2) / 2
        layout.paths[(parent, child)] = [(x1, y1), (x1, middle), (x2, middle), (x2, y2)]
    return layout


def _layer_of(nodes: list[int], edges: Sequence[tuple[int, int]]) -> dict[int, int]:
    """Each node's layer: the length of the longest path to it from a node without inputs."""
    parents: dict[int, list[int]] = {n: [] for n in nodes}
    children: dict[int, list[int]] = {n: [] for n in nodes}
    for parent, child in edges:
        parents[child].append(parent)
        children[parent].append(child)
    waiting = {n: len(parents[n]) for n in nodes}
    ready = [n for n in nodes if not waiting[n]]
    layer = dict.fromkeys(nodes, 0)
    while ready:
        node = ready.pop()
        for child in children[node]:
            layer[child] = max(layer[child], layer[node] + 1)
            waiting[child] -= 1
            if not waiting[child]:
                ready.append(child)
    return layer


def _order_layers(layer: dict[int, int], edges: Sequence[tuple[int, int]]) -> list[list[int]]:
    """Nodes per layer, reordered a few times by the mean position of their neighbours."""
    layers: list[list[int]] = [[] for _ in range(max(layer.values(), default=-1) + 1)]
    for node in sorted(layer):
        layers[layer[node]].append(node)
    above: dict[int, list[int]] = {n: [] for n in layer}
    below: dict[int, list[int]] = {n: [] for n in layer}
    for parent, child in edges:
        above[child].append(parent)
        below[parent].append(child)
    for _ in range(4):
        for neighbours, sweep in (
            (above, range(1, len(layers))),
            (below, range(len(layers) - 2, -1, -1)),
        ):
            for depth in sweep:
                position = {n: i for row in layers for i, n in enumerate(row)}
                layers[depth].sort(
                    key=lambda n: _mean([position[m] for m in neighbours[n]], position[n])
                )
    return layers


def _mean(values: list[int], default: float) -> float:
    return sum(values) / len(values) if values else default


# -- the SVG writer ----------------------------------------------------------------------------
def _svg(boxes: Sequence[Box], layout: Layout, caption: Caption) -> Markup:
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" class="lineage-graph" role="img"'
        ' aria-labelledby="lineage-title lineage-desc"'
        f' width="{layout.width:.0f}" height="{layout.height:.0f}"'
        f' viewBox="0 0 {layout.width:.1f} {layout.height:.1f}">',
        f'<title id="lineage-title">{escape(caption.title)}</title>',
        f'<desc id="lineage-desc">{escape(caption.desc)}</desc>',
        '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="7"'
        ' markerHeight="7" orient="auto-start-reverse"><path d="M0,0 L10,5 L0,10 z"/>'
        "</marker></defs>",
    ]
    for points in layout.paths.values():
        out.append(f'<path class="edge" d="{_bezier(points)}" marker-end="url(#arrow)"/>')
    for box in boxes:
        if box.node_id in layout.centres:
            out.append(_box_svg(box, layout.centres[box.node_id]))
    out.append("</svg>")
    return Markup("".join(out))  # noqa: S704 - every text in it went through escape()


def _bezier(points: list[tuple[float, float]]) -> str:
    head = f"M{points[0][0]:.1f},{points[0][1]:.1f}"
    tail = " ".join(
        "C" + " ".join(f"{x:.1f},{y:.1f}" for x, y in points[k : k + 3])
        for k in range(1, len(points) - 2, 3)
    )
    return f"{head} {tail}"


def _box_svg(box: Box, centre: tuple[float, float]) -> str:
    width, height = box.size
    x, y = centre[0] - width / 2, centre[1] - height / 2
    texts = "".join(
        f'<text x="{centre[0]:.1f}" y="{y + PAD / 2 + LINE_HEIGHT * (k + 0.75):.1f}"'
        f' class="line{k}">{escape(_clip(line))}</text>'
        for k, line in enumerate(box.lines)
    )
    return (
        f'<g class="{escape(box.classes)}" data-node="{box.node_id}">'
        f"<title>{escape(box.tooltip)}</title>"
        f'<rect x="{x:.1f}" y="{y:.1f}" width="{width:.1f}" height="{height:.1f}" rx="4"/>'
        f"{texts}</g>"
    )
