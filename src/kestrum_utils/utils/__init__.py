"""Small helpers: execution-mode decorators and text utilities."""
