"""Database aliases."""
