"""Extension modules: tick replay (ticker) and accounts, quotes, reports (positions)."""
