"""Which database serves each database alias.

Every alias maps to a database URL: ``sqlite:///relative/path.sqlite3``,
``sqlite:////absolute/path.sqlite3`` or ``postgresql://user@host:port/dbname``
(``postgres://`` is accepted too). The URL of an alias is, in this order of
precedence:

1. what :func:`configure_databases` set for it (or for every alias);
2. the environment variable ``KESTRUM_DATABASE_URL_<ALIAS>`` (for example
   ``KESTRUM_DATABASE_URL_LAKEHOUSE``);
3. the environment variable ``KESTRUM_DATABASE_URL``;
4. ``sqlite:///kestrum.sqlite3``: one SQLite file in the working directory.

With no configuration at all, both :data:`DEFAULT_DB_ALIAS` (the latest version of
every object) and :data:`LAKEHOUSE_DB_ALIAS` (every version ever saved) are served
by that one file. Both aliases may name the same database or different ones.
"""

import os
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Final, Literal

DATABASE_URL_ENV: Final = "KESTRUM_DATABASE_URL"
ALIAS_URL_ENV_PREFIX: Final = "KESTRUM_DATABASE_URL_"
DEFAULT_DATABASE_URL: Final = "sqlite:///kestrum.sqlite3"

_all_aliases: str | None = None
_by_alias: dict[str, str] = {}
_generation = 0


@dataclass(frozen=True, slots=True)
class DatabaseURL:
    """A parsed database URL: the kind of server and what to connect with."""

    kind: Literal["sqlite", "postgresql"]
    target: str
    """The SQLite file's absolute path, or the PostgreSQL connection URL."""

    @classmethod
    def parse(cls, url: str) -> "DatabaseURL":
        if not isinstance(url, str) or not url.strip():
            raise ValueError(f"a database URL must be a non-empty str, not {url!r}")
        url = url.strip()
        scheme, sep, rest = url.partition("://")
        scheme = scheme.lower()
        if sep and scheme == "sqlite":
            if not rest.startswith("/") or rest == "/":
                raise ValueError(
                    f"invalid SQLite URL {url!r}: use sqlite:///relative/path or sqlite:////absolute/path"
                )
            path = rest[1:]
            if "\0" in path:
                raise ValueError(f"invalid SQLite URL {url!r}: the path contains a NUL character")
            # Resolved once, so that a later change of the working directory keeps the same file.
            return cls("sqlite", str(Path(path).expanduser().absolute()))
        if sep and scheme in ("postgresql", "postgres"):
            return cls("postgresql", url)
        raise ValueError(
            f"unsupported database URL {url!r}: use sqlite:///path or postgresql://user@host/dbname"
        )

    def __str__(self) -> str:
        return f"sqlite:///{self.target}" if self.kind == "sqlite" else _without_password(self.target)


def _without_password(url: str) -> str:
    scheme, _, rest = url.partition("://")
    credentials, at, host = rest.rpartition("@")
    if not at or ":" not in credentials:
        return url
    return f"{scheme}://{credentials.split(':', 1)[0]}:***@{host}"


def configure_databases(url: str | None = None, /, **aliases: str) -> None:
    """Set the database of every alias (``url``) and/or of single aliases (keywords).

    ``configure_databases("postgresql://app@db/objects")`` serves every alias from one
    PostgreSQL database; ``configure_databases(lakehouse="sqlite:///history.sqlite3")``
    moves only the lakehouse. URLs are checked at once; connections open on first use.
    """
    global _all_aliases, _generation
    for value in (url, *aliases.values()):
        if value is not None:
            DatabaseURL.parse(value)
    if url is not None:
        _all_aliases = url
        _by_alias.clear()
    _by_alias.update(aliases)
    _generation += 1


def reset_databases() -> None:
    """Forget what :func:`configure_databases` set; the environment and the default apply again."""
    global _all_aliases, _generation
    _all_aliases = None
    _by_alias.clear()
    _generation += 1


def database_url(alias: str, environ: Mapping[str, str] = os.environ) -> DatabaseURL:
    """The database that serves ``alias``."""
    url = _by_alias.get(alias) or _all_aliases
    if url is None:
        url = environ.get(ALIAS_URL_ENV_PREFIX + alias.upper()) or environ.get(DATABASE_URL_ENV)
    return DatabaseURL.parse(url or DEFAULT_DATABASE_URL)


def configuration_generation() -> int:
    """A number that changes whenever the configuration is changed in this process."""
    return _generation
