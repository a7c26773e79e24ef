"""A short tour of kestrum_models on an embedded SQLite database.

Run with ``python -m kestrum_models.demo`` (``scripts/demo.sh`` sets everything up).
"""

from __future__ import annotations

import base64
import sqlite3
import tempfile
from pathlib import Path

from kestrum_models.utils.files import convert_data_to_base64
from kestrum_models.utils.lumiset import Lumiset


def section(title: str) -> None:
    print(f"\n== {title}")


def store_documents(db: sqlite3.Connection) -> None:
    section("File data normalised to base64 and stored in SQLite")
    db.execute(
        "CREATE TABLE documents (id INTEGER PRIMARY KEY, name TEXT NOT NULL, "
        "version TEXT NOT NULL, content BLOB NOT NULL)"
    )
    inputs = {
        "notes.txt": "Plain text becomes base64.",
        "already.b64": base64.b64encode(b"already encoded").decode(),
        "image.bin": bytes(range(12)),
    }
    for name, data in inputs.items():
        encoded = convert_data_to_base64(data)
        db.execute(
            "INSERT INTO documents (name, version, content) VALUES (?, ?, ?)",
            (name, Lumiset("1.0"), encoded),
        )
        print(f"{name:12} {data!r:40.40} -> {encoded.decode()}")
    for name, version, content in db.execute("SELECT name, version, content FROM documents ORDER BY id"):
        print(f"read back {name:12} v{Lumiset(version)}: {base64.b64decode(content)!r}")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "demo.sqlite3"
        print(f"SQLite database: {path}")
        with sqlite3.connect(path) as db:
            store_documents(db)
        db.close()


if __name__ == "__main__":
    main()
