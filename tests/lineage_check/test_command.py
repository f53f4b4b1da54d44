"""`quorvane check-lineage MODULE:FUNCTION DATA.csv` prints the check and says by its exit
status whether the lineage is complete."""

from __future__ import annotations

import textwrap

import pytest
from click.testing import CliRunner

from quorvane.cli import main

PIPELINES = textwrap.dedent(
    """
    def ratio(d):
        return d.debt / d.income

    def hidden(d):
        return d.debt + (1.0 if d.age.iloc[0] > 40 else 0.0)
    """
)


@pytest.mark.parametrize(
    "target, options, status, says",
    [
        ("pipes:ratio", ["--protected", "age"], 0, "Lineage complete"),
        ("pipes.py:hidden", ["--protected", "age", "--road", "dag"], 1, "debt[0]: age"),
        ("pipes:missing", [], 2, "has no function 'missing'"),
        ("pipes:ratio", ["--protected", "sex"], 2, "not columns of the frame"),
    ],
)
def test_check_lineage_command(tmp_path, monkeypatch, target, options, status, says):
    (tmp_path / "pipes.py").write_text(PIPELINES, encoding="utf-8")
    rows = ["income,debt,age", "50,10,30", "80,20,70", "40,30,20", "60,5,45"]
    (tmp_path / "data.csv").write_text("\n".join(rows) + "\n", encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(tmp_path)
    done = CliRunner().invoke(main, ["check-lineage", target, "data.csv", *options])
    assert done.exit_code == status, done.output
    assert says in done.output
