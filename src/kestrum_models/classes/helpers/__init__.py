"""Helpers for model classes."""
