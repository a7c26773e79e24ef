"""Throwaway PostgreSQL server for the test session.

``postgres_dsn`` (session scope) initdb's a fresh cluster in a temporary
directory, starts it on 127.0.0.1 only, on a free port, with durability
switched off for speed, creates the ``kestrum_test`` database and yields its
libpq connection string. The server is stopped and the directory removed at
the end of the session, whatever happened in between.

``postgres_server`` (session scope) is the running server itself, for tests
that need more than one database.

``pg_conn`` (function scope) gives each test a psycopg connection in
autocommit mode to a database of its own, dropped afterwards. Code under test
that needs its own connections can use ``pg_conn.info.dsn``.

PostgreSQL refuses to run as root: under uid 0 the server programs run as the
``postgres`` system user (created by Debian's ``postgresql`` package).

When the server programs are missing the fixtures skip, except when ``CI`` is
set or ``KESTRUM_REQUIRE_POSTGRES=1``: then they fail, so the PostgreSQL tests
can never be skipped silently in CI.
"""

from __future__ import annotations

import itertools
import os
import re
import shlex
import shutil
import socket
import subprocess
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    import psycopg

PG_LIB_ROOT = Path("/usr/lib/postgresql")
PG_SYSTEM_USER = "postgres"
PG_SUPERUSER = "postgres"
TEST_DATABASE = "kestrum_test"
START_TIMEOUT_S = 60

MISSING_MESSAGE = (
    f"PostgreSQL server programs not found under {PG_LIB_ROOT}/*/bin; "
    "run scripts/ensure-postgres.sh (needs root or sudo) to install them"
)

# Appended to the fresh cluster's postgresql.conf. The port is given on the
# command line so that a lost race for it can be retried with another one.
SERVER_SETTINGS = {
    "listen_addresses": "'127.0.0.1'",
    "fsync": "off",
    "synchronous_commit": "off",
    "full_page_writes": "off",
    "max_connections": "50",
}


class PostgresError(RuntimeError):
    """The throwaway server could not be set up."""


def postgres_required(environ: Mapping[str, str] = os.environ) -> bool:
    """True when missing PostgreSQL must fail the tests instead of skipping them."""
    ci = environ.get("CI", "").strip().lower()
    return ci not in ("", "0", "false", "no") or environ.get("KESTRUM_REQUIRE_POSTGRES") == "1"


