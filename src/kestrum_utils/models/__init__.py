"""Enums and data models shared by model classes."""
