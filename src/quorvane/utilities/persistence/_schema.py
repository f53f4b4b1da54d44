"""The SQLite schema of the embedded store (and of the reference service behind it)."""

from __future__ import annotations

SCHEMA_VERSION = 1

# pipeline_id 0 stands for "no pipeline": records handed over before a run was opened are
# kept, scoped to their tenant, instead of being refused.
SCHEMA = """
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

-- edges belong to their nodes' tenant; they carry no tenant of their own
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

-- used by the reference service: only SHA-256 digests of keys are kept
CREATE TABLE IF NOT EXISTS api_keys (
    key_sha256  TEXT PRIMARY KEY,
    tenant_id   TEXT NOT NULL,
    created_at  TEXT NOT NULL
);
"""
