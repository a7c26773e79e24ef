"""Fixtures of the query-set tests."""

import pytest
from qs_support import Recorder, recording_doubles

from kestrum_models.querysets import dunmere


@pytest.fixture
def recorder(monkeypatch: pytest.MonkeyPatch) -> Recorder:
    """A recorder whose paginator and specifier doubles replace the module's globals."""
    calls = Recorder()
    for name, double in recording_doubles(calls).items():
        monkeypatch.setattr(dunmere, name, double)
    return calls
