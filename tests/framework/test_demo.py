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
    followed = [line.split("follower: ")[1] for line in out.splitlines() if "follower: " in line]
    assert followed == ["#302 v1 saved (serial 0)", "#303 v1 saved (serial 1)", "#304 v1 saved (serial 2)",
                        "#302 v2 deleted (withdrawn)"]
    assert "price now 99.0, as of" in out and ": 8.28\n" in out and "v3 price=8.28 note='undo the price error'" in out
    assert "what changed since version 1: {'price': (8.28, 99.0), 'pages': (290, 291)}" in out
    assert list(tmp_path.iterdir()) == []  # the store lived in a temporary directory
