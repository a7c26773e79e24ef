"""Shared query, schema and model utilities of the kestrum framework."""
