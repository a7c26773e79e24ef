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


# Loads that fail in a subinterpreter: late in the module body (its functions and
# classes made), or on pydantic, which refuses subinterpreters.
FAILING_IN_A_SUBINTERPRETER = {
    "kestrum_models._native_testing": (
        'import sys, types; sys.modules["typing"] = types.ModuleType("typing")',
        'from kestrum_models._native_testing import Derived; assert Derived().who() == "Derived>Base"',
    ),
    "kestrum_models.utils.galvori": (
        "",
        "from kestrum_models.utils.galvori import ExternalGalvori; "
        'assert ExternalGalvori.sqlite_type_to_core_type("TEXT") == "string"',
    ),
}


@pytest.mark.parametrize("module", list(FAILING_IN_A_SUBINTERPRETER))
def test_a_failed_load_in_a_subinterpreter_leaves_the_module_free(module):
    breaking, use = FAILING_IN_A_SUBINTERPRETER[module]
    result = run(f"""
        import datetime  # (first imported by a subinterpreter, CPython 3.12 crashes on it later)
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, {f"{breaking}\nimport {module}"!r})
        except interpreters.RunFailedError:
            print("failed in the subinterpreter")
        interpreters.destroy(interp)
        {use}
        print("loaded by the main interpreter")
    """)
    assert result.stdout.split("\n")[:2] == ["failed in the subinterpreter", "loaded by the main interpreter"]
    assert result.returncode == 0, result.stderr


# What each module that caches under a dict watcher does; the output must not depend on
# whether a watcher was free at load.
WATCHING_MODULES = {
    "kestrum_models.querysets.dunmere": """
        from kestrum_glue import Data
        from kestrum_models.classes.model import Model
        from kestrum_models.querysets.dunmere import QuerySet
        from kestrum_models.querysets.executor import DEFAULT_DB_ALIAS, register_backend
        from kestrum_models.querysets.testing import MemoryBackend

        class Item(Model):
            weight: int = 0

        register_backend(DEFAULT_DB_ALIAS, MemoryBackend([Data({"weight": w}) for w in [3, 1, 2]]))
        qs = QuerySet(Item).filter(weight__gt=1).order_by("-weight").using(DEFAULT_DB_ALIAS)
        print([item.weight for item in qs.execute()], qs.count().execute())
    """,
    "kestrum_models.utils.files": """
        from kestrum_models.utils.files import convert_data_to_base64
        print([convert_data_to_base64(data) for data in [b"abc", "YWJj", b"YWJ"]])
    """,
}


@pytest.mark.parametrize("module", list(WATCHING_MODULES))
def test_a_module_loads_and_works_when_no_dict_watcher_is_free(module):
    take_every_watcher = """
        import _testcapi
        while True:
            try:
                _testcapi.add_dict_watcher(0)
            except RuntimeError:
                break
    """
    expected = run(WATCHING_MODULES[module])
    result = run(take_every_watcher + WATCHING_MODULES[module])
    assert result.returncode == 0, result.stderr
    assert result.stdout == expected.stdout and expected.stdout.startswith("[")
