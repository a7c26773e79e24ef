"""Query conditions and the data models that describe a query."""
