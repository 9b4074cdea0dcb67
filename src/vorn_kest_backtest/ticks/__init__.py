"""The Ticker's files and frames: the per-day tick cache, the broker's days, the day-by-day combine."""
