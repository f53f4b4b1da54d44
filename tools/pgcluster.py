"""A throwaway PostgreSQL cluster for the tests: initdb into a temporary folder, a unix
socket only (no TCP port), run as the ``postgres`` system user when the tests run as root
(PostgreSQL refuses to run as root), stopped and removed afterwards."""

from __future__ import annotations

import glob
import itertools
import os
import pwd
import shutil
import subprocess
import tempfile


def _bindir() -> str:
    found = shutil.which("pg_ctl")
    if found:
        return os.path.dirname(os.path.realpath(found))
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"))
    if not candidates:
        raise RuntimeError("PostgreSQL is not installed (Debian: apt-get install postgresql)")
    return os.path.dirname(candidates[-1])


class Cluster:
    def __init__(self) -> None:
        self.bindir = _bindir()
        self.root = tempfile.mkdtemp(prefix="quorvane-pg-")
        self.data = os.path.join(self.root, "data")
        self._as_postgres = os.geteuid() == 0
        if self._as_postgres:
            user = pwd.getpwnam("postgres")
            os.chown(self.root, user.pw_uid, user.pw_gid)
        self._names = itertools.count()
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "--no-sync")
        options = f"-k {self.root} -c listen_addresses='' -c max_connections=200"
        log = os.path.join(self.root, "log")
        self._run("pg_ctl", "-D", self.data, "-o", options, "-l", log, "-w", "start")

    def _run(self, tool: str, *args: str) -> None:
        command = [os.path.join(self.bindir, tool), *args]
        if self._as_postgres:
            command = ["runuser", "-u", "postgres", "--", *command]
        subprocess.run(command, check=True, capture_output=True, timeout=120)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@/{database}?host={self.root}"

    def new_database(self) -> str:
        import psycopg

        name = f"qv_{next(self._names)}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self) -> None:
        try:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)
