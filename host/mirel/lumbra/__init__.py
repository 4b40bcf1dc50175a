"""Stand-in for the host's pattern-rewriting package."""
