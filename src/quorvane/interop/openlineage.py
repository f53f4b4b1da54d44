"""OpenLineage run events for a tracked pipeline, through the official client.

An ``OpenLineageRun`` watches one tracker. The first table wrapped with it sends START; the
end of the run sends COMPLETE (or FAIL, with the error). Every event carries the same run id.
Inputs are the wrapped tables (schema, and a tag on each protected column); outputs are the
frames declared with ``tracker.declare_output(frame, name)``, each with a ``columnLineage``
facet computed from its words and quorvane's own ``quorvane_columnProtection`` facet::

    from quorvane.interop.openlineage import OpenLineageRun, file_transport

    with OpenLineageRun(tracker, file_transport("lineage.jsonl"), job_name="scoring"):
        frame = wrap_dataframe(applicants, tracker, "applicants", protected=["age"])
        frame["score"] = frame["debt"] / frame["income"] + frame["age"] * 0.01
        tracker.declare_output(frame, "scores")

Sending is best effort, as with any telemetry: a transport that fails is logged at WARNING
and the pipeline goes on.
"""

from __future__ import annotations

import logging
import traceback
import uuid
from collections.abc import Mapping
from datetime import UTC, datetime
from types import TracebackType
from typing import Any, Self

from openlineage.client import OpenLineageClient
from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.facet_v2 import error_message_run, job_type_job
from openlineage.client.transport import Transport
from openlineage.client.transport.console import ConsoleConfig, ConsoleTransport
from openlineage.client.transport.file import FileConfig, FileTransport
from openlineage.client.transport.http import ApiKeyTokenProvider, HttpConfig, HttpTransport
from openlineage.client.uuid import generate_new_uuid

from ._datasets import (
    PRODUCER,
    Naming,
    engine_run_facets,
    frame_schema,
    input_dataset,
    output_dataset,
)
from ._lineage import ColumnLineage, frame_lineage
from ._protection_facet import FACET_KEY, QuorvaneColumnProtectionDatasetFacet

__all__ = [
    "FACET_KEY",
    "OpenLineageRun",
    "QuorvaneColumnProtectionDatasetFacet",
    "console_transport",
    "file_transport",
    "http_transport",
]

logger = logging.getLogger(__name__)


# -- transports ------------------------------------------------------------------------------


def file_transport(path: str) -> FileTransport:
    """Events appended to one file, one JSON document a line."""
    return FileTransport(FileConfig(log_file_path=str(path), append=True))


def console_transport() -> ConsoleTransport:
    """Events written to the ``openlineage.client.transport.console`` logger at INFO."""
    return ConsoleTransport(ConsoleConfig())


def http_transport(url: str, api_key: str | None = None, timeout: float = 5.0) -> HttpTransport:
    """Events posted to an OpenLineage endpoint (at its default path) under ``url``."""
    auth = ApiKeyTokenProvider({"api_key": api_key}) if api_key else None
    config = (
        HttpConfig(url=url, timeout=timeout)
        if auth is None
        else HttpConfig(url=url, timeout=timeout, auth=auth)
    )
    return HttpTransport(config)


# -- the run ---------------------------------------------------------------------------------


def _now() -> str:
    return datetime.now(UTC).isoformat()


def _checked_run_id(run_id: str | None) -> str:
    if run_id is None:
        return str(generate_new_uuid())
    if type(run_id) is not str:
        raise TypeError(f"run_id must be str, not {type(run_id).__name__}")
    try:
        return str(uuid.UUID(run_id))
    except ValueError:
        raise ValueError(f"run_id must be a UUID, not {run_id!r}") from None


