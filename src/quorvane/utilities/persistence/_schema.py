"""The schemas of the stores, as numbered migrations for SQLite and for PostgreSQL.

A store opened by this code brings its database up to ``SCHEMA_VERSION`` before its first
use, in one transaction; a database written by a newer version is refused, not guessed at.
"""

from __future__ import annotations

SCHEMA_VERSION = 7

# pipeline_id 0 stands for "no pipeline": records handed over before a run was opened are
# kept, scoped to their tenant like everything else, instead of being refused.
_SQLITE_V1 = """
CREATE TABLE IF NOT EXISTS pipelines (
    id            INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id     TEXT    NOT NULL,
    name          TEXT    NOT NULL,
    status        TEXT    NOT NULL,
    config        TEXT,
    git_commit    TEXT,
    created_at    TEXT    NOT NULL,
    completed_at  TEXT
);
CREATE INDEX IF NOT EXISTS pipelines_by_tenant ON pipelines (tenant_id, id);

CREATE TABLE IF NOT EXISTS sources (
    id            INTEGER PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   INTEGER NOT NULL,
    pair_id       INTEGER NOT NULL,
    table_name    TEXT    NOT NULL,
    column_name   TEXT    NOT NULL,
    is_protected  INTEGER NOT NULL,
    registered_at TEXT    NOT NULL,
    UNIQUE (tenant_id, pipeline_id, pair_id)
);

CREATE TABLE IF NOT EXISTS nodes (
    id            INTEGER PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   INTEGER NOT NULL,
    fingerprint   INTEGER NOT NULL,
    node_type     TEXT    NOT NULL,
    operation     TEXT    NOT NULL,
    table_name    TEXT,
    column_name   TEXT,
    pair_id       INTEGER,
    is_protected  INTEGER NOT NULL,
    entity_hash   INTEGER,
    chain_hash    INTEGER,
    metadata      TEXT,
    UNIQUE (tenant_id, pipeline_id, fingerprint)
);

CREATE TABLE IF NOT EXISTS edges (
    id             INTEGER PRIMARY KEY,
    pipeline_id    INTEGER NOT NULL,
    parent_node_id INTEGER NOT NULL,
    child_node_id  INTEGER NOT NULL,
    input_position INTEGER NOT NULL,
    UNIQUE (parent_node_id, child_node_id, input_position)
);
CREATE INDEX IF NOT EXISTS edges_by_pipeline ON edges (pipeline_id);

CREATE TABLE IF NOT EXISTS row_values (
    id             INTEGER PRIMARY KEY,
    tenant_id      TEXT    NOT NULL,
    pipeline_id    INTEGER NOT NULL,
    row_index      INTEGER NOT NULL,
    fingerprint    INTEGER NOT NULL,
    node_operation TEXT    NOT NULL,
    value          REAL,
    value_is_nan   INTEGER NOT NULL DEFAULT 0,
    text_value     TEXT,
    column_name    TEXT
);
-- a retried batch must not store its values twice; x'' keeps NULL apart from ''
CREATE UNIQUE INDEX IF NOT EXISTS row_values_unique ON row_values (
    tenant_id, pipeline_id, row_index, fingerprint, node_operation, ifnull(column_name, x'')
);

CREATE TABLE IF NOT EXISTS pipeline_results (
    id            INTEGER PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   INTEGER NOT NULL,
    row_key       TEXT    NOT NULL,
    output_name   TEXT    NOT NULL,
    fingerprint   INTEGER NOT NULL,
    value         REAL,
    value_is_nan  INTEGER NOT NULL DEFAULT 0,
    input_hash    TEXT,
    stored_at     TEXT    NOT NULL,
    UNIQUE (pipeline_id, row_key, output_name)
);
CREATE INDEX IF NOT EXISTS results_by_row_key ON pipeline_results (tenant_id, row_key);

CREATE TABLE IF NOT EXISTS dashboard_syncs (
    id                     INTEGER PRIMARY KEY,
    tenant_id              TEXT    NOT NULL,
    received_at            TEXT    NOT NULL,
    pipeline_name          TEXT,
    provenance_pipeline_id INTEGER,
    payload                TEXT    NOT NULL
);

CREATE TABLE IF NOT EXISTS api_keys (
    key_sha256  TEXT PRIMARY KEY,
    tenant_id   TEXT NOT NULL,
    created_at  TEXT NOT NULL
);
"""

