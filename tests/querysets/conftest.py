"""Fixtures of the query-set tests."""

from collections.abc import Iterator

import pytest
from qs_support import Recorder, recording_doubles

from kestrum_data.connections.historical.schema_version_manager import clear_schema_versions
from kestrum_models.classes.class_manager import ClassManager
from kestrum_models.querysets import dunmere
from kestrum_utils.utils.decorators import get_mode, set_mode


@pytest.fixture(autouse=True)
def isolated_framework_state() -> Iterator[None]:
    """Undo what a test did to the framework mode and registries."""
    mode = get_mode()
    classes = {name: ClassManager.import_class(name) for name in ClassManager.names()}
    yield
    set_mode(mode)
    for name in ClassManager.names():
        ClassManager.unregister(name)
    for cls in classes.values():
        ClassManager.register(cls)
    clear_schema_versions()


@pytest.fixture
def recorder(monkeypatch: pytest.MonkeyPatch) -> Recorder:
    """A recorder whose paginator and specifier doubles replace the module's globals."""
    calls = Recorder()
    for name, double in recording_doubles(calls).items():
        monkeypatch.setattr(dunmere, name, double)
    return calls
