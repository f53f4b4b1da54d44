"""The ``quorvane`` command: run the lineage service, manage its keys, read what it stored,
check source files against it, export it (OpenLineage, W3C PROV).

Every command that reads a store takes ``--store`` (a SQLite file or a ``postgresql://``
URL, or the QUORVANE_STORE environment variable). API keys are read from a file or from
standard input, never from the command line, where other users could see them.

Errors are one line on standard error: exit status 2 for a command used wrongly, 1 for a
command that failed; ``--debug`` shows the traceback instead.
"""

from __future__ import annotations

import contextlib
import dataclasses
import json
import os
import secrets
import sys
from pathlib import Path
from typing import Any

import click

from .lineage_check.command import check_lineage_command
from .utilities.persistence import (
    SourceFileError,
    check_source_rows,
    file_sha256,
    likely_key_column,
    open_store,
    read_source_file,
)

STORE = click.option(
    "--store",
    envvar="QUORVANE_STORE",
    required=True,
    help="SQLite file or postgresql:// URL (or QUORVANE_STORE).",
)
TENANT = click.option("--tenant", default="default", show_default=True, help="Tenant to read.")
#: rows a listing shows unless told otherwise
SHOWN = 20


class _Commands(click.Group):
    """Any error of a command as one line (exit status 1), unless ``--debug``."""

    def invoke(self, ctx: click.Context) -> Any:
        try:
            return super().invoke(ctx)
        except (click.exceptions.Exit, click.ClickException, click.Abort, BrokenPipeError):
            raise  # click's own (--help, usage errors, its failures) and a reader gone away
        except Exception as exc:
            if ctx.params.get("debug"):
                raise
            raise click.ClickException(one_line(exc)) from None


def one_line(exc: BaseException) -> str:
    """An exception's message on one line (drivers' messages span several)."""
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


@click.group(cls=_Commands)
@click.version_option(package_name="quorvane", message="%(prog)s %(version)s")
@click.option("--debug", is_flag=True, help="Show the traceback of an error.")
def main(debug: bool) -> None:
    """Data provenance for pandas pipelines: the lineage service and its store."""


main.add_command(check_lineage_command)


# -- serve ------------------------------------------------------------------------------------


@main.command()
@STORE
@click.option("--create", is_flag=True, help="Make a new SQLite store if STORE has none.")
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option(
    "--port",
    type=click.IntRange(0, 65535),
    default=8765,
    show_default=True,
    help="TCP port (0: any free port).",
)
@click.option("--max-body-mb", default=64, show_default=True, help="Largest request body.")
@click.option(
    "--max-line-mb", default=8, show_default=True, help="Longest line of a bulk request body."
)
@click.option(
    "--max-document-mb",
    default=4.0,
    show_default=True,
    help="Largest body that is not a bulk write (an OpenLineage event, a dashboard summary).",
)
@click.option("--request-timeout", default=10.0, show_default=True, help="Seconds for headers.")
@click.option("--body-timeout", default=60.0, show_default=True, help="Seconds for a body.")
@click.option("--keep-alive", default=5.0, show_default=True, help="Idle keep-alive seconds.")
@click.option("--concurrency", default=8, show_default=True, help="Requests worked on at once.")
@click.option("--log-level", default="info", show_default=True)
def serve(
    store: str,
    create: bool,
    host: str,
    port: int,
    max_body_mb: int,
    max_line_mb: int,
    max_document_mb: float,
    request_timeout: float,
    body_timeout: float,
    keep_alive: float,
    concurrency: int,
    log_level: str,
) -> None:
    """Run the lineage service on STORE until interrupted (Ctrl-C or SIGTERM)."""
    from .server import ServerSettings, create_app
    from .server.run import bind, url_of
    from .server.run import serve as run

    settings = _settings(
        ServerSettings,
        max_body_bytes=max_body_mb * 1024 * 1024,
        max_line_bytes=max_line_mb * 1024 * 1024,
        max_document_bytes=int(max_document_mb * 1024 * 1024),
        request_timeout=request_timeout,
        body_timeout=body_timeout,
        keep_alive_timeout=keep_alive,
        max_concurrent_requests=concurrency,
    )
    backend = _open(store, create=create)  # a bad store fails here, before the port is taken
    sock = bind(host, port)
    click.echo(f"serving on {url_of(sock)}")
    sys.stdout.flush()
    # Ctrl-C is how a service is stopped: the server shuts down cleanly, then passes the
    # interrupt on, which is no error to report
    with contextlib.suppress(KeyboardInterrupt):
        run(create_app(backend, settings), sock, settings, log_level)


