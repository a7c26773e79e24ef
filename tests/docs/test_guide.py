"""Every Python example of the user guide (docs/*.md) runs, so the guide cannot drift from the code.

The ``python`` code blocks of one page run in order in one namespace, as a reader
would type them into one session, in a temporary directory where the store's
default SQLite database is created. A block whose first line is ``# not run`` is
shown but not run (for example one that needs a PostgreSQL server).
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterator
from pathlib import Path

import pytest

from kestrum_data.config import reset_databases
from kestrum_data.store import close_databases

DOCS = Path(__file__).resolve().parents[2] / "docs"
BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def pages() -> list[Path]:
    return sorted(DOCS.glob("*.md"))


def blocks(page: Path) -> list[tuple[int, str]]:
    text = page.read_text(encoding="utf-8")
    found = []
    for match in BLOCK.finditer(text):
        code = match.group(1)
        if not code.lstrip().startswith("# not run"):
            found.append((text.count("\n", 0, match.start(1)) + 1, code))
    return found


@pytest.fixture
def fresh_store(tmp_path: Path) -> Iterator[Path]:
    cwd = os.getcwd()
    os.chdir(tmp_path)
    reset_databases()
    try:
        yield tmp_path
    finally:
        close_databases()
        reset_databases()
        os.chdir(cwd)


def test_the_guide_has_runnable_examples() -> None:
    assert pages(), f"no guide pages in {DOCS}"
    assert all(blocks(page) for page in pages() if page.name != "index.md")


@pytest.mark.parametrize("page", pages(), ids=lambda page: page.stem)
def test_guide_examples_run(page: Path, fresh_store: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    for name in [name for name in os.environ if name.startswith("KESTRUM_DATABASE_URL")]:
        monkeypatch.delenv(name)
    namespace: dict[str, object] = {"__name__": f"guide_{page.stem.replace('-', '_')}"}
    for line, code in blocks(page):
        # Line numbers of the page, so a failure points into the guide itself.
        compiled = compile("\n" * (line - 1) + code, str(page), "exec")
        exec(compiled, namespace)  # noqa: S102 - the guide's own examples
