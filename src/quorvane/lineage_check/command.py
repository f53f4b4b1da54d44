"""``quorvane check-lineage``: the lineage check of a pipeline function on a CSV file."""

from __future__ import annotations

import importlib
import importlib.util
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import click
import pandas as pd

from ._check import ROADS, check_lineage


@click.command("check-lineage")
@click.argument("target", metavar="MODULE:FUNCTION")
@click.argument("data", type=click.Path(exists=True, dir_okay=False))
@click.option("--protected", default="", help="Protected columns, separated by commas.")
@click.option("--road", type=click.Choice(ROADS), default="words", show_default=True)
@click.option("--seed", type=int, default=0, show_default=True, help="Seed of the perturbations.")
@click.option("--index-column", help="Column holding the row keys (the frame's index).")
@click.option("--key", help="Column of the result that identifies its rows (matched by it).")
def check_lineage_command(
    target: str,
    data: str,
    protected: str,
    road: str,
    seed: int,
    index_column: str | None,
    key: str | None,
) -> None:
    """Run FUNCTION of MODULE (a module name or a .py file) on DATA with each column
    perturbed in turn, and compare what changed with the lineage a tracked run reports.
    Exits with status 1 when a dependency found is missing from the lineage."""
    pipeline = _function(target)
    frame = pd.read_csv(data, index_col=index_column)
    names = [name.strip() for name in protected.split(",") if name.strip()]
    try:
        report = check_lineage(pipeline, frame, protected=names, road=road, seed=seed, key=key)
    except (ValueError, TypeError) as exc:
        raise click.UsageError(str(exc)) from None
    click.echo(report.to_text())
    if not report.ok:
        sys.exit(1)


def _function(target: str) -> Any:
    module_name, _, function_name = target.rpartition(":")
    if not module_name or not function_name:
        raise click.UsageError(f"name the pipeline as MODULE:FUNCTION, not {target!r}")
    module = _module(module_name)
    function = getattr(module, function_name, None)
    if not callable(function):
        raise click.UsageError(f"{module_name} has no function {function_name!r}")
    return function


def _module(name: str) -> ModuleType:
    if name.endswith(".py"):
        found = importlib.util.spec_from_file_location(Path(name).stem, name)
        if found is None or found.loader is None or not Path(name).is_file():
            raise click.UsageError(f"cannot load {name}")
        module = importlib.util.module_from_spec(found)
        found.loader.exec_module(module)
        return module
    # a pipeline module beside the data, as the user runs it from their project
    sys.path.insert(0, str(Path.cwd()))
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        raise click.UsageError(f"cannot import {name}: {exc}") from None
