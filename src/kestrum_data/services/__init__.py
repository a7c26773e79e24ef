"""Storage services and the names they share."""
