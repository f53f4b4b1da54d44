"""quorvane: data provenance and taint tracking for pandas pipelines."""

__version__ = "0.1.0"
