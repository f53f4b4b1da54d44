"""Fixtures shared by the DAG tests."""

import pytest
from dag_helpers import dag_of, node, source

from quorvane.utilities.orrin32_dag import NodeType


@pytest.fixture
def diamond():
    # source 0; steps 1 and 2 read 0; step 3 reads 1 and 2
    return dag_of(
        3,
        node(3, NodeType.BINARY, [1, 2], "add"),
        node(1, inputs=[0], operation="neg"),
        node(2, inputs=[0], operation="neg"),
        source(0),
    )
