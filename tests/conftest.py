# Fixtures of the throwaway PostgreSQL server (see tests/postgres.py).
from postgres import pg_conn, postgres_admin, postgres_dsn, postgres_server  # noqa: F401
