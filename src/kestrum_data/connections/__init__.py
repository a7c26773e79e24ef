"""Connections to the stores that back model classes."""
