"""Stand-in for the host quantum-programming framework used by the couplize plugin."""