def _settings(cls: Any, **values: Any) -> Any:
    try:
        return cls(**values)
    except ValueError as exc:
        raise click.UsageError(str(exc)) from None


def _open(location: str, tenant: str = "default", create: bool = False) -> Any:
    """The store at ``location``, connected. A SQLite file that does not exist is refused
    unless ``create``: a mistyped path must not become an empty store."""
    is_url = location.startswith(("postgresql://", "postgres://"))
    if not is_url:
        _check_store_path(Path(location), create)
    try:
        backend = open_store(location, tenant)
    except (ValueError, TypeError, ImportError) as exc:
        raise click.UsageError(one_line(exc)) from None
    try:
        backend.connect()
    except Exception as exc:  # any driver's error: one line, or with --debug its traceback
        raise ConnectionError(f"cannot open the store {location}: {one_line(exc)}") from exc
    return backend


def _check_store_path(path: Path, create: bool) -> None:
    if path.is_dir():
        raise click.BadParameter(f"{path} is a directory, not a store file", param_hint="--store")
    if path.exists():
        return
    if not create:
        raise click.BadParameter(
            f"there is no store at {path} (give --create to make a new one)",
            param_hint="--store",
        )
    if not path.parent.is_dir():
        raise click.BadParameter(
            f"cannot create {path}: the directory {path.parent} does not exist",
            param_hint="--store",
        )


# -- keys -------------------------------------------------------------------------------------


@main.group()
def keys() -> None:
    """Add, revoke and list the API keys of a store (only their digests are kept)."""


KEY_FILE = click.option(
    "--key-file",
    type=click.File("r", encoding="utf-8"),
    default="-",
    show_default="standard input",
    help="File of keys, one a line.",
)


def _keyring(store: str, create: bool = False) -> Any:
    from .server import KeyRing

    return KeyRing(_open(store, create=create))


def _read_keys(handle: Any) -> list[str]:
    from .server.auth import read_keys

    found = read_keys(handle.read())
    if not found:
        raise click.UsageError("no key given (one a line, in --key-file or on standard input)")
    return found


@keys.command("add")
@STORE
@click.option("--tenant", required=True, help="Tenant the keys act for.")
@KEY_FILE
@click.option("--generate", is_flag=True, help="Make a new key and print it once, instead.")
@click.option("--move", is_flag=True, help="Move a key that acts for another tenant to TENANT.")
@click.option("--create", is_flag=True, help="Make a new SQLite store if STORE has none.")
def keys_add(
    store: str, tenant: str, key_file: Any, generate: bool, move: bool, create: bool
) -> None:
    """Let the keys read from --key-file (or standard input) act as TENANT. A key that acts
    for another tenant is refused unless --move is given."""
    ring = _keyring(store, create)
    new = ["qv_" + secrets.token_urlsafe(32)] if generate else _read_keys(key_file)
    for key in new:
        before = ring.tenant_for_key(key)
        try:
            key_id = ring.add(key, tenant, move=move)
        except ValueError as exc:
            raise click.UsageError(str(exc)) from None
        if generate:
            click.echo(key)
        elif before is None:
            click.echo(f"added key {key_id} for tenant {tenant}")
        elif before == tenant:
            click.echo(f"key {key_id} already acts for tenant {tenant}")
        else:
            click.echo(f"moved key {key_id} from tenant {before} to tenant {tenant}")


@keys.command("revoke")
@STORE
@KEY_FILE
@click.option("--id", "key_id", help="Revoke by key id (from `keys list`) instead.")
def keys_revoke(store: str, key_file: Any, key_id: str | None) -> None:
    """Revoke the keys read from --key-file (or standard input), or the key with --id."""
    ring = _keyring(store)
    try:
        if key_id is not None:
            removed = ring.revoke(key_id=key_id)
        else:
            removed = sum(ring.revoke(api_key=key) for key in _read_keys(key_file))
    except ValueError as exc:
        raise click.UsageError(str(exc)) from None
    if not removed:
        raise click.ClickException("no such key")
    click.echo(f"revoked {removed} key(s)")


