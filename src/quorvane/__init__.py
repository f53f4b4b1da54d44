"""quorvane: data provenance and taint tracking for pandas pipelines."""

from .lineage_check import LineageCheck, check_lineage

__version__ = "0.1.0"

__all__ = ["LineageCheck", "check_lineage"]
