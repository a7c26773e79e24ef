"""kestrum-inspect: object schemas of SQLite and PostgreSQL tables as JSON."""

import json
import os
import socket
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

import kestrum_models
from kestrum_models.inspect import main
from kestrum_utils.models.data_models.enums import CoreTypes


@pytest.fixture
def sqlite_file(tmp_path):
    path = tmp_path / "shop.db"
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE users (id INTEGER PRIMARY KEY, email TEXT NOT NULL, born DATE)")
        conn.execute("CREATE TABLE carts (user_id INTEGER, sku TEXT, qty REAL DEFAULT 1, PRIMARY KEY (user_id, sku))")
    conn.close()
    return path


@pytest.fixture
def postgres_tables(pg_conn):
    pg_conn.execute("CREATE TABLE users (id serial PRIMARY KEY, tags text[] NOT NULL, scores int4[], meta jsonb)")
    pg_conn.execute("CREATE TABLE events (at timestamptz NOT NULL DEFAULT now(), payload json)")
    return pg_conn.info.dsn


def run_main(capsys, *argv):
    status = main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def types_of(schema):
    return {name: prop["type"] for name, prop in schema["properties"].items()}


def test_sqlite_all_tables(capsys, sqlite_file):
    status, out, err = run_main(capsys, sqlite_file)
    assert (status, err) == (0, "")
    carts, users = json.loads(out)
    assert [carts["__table_name__"], users["__table_name__"]] == ["carts", "users"]
    assert types_of(users) == {"id": CoreTypes.INTEGER.value, "email": CoreTypes.STRING.value, "born": CoreTypes.DATE.value}
    assert (users["required"], users["__primary_key__"]) == (["email"], ["id"])
    assert carts["__primary_key__"] == ["user_id", "sku"] and carts["properties"]["qty"]["default"] == "1"
    assert "__connection__" not in users


def test_sqlite_named_tables_with_connection(capsys, sqlite_file):
    status, out, _ = run_main(capsys, sqlite_file, "users", "carts", "--connection", "shop")
    schemas = json.loads(out)
    assert status == 0
    assert [s["__table_name__"] for s in schemas] == ["users", "carts"]
    assert all(s["__connection__"] == "shop" for s in schemas)


def test_postgres_tables(capsys, postgres_tables):
    status, out, err = run_main(capsys, postgres_tables, "--connection", "main")
    assert (status, err) == (0, "")
    events, users = json.loads(out)
    assert types_of(users) == {
        "id": CoreTypes.INTEGER.value, "tags": CoreTypes.ARRAY.value,
        "scores": CoreTypes.ARRAY.value, "meta": CoreTypes.DICTIONARY.value,
    }
    assert users["required"] == ["id", "tags"] and "__primary_key__" not in users
    assert events["properties"]["at"] == {"type": CoreTypes.DATETIME.value, "title": "at", "default": "now()"}
    assert events["__connection__"] == users["__connection__"] == "main"


def closed_port_dsn():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"postgresql://nobody@127.0.0.1:{port}/nothing?connect_timeout=5"


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (lambda tmp, db: [tmp / "missing.db"], "no such file: "),
        (lambda tmp, db: [tmp], "not a file: "),
        (lambda tmp, db: [db, "users", "nope"], "no such table: 'nope'"),
        (lambda tmp, db: [Path(__file__)], "file is not a database"),
        (lambda tmp, db: [closed_port_dsn()], "cannot connect to PostgreSQL: "),
        (lambda tmp, db: ["host=127.0.0.1 port=1 connect_timeout=5"], "cannot connect to PostgreSQL: "),
        (lambda tmp, db: ["host = '127.0.0.1' dbname=x.db port=1 connect_timeout=5"], "cannot connect to PostgreSQL: "),
    ],
)
def test_errors_are_one_line(capsys, tmp_path, sqlite_file, argv, message):
    status, out, err = run_main(capsys, *argv(tmp_path, sqlite_file))
    assert (status, out) == (1, "")
    assert err.startswith("kestrum-inspect: error: ") and message in err
    assert err.count("\n") == 1


@pytest.mark.parametrize("target", ["backup=old.db", "host=db backup=old.db", "Host=db", "./host=db", "shop db"])
def test_missing_file_is_not_taken_for_a_connection_string(capsys, tmp_path, monkeypatch, target):
    monkeypatch.chdir(tmp_path)
    assert run_main(capsys, target) == (1, "", f"kestrum-inspect: error: no such file: {target}\n")


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["events", "ghost"], "no such table: 'ghost'"),
        (["--schema", "ghost"], "no such schema: 'ghost'"),
        (["events", "--schema", "ghost"], "no such schema: 'ghost'"),
    ],
)
def test_unknown_postgres_table_or_schema(capsys, postgres_tables, argv, message):
    status, out, err = run_main(capsys, postgres_tables, *argv)
    assert (status, out, err) == (1, "", f"kestrum-inspect: error: {message}\n")


def test_missing_target_is_a_usage_error(capsys):
    with pytest.raises(SystemExit) as info:
        main([])
    assert info.value.code == 2
    assert capsys.readouterr().err.count("\n") == 1


def test_inspecting_does_not_create_a_database(capsys, tmp_path):
    run_main(capsys, tmp_path / "new.db")
    assert not (tmp_path / "new.db").exists()


def module_command(*argv):
    env = dict(os.environ)
    src = str(Path(kestrum_models.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [src, env.get("PYTHONPATH")]))
    return [sys.executable, "-m", "kestrum_models.inspect", *map(str, argv)], env


def run_module(*argv):
    command, env = module_command(*argv)
    return subprocess.run(command, capture_output=True, text=True, env=env, timeout=60, check=False)


@pytest.mark.parametrize("tables", [1, 300])  # output flushed at the end / written while printing
def test_reader_going_away_ends_quietly(tmp_path, tables):
    path = tmp_path / "many.db"
    with sqlite3.connect(path) as conn:
        for number in range(tables):
            conn.execute(f"CREATE TABLE t{number} (id INTEGER PRIMARY KEY, name TEXT NOT NULL, price REAL)")
    conn.close()
    command, env = module_command(path)
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        proc.stdout.close()  # before the command has started up, so every write finds no reader
        err = proc.stderr.read()
        assert (proc.wait(timeout=60), err) == (141, "")


def test_subprocess_sqlite(sqlite_file):
    result = run_module(sqlite_file, "users", "--connection", "local")
    assert (result.returncode, result.stderr) == (0, "")
    [users] = json.loads(result.stdout)
    assert users["__table_name__"] == "users" and users["__connection__"] == "local"
    failed = run_module(sqlite_file, "ghost")
    assert failed.returncode == 1 and failed.stdout == ""
    assert failed.stderr == "kestrum-inspect: error: no such table: 'ghost'\n"


def test_subprocess_postgres(postgres_tables):
    result = run_module(postgres_tables, "users")
    assert (result.returncode, result.stderr) == (0, "")
    [users] = json.loads(result.stdout)
    assert users["properties"]["scores"]["type"] == CoreTypes.ARRAY.value
    failed = run_module(closed_port_dsn())
    assert failed.returncode == 1 and "Traceback" not in failed.stderr and failed.stderr.count("\n") == 1
