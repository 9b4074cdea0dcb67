"""The public faces of the compiled core: tick replay (ticker), accounts, quotes and reports (positions),
exchange rules (market)."""
