"""Each native module loads once per process and into one interpreter only."""

import subprocess
import sys
import textwrap

import pytest

MODULES = [
    ("kestrum_models.querysets.dunmere", "dunmere"),
    ("kestrum_models.utils.galvori", "galvori"),
    ("kestrum_models.classes.helpers.jorvale", "jorvale"),
    ("kestrum_models.utils.files", "files"),
    ("kestrum_models.utils.lumiset", "lumiset"),
]


def run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False)


@pytest.mark.parametrize(("module", "short"), MODULES)
def test_second_module_object_is_refused(module, short):
    result = run(f"""
        import importlib, sys
        first = importlib.import_module({module!r})
        assert importlib.import_module({module!r}) is first
        del sys.modules[{module!r}]
        try:
            importlib.import_module({module!r})
        except RuntimeError as exc:
            print(exc)
    """)
    assert result.stdout.strip() == f"Module '{short}' has already been imported. Re-initialisation is not supported."
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(("module", "short"), MODULES[3:])
def test_second_interpreter_is_refused(module, short):
    result = run(f"""
        import _xxsubinterpreters as interpreters
        import {module}
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import {module}")
        except interpreters.RunFailedError as exc:
            print(exc)
    """)
    assert result.stdout.strip() == (
        "<class 'ImportError'>: Interpreter change detected - "
        "this module can only be loaded into one interpreter per process."
    )
