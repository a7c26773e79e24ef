"""Query sets, their executors and errors."""
