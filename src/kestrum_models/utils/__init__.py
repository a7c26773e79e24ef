"""Utilities of the model framework."""