def find_bindir() -> Path | None:
    """The bin directory of the newest PostgreSQL major version installed."""
    found = []
    for bindir in PG_LIB_ROOT.glob("*/bin"):
        version = bindir.parent.name
        if not re.fullmatch(r"\d+(?:\.\d+)?", version):
            continue
        if all((bindir / tool).is_file() for tool in ("initdb", "pg_ctl", "postgres")):
            found.append((tuple(int(part) for part in version.split(".")), bindir))
    return max(found)[1] if found else None


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class PostgresServer:
    """One throwaway cluster living in its own temporary directory."""

    def __init__(self, bindir: Path) -> None:
        self.bindir = bindir
        self.run_as: str | None = PG_SYSTEM_USER if os.geteuid() == 0 else None
        self.base = Path(tempfile.mkdtemp(prefix="kestrum-pg-"))
        self.datadir = self.base / "data"
        self.logfile = self.base / "server.log"
        self.port = 0
        self.running = False

    # -- running the server programs -------------------------------------

    def _command(self, argv: Sequence[str]) -> list[str]:
        if self.run_as is None:
            return list(argv)
        if shutil.which("runuser"):
            return ["runuser", "-u", self.run_as, "--", *argv]
        return ["su", self.run_as, "-s", "/bin/sh", "-c", shlex.join(argv)]

    def _run(self, tool: str, *args: str, timeout: float = START_TIMEOUT_S + 30) -> None:
        argv = self._command([str(self.bindir / tool), *args])
        # The server programs get a clean environment: no preloaded sanitizer runtime
        # (sanitizer test runs preload one into the interpreter).
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "PYTHONMALLOC")}
        proc = subprocess.run(
            argv,
            cwd=self.base,
            env=env,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if proc.returncode != 0:
            raise PostgresError(
                f"{shlex.join(argv)} failed with exit code {proc.returncode}\n"
                f"{proc.stdout}{proc.stderr}{self._log_tail()}"
            )

    def _log_tail(self, lines: int = 30) -> str:
        try:
            text = self.logfile.read_text(errors="replace")
        except OSError:
            return ""
        return "--- server log (tail) ---\n" + "\n".join(text.splitlines()[-lines:]) + "\n"

    # -- life cycle --------------------------------------------------------

    def _hand_over_to_system_user(self) -> None:
        import pwd

        try:
            user = pwd.getpwnam(PG_SYSTEM_USER)
        except KeyError:
            raise PostgresError(
                f"running as root, but there is no {PG_SYSTEM_USER!r} system user to run "
                "PostgreSQL as (PostgreSQL refuses to run as root); "
                "run scripts/ensure-postgres.sh or run the tests as a normal user"
            ) from None
        os.chown(self.base, user.pw_uid, user.pw_gid)
        probe = subprocess.run(self._command(["test", "-w", str(self.base)]), cwd="/")
        if probe.returncode != 0:
            raise PostgresError(
                f"the {PG_SYSTEM_USER!r} user cannot write to {self.base}; "
                "point TMPDIR at a directory it can reach (e.g. TMPDIR=/tmp)"
            )

    def start(self) -> None:
        if self.run_as is not None:
            self._hand_over_to_system_user()
        self._run(
            "initdb",
            "--pgdata", str(self.datadir),
            "--auth=trust",
            "--username", PG_SUPERUSER,
            "--encoding=UTF8",
            "--locale=C",
            "--no-sync",
        )
        settings = dict(SERVER_SETTINGS, unix_socket_directories=f"'{self.base}'")
        with open(self.datadir / "postgresql.conf", "a", encoding="utf-8") as conf:
            conf.write("\n# throwaway test server\n")
            conf.writelines(f"{key} = {value}\n" for key, value in settings.items())

        # The free port may be taken between our probe and the server's bind:
        # retry a few times with a new one.
        for attempt in itertools.count(1):
            self.port = free_port()
            try:
                self._run(
                    "pg_ctl", "start",
                    "--pgdata", str(self.datadir),
                    "--log", str(self.logfile),
                    "--wait", f"--timeout={START_TIMEOUT_S}",
                    "-o", f"-p {self.port}",
                )
            except PostgresError:
                if attempt < 3 and "already in use" in self._log_tail():
                    continue
                raise
            break
        self.running = True

    def stop(self) -> None:
        try:
            if self.running:
                try:
                    self._run("pg_ctl", "stop", "--pgdata", str(self.datadir), "--mode=fast", "--wait")
                except (PostgresError, subprocess.TimeoutExpired):
                    self._run("pg_ctl", "stop", "--pgdata", str(self.datadir), "--mode=immediate", "--wait")
                self.running = False
        finally:
            shutil.rmtree(self.base, ignore_errors=True)

    def dsn(self, dbname: str) -> str:
        return f"postgresql://{PG_SUPERUSER}@127.0.0.1:{self.port}/{dbname}"


# -- fixtures ----------------------------------------------------------------


@pytest.fixture(scope="session")
def postgres_server() -> Iterator[PostgresServer]:
    """The running throwaway server (skips or fails when PostgreSQL is missing)."""
    bindir = find_bindir()
    if bindir is None:
        if postgres_required():
            pytest.fail(MISSING_MESSAGE, pytrace=False)
        pytest.skip(MISSING_MESSAGE)
    server = PostgresServer(bindir)
    try:
        server.start()
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def postgres_admin(postgres_server: PostgresServer) -> Iterator[psycopg.Connection]:
    """Connection to the maintenance database, for creating and dropping databases."""
    import psycopg

    with psycopg.connect(postgres_server.dsn("postgres"), autocommit=True) as conn:
        yield conn


@pytest.fixture(scope="session")
def postgres_dsn(postgres_server: PostgresServer, postgres_admin: psycopg.Connection) -> str:
    """libpq connection string of the ``kestrum_test`` database on the throwaway server."""
    postgres_admin.execute(f'CREATE DATABASE "{TEST_DATABASE}"')
    return postgres_server.dsn(TEST_DATABASE)


_db_counter = itertools.count(1)


@pytest.fixture
def pg_conn(
    postgres_server: PostgresServer, postgres_admin: psycopg.Connection
) -> Iterator[psycopg.Connection]:
    """psycopg connection (autocommit) to a fresh database of this test's own."""
    import psycopg
    from psycopg import sql

    name = f"kestrum_t{next(_db_counter)}"
    ident = sql.Identifier(name)
    # Cloned from the pristine template0, so nothing one test leaves behind
    # (in kestrum_test or anywhere else) can reach another test.
    postgres_admin.execute(sql.SQL("CREATE DATABASE {} TEMPLATE template0").format(ident))
    try:
        with psycopg.connect(postgres_server.dsn(name), autocommit=True) as conn:
            yield conn
    finally:
        postgres_admin.execute(sql.SQL("DROP DATABASE {} WITH (FORCE)").format(ident))
