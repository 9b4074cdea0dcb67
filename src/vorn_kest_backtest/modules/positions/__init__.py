"""Simulated account, quotes and reports."""
