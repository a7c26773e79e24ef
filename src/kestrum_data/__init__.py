"""Storage-side constants and services of the kestrum framework."""
