"""qel: a persistent, size-bounded blob cache on local disk."""
