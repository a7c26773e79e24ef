"""Model base classes and the registry of model classes."""
