"""Access to the historical (versioned) class-schema store."""