# Version 2 puts the tenant into the uniqueness rules of results and edges: without it, a
# result row of one tenant replaced another tenant's row of the same (pipeline, key, name).
_SQLITE_V2 = """
CREATE TABLE pipeline_results_v2 (
    id            INTEGER PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   INTEGER NOT NULL,
    row_key       TEXT    NOT NULL,
    output_name   TEXT    NOT NULL,
    fingerprint   INTEGER NOT NULL,
    value         REAL,
    value_is_nan  INTEGER NOT NULL DEFAULT 0,
    input_hash    TEXT,
    stored_at     TEXT    NOT NULL,
    UNIQUE (tenant_id, pipeline_id, row_key, output_name)
);
INSERT INTO pipeline_results_v2 SELECT * FROM pipeline_results;
DROP TABLE pipeline_results;
ALTER TABLE pipeline_results_v2 RENAME TO pipeline_results;
CREATE INDEX results_by_row_key ON pipeline_results (tenant_id, row_key);

CREATE TABLE edges_v2 (
    id             INTEGER PRIMARY KEY,
    tenant_id      TEXT    NOT NULL,
    pipeline_id    INTEGER NOT NULL,
    parent_node_id INTEGER NOT NULL,
    child_node_id  INTEGER NOT NULL,
    input_position INTEGER NOT NULL,
    UNIQUE (tenant_id, parent_node_id, child_node_id, input_position)
);
INSERT INTO edges_v2 (id, tenant_id, pipeline_id, parent_node_id, child_node_id, input_position)
    SELECT e.id, n.tenant_id, e.pipeline_id, e.parent_node_id, e.child_node_id, e.input_position
    FROM edges e JOIN nodes n ON n.id = e.child_node_id;
DROP TABLE edges;
ALTER TABLE edges_v2 RENAME TO edges;
CREATE INDEX edges_by_pipeline ON edges (tenant_id, pipeline_id);
CREATE INDEX api_keys_by_tenant ON api_keys (tenant_id);
"""

# PostgreSQL stores start at version 2; their types hold the same values as SQLite's.
_POSTGRES_V2 = """
CREATE TABLE pipelines (
    id            BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    name          TEXT    NOT NULL,
    status        TEXT    NOT NULL,
    config        TEXT,
    git_commit    TEXT,
    created_at    TEXT    NOT NULL,
    completed_at  TEXT
);
CREATE INDEX pipelines_by_tenant ON pipelines (tenant_id, id);

CREATE TABLE sources (
    id            BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   BIGINT  NOT NULL,
    pair_id       BIGINT  NOT NULL,
    table_name    TEXT    NOT NULL,
    column_name   TEXT    NOT NULL,
    is_protected  INTEGER NOT NULL,
    registered_at TEXT    NOT NULL,
    UNIQUE (tenant_id, pipeline_id, pair_id)
);

CREATE TABLE nodes (
    id            BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   BIGINT  NOT NULL,
    fingerprint   BIGINT  NOT NULL,
    node_type     TEXT    NOT NULL,
    operation     TEXT    NOT NULL,
    table_name    TEXT,
    column_name   TEXT,
    pair_id       BIGINT,
    is_protected  INTEGER NOT NULL,
    entity_hash   BIGINT,
    chain_hash    BIGINT,
    metadata      TEXT,
    UNIQUE (tenant_id, pipeline_id, fingerprint)
);

CREATE TABLE edges (
    id             BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id      TEXT    NOT NULL,
    pipeline_id    BIGINT  NOT NULL,
    parent_node_id BIGINT  NOT NULL,
    child_node_id  BIGINT  NOT NULL,
    input_position BIGINT  NOT NULL,
    UNIQUE (tenant_id, parent_node_id, child_node_id, input_position)
);
CREATE INDEX edges_by_pipeline ON edges (tenant_id, pipeline_id);

CREATE TABLE row_values (
    id             BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id      TEXT    NOT NULL,
    pipeline_id    BIGINT  NOT NULL,
    row_index      BIGINT  NOT NULL,
    fingerprint    BIGINT  NOT NULL,
    node_operation TEXT    NOT NULL,
    value          DOUBLE PRECISION,
    value_is_nan   INTEGER NOT NULL DEFAULT 0,
    text_value     TEXT,
    column_name    TEXT,
    UNIQUE NULLS NOT DISTINCT
        (tenant_id, pipeline_id, row_index, fingerprint, node_operation, column_name)
);

CREATE TABLE pipeline_results (
    id            BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id     TEXT    NOT NULL,
    pipeline_id   BIGINT  NOT NULL,
    row_key       TEXT    NOT NULL,
    output_name   TEXT    NOT NULL,
    fingerprint   BIGINT  NOT NULL,
    value         DOUBLE PRECISION,
    value_is_nan  INTEGER NOT NULL DEFAULT 0,
    input_hash    TEXT,
    stored_at     TEXT    NOT NULL,
    UNIQUE (tenant_id, pipeline_id, row_key, output_name)
);
CREATE INDEX results_by_row_key ON pipeline_results (tenant_id, row_key);

CREATE TABLE dashboard_syncs (
    id                     BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
    tenant_id              TEXT    NOT NULL,
    received_at            TEXT    NOT NULL,
    pipeline_name          TEXT,
    provenance_pipeline_id BIGINT,
    payload                TEXT    NOT NULL
);

CREATE TABLE api_keys (
    key_sha256  TEXT PRIMARY KEY,
    tenant_id   TEXT NOT NULL,
    created_at  TEXT NOT NULL
);
CREATE INDEX api_keys_by_tenant ON api_keys (tenant_id);
"""

