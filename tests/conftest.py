"""Fixtures shared by the test folders: a throwaway PostgreSQL cluster."""

from __future__ import annotations

import pytest
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
