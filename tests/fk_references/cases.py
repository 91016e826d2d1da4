"""The calls the tests and the benchmark make, drawn from the package's registry.

Every registry entry names its cases (labelled calls of its module on a value matrix,
defined beside its reference), its peers and its reference; this table resolves them.
``INDICATORS`` holds the first case of each public module, keyed by the module's name (the
generic tests import the module by it); ``VARIANTS`` holds the others: an indicator under
other arguments, and kernels inside the package.
"""

from dataclasses import dataclass
from typing import Callable

from fundkernels._registry import INDICATORS as REGISTRY
from fundkernels._registry import resolve

from .compare import as_parts  # noqa: F401  (imported from here too)


@dataclass(frozen=True)
class Case:
    label: str
    name: str  # the registry's entry
    args: Callable  # value matrix -> positional arguments of the call

    @property
    def entry(self):
        return REGISTRY[self.name]

    @property
    def module(self):
        """The compiled function."""
        return resolve(self.entry.module)

    @property
    def per_column(self):
        """Whether a fund's result depends on its own column alone (not on its peers')."""
        return self.entry.per_column

    @property
    def reference(self):
        """The plain-Python definition: the same arguments, the same results."""
        return resolve(self.entry.reference)

    @property
    def peer(self):
        """The vectorised NumPy peer: the same arguments, the same results."""
        return resolve(self.entry.peers["numpy"])

    @property
    def numba(self):
        """The numba peer (ImportError without numba), None for an entry without one."""
        where = self.entry.peers.get("numba")
        return None if where is None else resolve(where)


def _table():
    main, other = {}, {}
    for entry in REGISTRY.values():
        public = not entry.module.startswith("fundkernels.")
        for i, (label, args) in enumerate(resolve(entry.cases).items()):
            (main if public and i == 0 else other)[label] = Case(label, entry.name, args)
    return main, other


INDICATORS, VARIANTS = _table()
