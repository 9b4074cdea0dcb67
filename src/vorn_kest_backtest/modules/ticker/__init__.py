"""Tick replay."""