@keys.command("list")
@STORE
def keys_list(store: str) -> None:
    """The keys of every tenant: key id, tenant and when it was added."""
    found = _keyring(store).list()
    for key in found:
        click.echo(f"{key['key_id']}  {key['tenant_id']}  {key['created_at']}")
    if not found:
        click.echo("the store has no keys (add one with `quorvane keys add`)", err=True)


# -- reading a store -----------------------------------------------------------------------------

LIMIT = click.option(
    "--limit",
    type=click.IntRange(min=0),
    help=f"Most rows to list (0: all) [default: {SHOWN}; all with --json].",
)


@main.command()
@STORE
@TENANT
@click.option(
    "--limit", type=click.IntRange(min=0), default=0, help="List the latest N runs (0: all)."
)
def pipelines(store: str, tenant: str, limit: int) -> None:
    """The pipeline runs of a tenant, oldest first."""
    backend = _open(store, tenant)
    runs = backend.list_pipelines()
    shown = runs[-limit:] if limit else runs
    for run in shown:
        click.echo(
            f"{run['pipeline_id']:>6}  {run['status']:<10} {run['created_at']}  "
            f"{run['pipeline_name']}"
        )
    if len(shown) < len(runs):
        click.echo(f"the latest {len(shown)} of {len(runs)} runs (--limit 0 for all)", err=True)
    if not runs:
        click.echo(_no_runs_note(backend, tenant), err=True)


def _no_runs_note(backend: Any, tenant: str) -> str:
    others = {t: n for t, n in backend.tenants_with_runs().items() if t != tenant}
    if not others:
        return f"tenant {tenant!r} has no runs, and neither has any other tenant of this store"
    held = ", ".join(f"{t} ({n} run{'s' if n > 1 else ''})" for t, n in others.items())
    return f"tenant {tenant!r} has no runs; the store holds runs of: {held} (choose with --tenant)"


def _run_of(backend: Any, tenant: str, pipeline_id: int) -> dict[str, Any]:
    run = backend.get_pipeline(pipeline_id)
    if run is None:
        raise click.ClickException(f"tenant {tenant!r} has no pipeline {pipeline_id}")
    return run


@main.command()
@STORE
@TENANT
@click.argument("pipeline_id", type=click.IntRange(min=0))
@click.option("--json", "as_json", is_flag=True, help="Print one JSON document.")
@LIMIT
def show(store: str, tenant: str, pipeline_id: int, as_json: bool, limit: int | None) -> None:
    """A pipeline run: its record, sources, counts of nodes and edges, its tamper checks and
    its results."""
    backend = _open(store, tenant)
    run = _run_of(backend, tenant, pipeline_id)
    counts = backend.count_run_parts([pipeline_id])[pipeline_id]
    results = backend.get_results(pipeline_id=pipeline_id)
    report = {
        "pipeline": run,
        "sources": backend.run_sources(pipeline_id),
        "nodes": counts["nodes"],
        "edges": counts["edges"],
        "source_checks": backend.source_checks(pipeline_id, limit=None),
        "result_count": len(results),
        "results": results[:limit] if limit else results,
    }
    if as_json:
        click.echo(json.dumps(report, indent=2, ensure_ascii=False))
        return
    click.echo(f"pipeline {run['pipeline_id']} {run['pipeline_name']!r}: {run['status']}")
    click.echo(f"  created {run['created_at']}, completed {run['completed_at'] or '-'}")
    click.echo(f"  {report['nodes']} nodes, {report['edges']} edges")
    for source in report["sources"]:
        mark = " (protected)" if source["is_protected"] else ""
        click.echo(f"  source {source['pair_id']}: {source['table']}.{source['column']}{mark}")
    checks = report["source_checks"]
    if checks:
        click.echo(f"  {len(checks)} tamper check(s), the latest: {_check_line(checks[0])}")
    click.echo(f"  {len(results)} result rows")
    shown = results[: SHOWN if limit is None else limit or len(results)]
    for row in shown:
        click.echo(
            f"    {row['row_key']} {row['output_name']} = {row['value']} "
            f"(fingerprint 0x{row['fingerprint']:08X})"
        )
    if len(shown) < len(results):
        click.echo(
            f"  (listed {len(shown)} of {len(results)} result rows: --limit N for more, "
            "--limit 0 for all)"
        )


def _check_line(check: dict[str, Any]) -> str:
    counts = (
        f"{check['checked']} rows checked, {check['changed']} changed, {check['missing']} missing"
    )
    return f"{check['outcome']} ({counts}) against {check['source']}, {check['checked_at']}"


