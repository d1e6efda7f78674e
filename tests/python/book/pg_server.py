"""A throw-away PostgreSQL server on a Unix socket (no TCP), for the tests and the
benchmark. As root, the server runs as the postgres user: it refuses to run as root."""

from __future__ import annotations

import contextlib
import os
import pathlib
import shutil
import subprocess
import tempfile
from collections.abc import Iterator

PG_BIN = pathlib.Path(os.environ.get("QBO_PG_BIN", "/usr/lib/postgresql/15/bin"))


def available() -> bool:
    return (PG_BIN / "initdb").exists()


@contextlib.contextmanager
def temporary_server() -> Iterator[pathlib.Path]:
    """Yields the socket directory of a fresh server; stops and removes it at the end."""
    root = pathlib.Path(tempfile.mkdtemp(prefix="qbo-pg-"))
    sudo: list[str] = []
    if os.geteuid() == 0:
        shutil.chown(root, "postgres")
        sudo = ["runuser", "-u", "postgres", "--"]
    data = root / "data"
    subprocess.run([*sudo, PG_BIN / "initdb", "-D", data, "-A", "trust", "-U", "postgres",
                    "-E", "UTF8", "--no-sync"], check=True, capture_output=True)
    options = f"-c listen_addresses='' -c unix_socket_directories={root} -c fsync=off " \
              "-c max_connections=200"
    subprocess.run([*sudo, PG_BIN / "pg_ctl", "-D", data, "-l", root / "server.log", "-o",
                    options, "-w", "start"], check=True, capture_output=True)
    try:
        yield root
    finally:
        subprocess.run([*sudo, PG_BIN / "pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"],
                       capture_output=True)
        shutil.rmtree(root, ignore_errors=True)


def new_database(socket: pathlib.Path, name: str) -> str:
    """Creates database ``name`` on the server; returns its URL."""
    import psycopg

    with psycopg.connect(f"postgresql://postgres@/postgres?host={socket}",
                         autocommit=True) as admin:
        admin.execute(f"CREATE DATABASE {name}")
    return f"postgresql://postgres@/{name}?host={socket}"