class OpenLineageRun:
    """One run of a tracked pipeline, reported as OpenLineage run events.

    Args:
        tracker: The pipeline's ``ProvenanceTracker`` (or ``DAGTracker``).
        transport: Where events go: an OpenLineage ``Transport`` (``file_transport``,
            ``console_transport``, ``http_transport`` or any other) or a configured
            ``OpenLineageClient``.
        job_name: The job's name, unique in ``job_namespace``.
        job_namespace: The job's namespace.
        namespace: The namespace of the datasets (wrapped tables and declared outputs).
        dataset_names: Dataset name for a table or output name; names not in it are kept.
        run_id: A UUID to report the run under; a new time-ordered one by default.
    """

    def __init__(
        self,
        tracker: Any,
        transport: Transport | OpenLineageClient,
        job_name: str,
        job_namespace: str = "quorvane",
        namespace: str = "quorvane",
        dataset_names: Mapping[str, str] | None = None,
        run_id: str | None = None,
    ) -> None:
        for name, value in (
            ("job_name", job_name),
            ("job_namespace", job_namespace),
            ("namespace", namespace),
        ):
            if type(value) is not str or not value:
                raise ValueError(f"{name} must be a non-empty str, not {value!r}")
        if not hasattr(tracker, "add_observer"):
            raise TypeError(f"tracker must be a ProvenanceTracker, not {type(tracker).__name__}")
        if isinstance(transport, OpenLineageClient):
            self.client = transport
        elif isinstance(transport, Transport):
            self.client = OpenLineageClient(transport=transport)
        else:
            raise TypeError(
                "transport must be an OpenLineage Transport or OpenLineageClient, "
                f"not {type(transport).__name__}"
            )
        self.tracker = tracker
        self.job = Job(
            namespace=job_namespace,
            name=job_name,
            facets={
                "jobType": job_type_job.JobTypeJobFacet(
                    processingType="BATCH",
                    integration="QUORVANE",
                    jobType="JOB",
                    producer=PRODUCER,
                )
            },
        )
        self.naming = Naming(namespace, dict(dataset_names or {}))
        self.run_id = _checked_run_id(run_id)
        self.state: RunState | None = None
        self.inputs: dict[str, InputDataset] = {}
        self.outputs: dict[str, OutputDataset] = {}
        self.lineage: dict[str, list[ColumnLineage]] = {}
        tracker.add_observer(self)

    # -- observer calls from the tracker -------------------------------------------------------

    # The run stops observing the tracker when it ends: later tables and outputs belong to
    # no reported run.

    def table_wrapped(self, table: str, frame: Any) -> None:
        self.inputs[table] = self._input_dataset(table, frame)
        if self.state is None:
            self._emit(RunState.START)

    def output_declared(self, name: str, frame: Any) -> None:
        lineage = frame_lineage(frame)
        self.lineage[name] = lineage
        self.outputs[name] = output_dataset(self.naming, name, frame_schema(frame), lineage)

    # -- the end of the run ----------------------------------------------------------------------

    def complete(self) -> None:
        """Send COMPLETE with every input and declared output."""
        self._finish(RunState.COMPLETE)

    def fail(self, error: BaseException | None = None) -> None:
        """Send FAIL, with the error's message and stack trace when one is given."""
        facets: dict[str, Any] = {}
        if error is not None:
            facets["errorMessage"] = error_message_run.ErrorMessageRunFacet(
                message=f"{type(error).__name__}: {error}",
                programmingLanguage="python",
                stackTrace="".join(traceback.format_exception(error)),
                producer=PRODUCER,
            )
        self._finish(RunState.FAIL, facets)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self.state in (RunState.COMPLETE, RunState.FAIL):
            return
        if exc is None:
            self.complete()
        else:
            self.fail(exc)

    def _finish(self, state: RunState, run_facets: dict[str, Any] | None = None) -> None:
        if self.state in (RunState.COMPLETE, RunState.FAIL):
            raise RuntimeError(f"the run {self.run_id} has already ended ({self.state.value})")
        if self.state is None:
            self._emit(RunState.START)  # a run that wrapped nothing still starts before it ends
        self._emit(state, run_facets)
        self.tracker.remove_observer(self)

    # -- events and datasets --------------------------------------------------------------------

    def event(self, state: RunState, run_facets: dict[str, Any] | None = None) -> RunEvent:
        """The event of ``state`` for the run as it stands."""
        ending = state is not RunState.START
        return RunEvent(
            eventType=state,
            eventTime=_now(),
            run=Run(runId=self.run_id, facets=engine_run_facets() | (run_facets or {})),
            job=self.job,
            inputs=list(self.inputs.values()),
            outputs=list(self.outputs.values()) if ending else [],
            producer=PRODUCER,
        )

    def _emit(self, state: RunState, run_facets: dict[str, Any] | None = None) -> None:
        self.state = state
        try:
            self.client.emit(self.event(state, run_facets))
        except Exception:
            logger.warning(
                "OpenLineage %s event of run %s not sent", state.value, self.run_id, exc_info=True
            )

    def _input_dataset(self, table: str, frame: Any) -> InputDataset:
        protected = [str(c) for c in frame.columns if self.tracker.is_protected(table, str(c))]
        return input_dataset(self.naming, table, frame_schema(frame), protected)
