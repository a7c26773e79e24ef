"""Object schemas: the column layout of a model class."""
