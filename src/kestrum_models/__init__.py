"""Typed model classes, query sets and loading of the kestrum framework."""
