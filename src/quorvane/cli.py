"""The ``quorvane`` command: run the lineage service, manage its keys, read what it stored,
export it (OpenLineage, W3C PROV).

Every command that reads a store takes ``--store`` (a SQLite file or a ``postgresql://``
URL, or the QUORVANE_STORE environment variable). API keys are read from a file or from
standard input, never from the command line, where other users could see them.
"""

from __future__ import annotations

import json
import os
import secrets
import sys
from typing import Any

import click

from .lineage_check.command import check_lineage_command
from .utilities.persistence import check_source_rows, open_store

STORE = click.option(
    "--store",
    envvar="QUORVANE_STORE",
    required=True,
    help="SQLite file or postgresql:// URL (or QUORVANE_STORE).",
)
TENANT = click.option("--tenant", default="default", show_default=True, help="Tenant to read.")


class _Commands(click.Group):
    """Errors a user can act on (a refused tenant, an unreachable database) as one line."""

    def invoke(self, ctx: click.Context) -> Any:
        try:
            return super().invoke(ctx)
        except (PermissionError, LookupError, ConnectionError, RuntimeError, OSError) as exc:
            raise click.ClickException(str(exc)) from None


@click.group(cls=_Commands)
def main() -> None:
    """Data provenance for pandas pipelines: the lineage service and its store."""


main.add_command(check_lineage_command)


# -- serve ------------------------------------------------------------------------------------


@main.command()
@STORE
@click.option("--host", default="127.0.0.1", show_default=True, help="Address to listen on.")
@click.option("--port", default=8765, show_default=True, help="TCP port (0: any free port).")
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
    """Run the lineage service on STORE until interrupted."""
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
    backend = _open(store)
    try:
        backend.connect()  # a bad store fails here, before the port is taken
    except Exception as exc:  # noqa: BLE001 - any driver's error, said in one line
        raise click.ClickException(f"cannot open the store: {exc}") from None
    sock = bind(host, port)
    click.echo(f"serving on {url_of(sock)}")
    sys.stdout.flush()
    run(create_app(backend, settings), sock, settings, log_level)


def _settings(cls: Any, **values: Any) -> Any:
    try:
        return cls(**values)
    except ValueError as exc:
        raise click.UsageError(str(exc)) from None


def _open(location: str, tenant: str = "default") -> Any:
    try:
        return open_store(location, tenant)
    except (ValueError, TypeError, ImportError) as exc:
        raise click.UsageError(str(exc)) from None


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


def _keyring(store: str) -> Any:
    from .server import KeyRing

    return KeyRing(_open(store))


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
def keys_add(store: str, tenant: str, key_file: Any, generate: bool) -> None:
    """Let the keys read from --key-file (or standard input) act as TENANT."""
    ring = _keyring(store)
    new = ["qv_" + secrets.token_urlsafe(32)] if generate else _read_keys(key_file)
    for key in new:
        try:
            key_id = ring.add(key, tenant)
        except ValueError as exc:
            raise click.UsageError(str(exc)) from None
        click.echo(key if generate else f"added key {key_id} for tenant {tenant}")


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
    for key in _keyring(store).list():
        click.echo(f"{key['key_id']}  {key['tenant_id']}  {key['created_at']}")


# -- reading a store -----------------------------------------------------------------------------


@main.command()
@STORE
@TENANT
def pipelines(store: str, tenant: str) -> None:
    """The pipeline runs of a tenant, oldest first."""
    for run in _open(store, tenant).list_pipelines():
        click.echo(
            f"{run['pipeline_id']:>6}  {run['status']:<10} {run['created_at']}  "
            f"{run['pipeline_name']}"
        )


@main.command()
@STORE
@TENANT
@click.argument("pipeline_id", type=click.IntRange(min=0))
@click.option("--json", "as_json", is_flag=True, help="Print one JSON document.")
def show(store: str, tenant: str, pipeline_id: int, as_json: bool) -> None:
    """A pipeline run: its record, sources, counts of nodes and edges, and its results."""
    backend = _open(store, tenant)
    run = backend.get_pipeline(pipeline_id)
    if run is None:
        raise click.ClickException(f"tenant {tenant!r} has no pipeline {pipeline_id}")
    report = {
        "pipeline": run,
        "sources": backend.get_sources(pipeline_id),
        "nodes": len(backend.get_fingerprint_node_map(pipeline_id)),
        "edges": len(backend.get_edges(pipeline_id)),
        "results": backend.get_results(pipeline_id=pipeline_id),
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
    click.echo(f"  {len(report['results'])} result rows")
    for row in report["results"][:20]:
        click.echo(
            f"    {row['row_key']} {row['output_name']} = {row['value']} "
            f"(fingerprint 0x{row['fingerprint']:08X})"
        )


@main.command()
@STORE
@TENANT
@click.argument("pipeline_id", type=click.IntRange(min=0))
@click.argument("source", type=click.Path(exists=True, dir_okay=False))
@click.option("--index-column", help="Column holding the row keys (the frame's index).")
def verify(
    store: str, tenant: str, pipeline_id: int, source: str, index_column: str | None
) -> None:
    """Hash each row of SOURCE (CSV or Parquet) again and compare it with the hash stored
    with the results of PIPELINE_ID; exits with status 1 on any mismatch. The outcome is
    kept with the run."""
    frame = _read_source(source, index_column)
    backend = _open(store, tenant)
    if backend.get_pipeline(pipeline_id) is None:
        raise click.ClickException(f"tenant {tenant!r} has no pipeline {pipeline_id}")
    report = check_source_rows(backend, pipeline_id, frame)
    # kept with the run, whose audit page shows the outcome
    backend.store_source_check(pipeline_id, os.path.basename(source), report)
    click.echo(f"{report.checked} row(s) checked against pipeline {pipeline_id}")
    for key in report.changed:
        click.echo(f"CHANGED  {key}")
    for key in report.missing:
        click.echo(f"MISSING  {key}")
    if not report.ok:
        if not report.checked:
            click.echo("no row of the source has a stored hash in this pipeline")
        sys.exit(1)
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
    namespace: str,
    output: Any,
) -> None:
    """Write stored run PIPELINE_ID as OpenLineage run events, or the lineage of one of its
    stored values (--value, as `quorvane show` lists them) as W3C PROV."""
    if (fmt == "openlineage") == (value is not None):
        raise click.UsageError("--value goes with the PROV formats, and only with them")
    try:
        from openlineage.client.serde import Serde

        from .interop import prov, stored
    except ImportError as exc:
        raise click.ClickException(
            f"export needs the interop extra (pip install 'quorvane[interop]'): {exc}"
        ) from None
    backend = _open(store, tenant)
    if backend.get_pipeline(pipeline_id) is None:
        raise click.ClickException(f"tenant {tenant!r} has no pipeline {pipeline_id}")
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


def _read_source(path: str, index_column: str | None) -> Any:
    import pandas as pd

    try:
        if path.endswith((".parquet", ".pq")):
            frame = pd.read_parquet(path)
            return frame.set_index(index_column) if index_column else frame
        return pd.read_csv(path, index_col=index_column)
    except ImportError as exc:
        raise click.ClickException(f"cannot read {path}: {exc}") from None
    except (ValueError, KeyError) as exc:
        raise click.ClickException(f"cannot read {path}: {exc}") from None


if __name__ == "__main__":
    main()
