"""Fixtures shared by the test folders: a throwaway PostgreSQL cluster."""

from __future__ import annotations

import pathlib
import sys

import pytest

# the cluster helper is shared with the benchmarks
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tools"))
from pgcluster import Cluster


@pytest.fixture(scope="session")
def pg_cluster():
    cluster = Cluster()
    yield cluster
    cluster.stop()


@pytest.fixture
def pg_url(pg_cluster):
    """A fresh, empty database of the session's cluster."""
    return pg_cluster.new_database()