@main.command()
@STORE
@TENANT
@click.argument("pipeline_id", type=click.IntRange(min=0))
@click.argument("source", type=click.Path(exists=True, dir_okay=False))
@click.option("--index-column", help="Column holding the row keys (the frame's index).")
@LIMIT
def verify(
    store: str,
    tenant: str,
    pipeline_id: int,
    source: str,
    index_column: str | None,
    limit: int | None,
) -> None:
    """Hash each row of SOURCE again and compare it with the hash stored with the results of
    PIPELINE_ID; exits with status 1 on any mismatch. SOURCE is CSV, TSV, Parquet, Feather,
    ORC, JSON (lines: .jsonl) or Excel, told by its extension. Every check is added to the
    run's record of checks."""
    try:
        frame = read_source_file(source, index_column)
    except SourceFileError as exc:
        raise click.BadParameter(str(exc), param_hint="SOURCE") from None
    backend = _open(store, tenant)
    _run_of(backend, tenant, pipeline_id)
    report = check_source_rows(backend, pipeline_id, frame)
    if not report.expected:
        raise click.ClickException(
            f"pipeline {pipeline_id} stored no source-row hashes (its results were persisted "
            "without the source table), so there is nothing to compare"
        )
    backend.store_source_check(
        pipeline_id,
        os.path.abspath(source),
        report,
        source_sha256=file_sha256(source),
        key_column=index_column,
    )
    _say_check(pipeline_id, report, source, index_column, frame)
    _list_differences(report, SHOWN if limit is None else limit)
    if not report.ok:
        sys.exit(1)


def _say_check(
    pipeline_id: int, report: Any, source: str, index_column: str | None, frame: Any
) -> None:
    how = (
        "the exact row hash"
        if report.hash_kind == "exact"
        else "input_hash (floats rounded to 10 decimals: smaller changes are not seen)"
    )
    click.echo(
        f"{report.checked:,} of the {report.expected:,} row(s) of pipeline {pipeline_id}"
        f" found in {source}, compared by {how}"
    )
    if report.outcome == "wrong-source":
        keyed = f"column {index_column!r}" if index_column else "its row numbers"
        click.echo(
            f"the file, or the key column, is probably wrong: keyed by {keyed}, it holds "
            f"only {report.checked:,} of the run's {report.expected:,} row keys. This says "
            "nothing about tampering."
        )
        column = likely_key_column(frame.reset_index(), report.missing)
        if column is not None and column != index_column:
            click.echo(f"the column {column!r} holds them: try --index-column {column}")


def _list_differences(report: Any, limit: int) -> None:
    if report.outcome == "wrong-source":
        return  # a list of every key as missing would bury the one line that matters
    lines = [f"CHANGED  {key}" for key in report.changed]
    lines += [f"MISSING  {key}" for key in report.missing]
    for line in lines[: limit or len(lines)]:
        click.echo(line)
    if limit and len(lines) > limit:
        click.echo(f"... and {len(lines) - limit} more (--limit 0 for all)")
    if report.ok:
        click.echo("every row matches")


# -- export -----------------------------------------------------------------------------------

EXPORT_FORMATS = ("openlineage", "prov-json", "prov-n")