# Version 3 keeps the OpenLineage run events the service receives, each as sent.
_LINEAGE_EVENTS_V3 = """
CREATE TABLE lineage_events (
    id            {id_column},
    tenant_id     TEXT    NOT NULL,
    received_at   TEXT    NOT NULL,
    run_id        TEXT    NOT NULL,
    event_type    TEXT,
    event_time    TEXT    NOT NULL,
    job_namespace TEXT    NOT NULL,
    job_name      TEXT    NOT NULL,
    payload       TEXT    NOT NULL
);
CREATE INDEX lineage_events_by_run ON lineage_events (tenant_id, run_id);
"""
_SQLITE_V3 = _LINEAGE_EVENTS_V3.format(id_column="INTEGER PRIMARY KEY")
_POSTGRES_V3 = _LINEAGE_EVENTS_V3.format(
    id_column="BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"
)

# Version 4 serves the audit pages: a result's position in its output (which ties it to the
# row values recorded at that position), the way from a node to its inputs without a scan,
# and the outcome of each tamper check of a run's source rows.
_V4_AUDIT = """
CREATE TABLE source_checks (
    id           {id},
    tenant_id    TEXT    NOT NULL,
    pipeline_id  {int}  NOT NULL,
    checked_at   TEXT    NOT NULL,
    source       TEXT    NOT NULL,
    checked      {int}  NOT NULL,
    changed      {int}  NOT NULL,
    missing      {int}  NOT NULL,
    changed_keys TEXT    NOT NULL,
    missing_keys TEXT    NOT NULL
);
CREATE INDEX source_checks_by_pipeline ON source_checks (tenant_id, pipeline_id, id);
ALTER TABLE pipeline_results ADD COLUMN row_index {int};
CREATE INDEX edges_by_child ON edges (child_node_id, tenant_id);
"""
_SQLITE_V4 = _V4_AUDIT.format(id="INTEGER PRIMARY KEY", int="INTEGER")
_POSTGRES_V4 = _V4_AUDIT.format(
    id="BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", int="BIGINT "
)

# Version 5 keeps the audit pages' login sessions on the server: the cookie holds a random
# session id, never the API key, and ending a session here ends it in every service process.
# Only digests are kept, of the session id and of the key that opened it: a session lasts
# no longer than its key.
_V5_SESSIONS = """
CREATE TABLE page_sessions (
    session_sha256 TEXT PRIMARY KEY,
    tenant_id      TEXT NOT NULL,
    key_sha256     TEXT NOT NULL,
    created_at     TEXT NOT NULL,
    expires_at     TEXT NOT NULL
);
CREATE INDEX page_sessions_by_expiry ON page_sessions (expires_at);
"""

