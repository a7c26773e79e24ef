"""The quickstart runs end to end on the embedded SQLite default."""

import subprocess
import sys


def test_the_quickstart_runs(tmp_path) -> None:
    done = subprocess.run(
        [sys.executable, "-m", "kestrum_models.demo"], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "saved 20 authors and 300 books" in out
    assert "version 1: Book #1 v1" in out and "latest:    Book #1 v2" in out
    assert "legacy Book of class version 1" in out and "UnknownFieldError" in out
    assert list(tmp_path.iterdir()) == []  # the store lived in a temporary directory
