"""The shipped annotations and stubs give a user's code its types: ``mypy --strict`` passes on a typical app."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

APP = Path(__file__).with_name("app.py")


def environment(*first: Path) -> dict[str, str]:
    """This process's environment for a subprocess run elsewhere: it imports the package these tests import."""
    paths = [*map(str, first), *(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)]
    env = {name: value for name, value in os.environ.items() if not name.startswith("KESTRUM_DATABASE_URL")}
    return dict(env, PYTHONPATH=os.pathsep.join(paths))


def test_a_typical_app_passes_strict_type_checking(tmp_path: Path) -> None:
    # Run where no configuration file of the repository applies.
    argv = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(APP)]
    result = subprocess.run(argv, cwd=tmp_path, env=environment(), capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_app_runs_on_the_store(tmp_path: Path) -> None:
    script = "import app; app.main()"
    argv = [sys.executable, "-c", script]
    result = subprocess.run(argv, cwd=tmp_path, env=environment(APP.parent), capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "kestrum.sqlite3").exists()