@main.command()
@STORE
@TENANT
@click.argument("pipeline_id", type=click.IntRange(min=0))
@click.option(
    "--format",
    "fmt",
    type=click.Choice(EXPORT_FORMATS),
    default="openlineage",
    show_default=True,
    help="OpenLineage run events (JSON lines), or one value's lineage as PROV.",
)
@click.option("--value", help="Fingerprint of the value (0x... or decimal) for the PROV formats.")
@click.option("--key", help="Business key of one applicant: export its exact lineage.")
@click.option("--result", help="The applicant's result to follow (with --key), e.g. approved.")
@click.option("--namespace", default="quorvane", show_default=True, help="OpenLineage namespace.")
@click.option(
    "--output",
    "-o",
    type=click.File("w", encoding="utf-8"),
    default="-",
    show_default="standard output",
    help="File to write.",
)
def export(
    store: str,
    tenant: str,
    pipeline_id: int,
    fmt: str,
    value: str | None,
    key: str | None,
    result: str | None,
    namespace: str,
    output: Any,
) -> None:
    """Write stored run PIPELINE_ID as OpenLineage run events, the exact lineage of one
    applicant's result (--key, --result) in any format, or the lineage of one stored value
    (--value, as `quorvane show` lists them) as W3C PROV."""
    _check_export_choice(fmt, value, key, result)
    try:
        from openlineage.client.serde import Serde

        from .interop import applicant, prov, stored
    except ImportError as exc:
        raise click.ClickException(
            f"export needs the interop extra (pip install 'quorvane[interop]'): {exc}"
        ) from None
    backend = _open(store, tenant)
    _run_of(backend, tenant, pipeline_id)
    if key is not None:
        text = applicant.export_applicant(backend, pipeline_id, key, fmt, result, namespace)
        output.write(text + "\n")
        return
    if value is None:
        events = stored.stored_run_events(
            backend, pipeline_id, job_namespace=namespace, namespace=namespace
        )
        output.write("".join(Serde.to_json(event) + "\n" for event in events))
        return
    dag = stored.stored_value_dag(backend, pipeline_id, _fingerprint(value))
    run = prov.ProvRun.stored(backend.get_pipeline(pipeline_id))
    text = (
        prov.dag_to_prov_json(dag, run=run) if fmt == "prov-json" else prov.dag_to_prov_n(dag, run)
    )
    output.write(text + "\n")


def _check_export_choice(fmt: str, value: str | None, key: str | None, result: str | None) -> None:
    if key is not None and value is not None:
        raise click.UsageError("give --key (one applicant) or --value (one stored value), not both")
    if result is not None and key is None:
        raise click.UsageError("--result names the result of one applicant: give --key too")
    if key is not None:
        return
    if fmt != "openlineage" and value is None:
        raise click.UsageError(
            f"--format {fmt} writes the lineage of one value: give an applicant with --key "
            "or a fingerprint with --value (`quorvane show` lists them)"
        )
    if fmt == "openlineage" and value is not None:
        raise click.UsageError(
            "--value is for the PROV formats (--format prov-json or prov-n); "
            "OpenLineage events describe the whole run"
        )


def _fingerprint(text: str) -> int:
    try:
        word = int(text, 0)
    except ValueError:
        raise click.UsageError(
            f"--value must be a number such as 0xF4000003, not {text!r}"
        ) from None
    if not 0 <= word < 2**32:
        raise click.UsageError(f"--value must be a 32-bit word, not {text}")
    return word


# -- whatif -----------------------------------------------------------------------------------


def _setting(text: str) -> tuple[str, float | str]:
    name, sep, value = text.partition("=")
    if not sep or not name.strip():
        raise click.BadParameter(f"{text!r} is not COLUMN=VALUE", param_hint="--set")
    try:
        return name.strip(), float(value)
    except ValueError:
        return name.strip(), value  # a text value, such as a region's name


@main.command()
@STORE
@TENANT
@click.argument("pipeline_id", type=click.IntRange(min=0))
@click.argument("key")
@click.option(
    "--set",
    "settings",
    multiple=True,
    required=True,
    metavar="COLUMN=VALUE",
    help="A source value of the applicant to change (repeatable): married=0.",
)
@click.option("--result", help="The result to replay (needed when the run stored several).")
@click.option("--json", "as_json", is_flag=True, help="Print the answer as one JSON document.")
def whatif(
    store: str,
    tenant: str,
    pipeline_id: int,
    key: str,
    settings: tuple[str, ...],
    result: str | None,
    as_json: bool,
) -> None:
    """Would applicant KEY's result in run PIPELINE_ID change if its source values were
    different? Replayed from the stored lineage alone, without the pipeline's code."""
    from .replay import whatif as replayed

    changes = dict(_setting(text) for text in settings)
    backend = _open(store, tenant)
    _run_of(backend, tenant, pipeline_id)
    answer = replayed(backend, pipeline_id, key, changes, result=result)
    if as_json:
        record = dataclasses.asdict(answer) | {"sentence": answer.sentence()}
        click.echo(json.dumps(record, indent=2, ensure_ascii=False))
        return
    click.echo(answer.sentence())
    click.echo(
        f"  {answer.checked} recomputed step(s) first gave their recorded values from their "
        "recorded inputs"
    )
    for line in answer.moved:
        click.echo(f"  from the group moved into: {line}")
    for line in answer.held:
        click.echo(f"  held at its recorded value: {line}")
    for line in answer.not_evaluated:
        click.echo(f"  not evaluated: {line}")


if __name__ == "__main__":
    main()
