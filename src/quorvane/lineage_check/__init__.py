"""Check a pipeline's reported lineage against what perturbing each of its inputs changes."""

from ._check import ROADS, check_lineage
from ._perturb import KINDS
from ._report import ColumnCheck, Element, Failure, LineageCheck

__all__ = ["KINDS", "ROADS", "ColumnCheck", "Element", "Failure", "LineageCheck", "check_lineage"]
