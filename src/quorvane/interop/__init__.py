"""Lineage that leaves quorvane: OpenLineage run events (``quorvane.interop.openlineage``)
and W3C PROV documents (``quorvane.interop.prov``).

Each submodule needs its own library, installed with ``pip install quorvane[interop]``.
"""
