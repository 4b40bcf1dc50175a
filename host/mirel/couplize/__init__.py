"""Swap insertion: the engine modules and the host-facing plugin live in this package."""
