"""What the front ends and the command refuse on purpose, and what they only warn about.

A check that finds the input or an argument unusable raises ``InputError`` (a ValueError)
or ``InputTypeError`` (a TypeError), with a message that says what is wrong, where and what
to do. The command tells these to the user in one line; any other exception is a fault of
fundkernels and keeps its traceback.
"""

from __future__ import annotations


class InputError(ValueError):
    """An input or an argument refused on purpose; the message names it and says what to do.

    rows: the rows of the table the message names by number (from 0), so that the command
    can tell them as the lines of its files."""

    def __init__(self, message: str, rows: tuple[int, ...] = ()) -> None:
        super().__init__(message)
        self.rows = rows


class InputTypeError(TypeError):
    """An argument of the wrong kind, refused on purpose."""


class CommandError(InputError):
    """A problem with the command's arguments or input, told to the user in one line."""


class PriceLikeWarning(UserWarning):
    """Values taken as returns look like prices or NAVs: pass navs=True if they are."""


# The exceptions that mean "the input or the arguments", never "a fault of ours".
REFUSED = (InputError, InputTypeError)
