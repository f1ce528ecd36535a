"""Logging for the kit's modules."""
