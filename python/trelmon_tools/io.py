"""Event files: one JSON event per file, one directory per sample."""
