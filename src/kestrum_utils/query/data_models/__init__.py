"""Data models that describe ordering, pagination and column selection of a query."""
