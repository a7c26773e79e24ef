"""Loading kestrum_models.utils.galvori: its imports, in order, and its public names."""

import subprocess
import sys
import textwrap

import pytest

from kestrum_models.utils import galvori

IMPORTS = [
    ("collections.abc", "Callable"),
    ("typing", "Any"),
    ("kestrum_utils.models.data_models.enums", "CoreTypes"),
    ("kestrum_utils.schemas.schema", "ObjectSchema"),
    ("kestrum_utils.utils.text", "classify"),
]


def test_public_names_are_the_class_and_the_imports():
    public = {name for name in vars(galvori) if not name.startswith("_")}
    assert public == {"ExternalGalvori", *(name for _, name in IMPORTS)}
    for module, name in IMPORTS:
        assert getattr(galvori, name) is getattr(sys.modules[module], name)
    assert galvori.ExternalGalvori.__module__ == "kestrum_models.utils.galvori"
    assert all(word in galvori.__doc__ for word in ("SQLite", "PostgreSQL", "ObjectSchema"))


@pytest.mark.parametrize("position", range(2, len(IMPORTS)))
def test_a_missing_name_aborts_loading_after_the_earlier_imports(position):
    """Each import replaced in turn by a module without the name: loading fails there."""
    module, name = IMPORTS[position]
    code = f"""
        import sys, types
        for later, _ in {IMPORTS[position + 1:]!r}:
            sys.modules.pop(later, None)
        sys.modules[{module!r}] = types.ModuleType({module!r})
        try:
            import kestrum_models.utils.galvori
        except ImportError as exc:
            print(exc)
        print(sorted(m for m, _ in {IMPORTS[position + 1:]!r} if m in sys.modules))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=False)
    lines = result.stdout.splitlines()
    assert lines[0] == f"cannot import name {name}", result.stderr
    assert lines[1] == "[]"  # nothing after the failing import was imported
