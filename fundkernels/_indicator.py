"""What an entry of the indicators' table (``fundkernels._registry``) is: the indicator,
its result columns and its options, and how its options are checked; and ``resolve``, which
finds what an entry names by dotted path outside the package."""

from __future__ import annotations

import importlib
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field, replace
from typing import Any, Literal, Optional, Union

from ._errors import InputTypeError
from ._panel import Columns


Kind = Literal["float", "int", "date"]
Better = Optional[Literal["higher", "lower"]]
Fmt = Literal["pct", "ratio", "int", "date", "num"]


@dataclass(frozen=True)
class Column:
    """One result column. better: which way ranks a fund above its peers (None: neither,
    as for dates), or a mapping by the entry's ``mode`` option where that turns it round.
    words: one line for a glossary; ``{...}`` fields are filled from the options (and the
    entry's ``vocabulary``)."""

    name: str
    kind: Kind
    better: Union[Better, Mapping[str, Better]]
    words: str
    fmt: Fmt

    def for_options(self, options: Mapping[str, Any]) -> Column:
        """The column as one set of options gives it: words filled in, direction chosen."""
        better = self.better
        if isinstance(better, Mapping):
            better = better[options["mode"]]
        return replace(self, better=better, words=self.words.format(**options))


@dataclass(frozen=True)
class Option:
    """An option of an indicator: its name, its default (``REQUIRED``: none) and the check
    that turns what a caller gives into what the kernel takes (raising what is wrong)."""

    name: str
    default: Any
    check: Callable[[Any], Any]


REQUIRED = object()


@dataclass(frozen=True)
class Indicator:
    """An indicator; see fundkernels._registry's docstring. calendar: "own" when each fund
    is followed through its own dates, "panel" when a fund is compared with its peers on
    the panel's shared dates. headline: the column named after the indicator alone in the
    command's table. per_column: a fund's result depends on its own column only. front_end:
    whether the front ends have a function of the indicator's name (drawdown is reached
    through troughmend(details=True))."""

    name: str
    kernel: Callable[..., Columns]
    columns: tuple[Column, ...]
    description: str
    needs_dates: bool
    calendar: Literal["own", "panel"]
    # Where the compiled function, the reference and the cases are; by default the
    # module of the indicator's name and fk_references.<name>'s function and CASES.
    module: str = ""
    reference: str = ""
    cases: str = ""
    options: tuple[Option, ...] = ()
    per_column: bool = True
    # Whether the reference gives the kernel's bits (the summary's moments are exact
    # rationals, which its tests compare within bounds).
    exact: bool = True
    front_end: bool = True
    headline: Optional[str] = None
    peers: Mapping[str, str] = field(default_factory=dict)
    fuzz: Optional[str] = None
    # The command's runs of this indicator: (choices of the command) -> [(prefix, options)].
    command: Optional[Callable[[Mapping[str, Any]], list[tuple[str, dict[str, Any]]]]] = None
    # Words for the glossary's fields beyond the options themselves.
    vocabulary: Callable[[Mapping[str, Any]], Mapping[str, Any]] = lambda options: {}

    def __post_init__(self) -> None:
        defaults = {
            "module": f"{self.name}:{self.name}",
            "reference": f"fk_references.{self.name}:{self.name}",
            "cases": f"fk_references.{self.name}:CASES",
        }
        for key, path in defaults.items():
            if not getattr(self, key):
                object.__setattr__(self, key, path)

    def checked(self, options: Mapping[str, Any]) -> dict[str, Any]:
        """The options as the kernel takes them: every one checked, defaults filled in."""
        known = {o.name for o in self.options}
        unknown = [k for k in options if k not in known]
        if unknown:
            raise InputTypeError(f"{self.name} takes no option {unknown[0]!r}")
        out = {}
        for o in self.options:
            given = options.get(o.name, o.default)
            if given is REQUIRED:
                raise InputTypeError(f"{self.name} needs {o.name}=")
            out[o.name] = o.check(given)
        return out

    def column(self, name: str) -> Column:
        return next(c for c in self.columns if c.name == name)


def resolve(dotted: str) -> Any:
    """What a dotted path "package.module:attribute" names (imported on demand)."""
    module, _, attribute = dotted.partition(":")
    return getattr(importlib.import_module(module), attribute)
