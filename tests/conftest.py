from collections.abc import Iterator

import pytest

# Fixtures of the throwaway PostgreSQL server (see tests/postgres.py).
from postgres import pg_conn, postgres_admin, postgres_dsn, postgres_server  # noqa: F401

from kestrum_data.connections.historical.schema_version_manager import clear_schema_versions
from kestrum_models.classes.class_manager import ClassManager
from kestrum_utils.utils.decorators import get_mode_override, set_mode


@pytest.fixture(autouse=True)
def isolated_framework_state() -> Iterator[None]:
    """Undo what a test did to the process-wide mode and registries."""
    mode = get_mode_override()
    classes = {name: ClassManager.import_class(name) for name in ClassManager.names()}
    yield
    set_mode(mode)
    for name in ClassManager.names():
        ClassManager.unregister(name)
    for cls in classes.values():
        ClassManager.register(cls)
    clear_schema_versions()
