"""Data models describing references between stored objects and column types."""
