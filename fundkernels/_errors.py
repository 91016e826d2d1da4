"""Errors that the front ends and the command raise on purpose, told to the user as such."""

from __future__ import annotations


class CommandError(Exception):
    """A problem with the arguments or the input, told to the user in one line."""