# Version 6 makes the tamper check exact and its record complete: a second hash of each
# source row that keeps floats at full precision (input_hash stays as runs stored it), and
# with each check the file's digest, the key column, how many rows the run stored, which
# hash was compared and the outcome. Checks made before it keep NULL there.
_V6_EXACT_CHECKS = """
ALTER TABLE pipeline_results ADD COLUMN exact_hash TEXT;
ALTER TABLE source_checks ADD COLUMN source_sha256 TEXT;
ALTER TABLE source_checks ADD COLUMN key_column TEXT;
ALTER TABLE source_checks ADD COLUMN expected {int};
ALTER TABLE source_checks ADD COLUMN hash_kind TEXT;
ALTER TABLE source_checks ADD COLUMN outcome TEXT
"""
_SQLITE_V6 = _V6_EXACT_CHECKS.format(int="INTEGER")
_POSTGRES_V6 = _V6_EXACT_CHECKS.format(int="BIGINT")

# Version 7 keeps each run's per-element log: one row per log (its metadata, and the first
# node id of each node block as int64s), its blocks of Arrow IPC data, and per result the
# first key of each of its blocks. A run stored before has no log and reads as such.
_V7_ELEMENT_LOGS = """
CREATE TABLE element_logs (
    id          {id},
    tenant_id   TEXT    NOT NULL,
    pipeline_id {int}  NOT NULL,
    nodes       {int}  NOT NULL,
    identities  {int}  NOT NULL,
    meta        TEXT    NOT NULL,
    node_firsts {blob}  NOT NULL,
    stored_at   TEXT    NOT NULL,
    UNIQUE (tenant_id, pipeline_id)
);
CREATE TABLE element_results (
    log_id     {int}  NOT NULL,
    name       TEXT    NOT NULL,
    part       {int}  NOT NULL,
    key_firsts TEXT    NOT NULL,
    PRIMARY KEY (log_id, name)
);
CREATE TABLE element_blocks (
    log_id {int}  NOT NULL,
    part   {int}  NOT NULL,
    block  {int}  NOT NULL,
    data   {blob}  NOT NULL,
    PRIMARY KEY (log_id, part, block)
)
"""
_SQLITE_V7 = _V7_ELEMENT_LOGS.format(id="INTEGER PRIMARY KEY", int="INTEGER", blob="BLOB")
_POSTGRES_V7 = _V7_ELEMENT_LOGS.format(
    id="BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY", int="BIGINT ", blob="BYTEA"
)

#: (version reached, script) in order, per dialect
SQLITE_MIGRATIONS: tuple[tuple[int, str], ...] = (
    (1, _SQLITE_V1),
    (2, _SQLITE_V2),
    (3, _SQLITE_V3),
    (4, _SQLITE_V4),
    (5, _V5_SESSIONS),
    (6, _SQLITE_V6),
    (7, _SQLITE_V7),
)
POSTGRES_MIGRATIONS: tuple[tuple[int, str], ...] = (
    (2, _POSTGRES_V2),
    (3, _POSTGRES_V3),
    (4, _POSTGRES_V4),
    (5, _V5_SESSIONS),
    (6, _POSTGRES_V6),
    (7, _POSTGRES_V7),
)


def statements(script: str) -> list[str]:
    """The statements of a script (no semicolons inside statements; comment lines dropped)."""
    lines = [line for line in script.splitlines() if not line.strip().startswith("--")]
    return [s.strip() for s in "\n".join(lines).split(";") if s.strip()]


def pending_migrations(
    migrations: tuple[tuple[int, str], ...], current: int
) -> list[tuple[int, str]]:
    """The migrations a database at version ``current`` still needs, oldest first."""
    if current > SCHEMA_VERSION:
        raise RuntimeError(
            f"the database has schema version {current}, newer than this quorvane "
            f"understands ({SCHEMA_VERSION}); upgrade quorvane to use it"
        )
    return [(version, script) for version, script in migrations if version > current]
