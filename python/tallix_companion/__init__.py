"""Companion modules that carry tallix states across engines."""
