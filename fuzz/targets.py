"""Fuzz targets: the fuzzer's bytes become one bounded but hostile call of a module.

Every target reads its choices from the bytes (shape, element type, memory layout,
values, dates, codes, text), makes the call and judges it:

- inside the input contract (a two-dimensional matrix and one-dimensional vectors long
  enough, after NumPy's forced conversion) the result equals the plain-Python definition
  bit for bit, or, where the definition refuses the arguments (period codes), the call
  raises the same exception type;
- outside it the call raises TypeError or ValueError;
- never SystemError or any other type, and no argument's memory changes.

A failed judgement raises AssertionError, which the fuzzer reports as a finding; a crash,
a hang or a sanitizer report ends the process. The narrow targets draw shapes from empty
to a few dozen rows and columns; the wide ones draw the shapes at which the selections
and the blocked kernels take their other paths (hundreds of funds in one type group,
hundreds of horizons, columns across several blocks).

The targets need nothing but NumPy: the same function runs under the fuzzer and in the
test suite, which replays the committed seeds and reproducers.
"""

import math
import warnings
from typing import Callable, NamedTuple

import numpy as np
from numpy.lib.stride_tricks import as_strided

from fk_references.compare import as_parts, same_result
from fundkernels._registry import INDICATORS, resolve

nan, inf = math.nan, math.inf
I32_MIN, I32_MAX = -(2**31), 2**31 - 1
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
NS_DAY = 86_400 * 10**9

# Values that upset kernels: gaps, signed zeros, total and beyond-total loss, overflow,
# subnormals, 1 + v rounding to 1, band edges, and few enough of them to make ties.
POOL = [
    nan,
    0.0,
    -0.0,
    -1.0,
    -1.5,
    -2.0,
    inf,
    -inf,
    1e308,
    -1e308,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e-300,
    5e-17,
    -5e-17,
    0.01,
    -0.01,
    0.05,
    -0.05,
    0.1,
    -0.1,
    0.5,
    1.0,
    0.25,
    3.0,
    0.1 + 1e-17,
    -0.05000000000000001,
]

DATE_POOL = [
    I64_MIN,
    I64_MIN + 1,
    I64_MAX,
    I64_MAX - 1,
    0,
    -1,
    1,
    -999_999_999,
    -1_000_000_000,
    NS_DAY - 1,
    951_782_400 * 10**9,
    1_609_459_200 * 10**9,
    1_580_428_800 * 10**9,
    -2_208_988_800 * 10**9,
    9_214_646_400 * 10**9,
]

CODE_POOL = [0, 1, 2, -1, 7, I32_MIN, I32_MAX, I32_MIN + 1, I32_MAX - 1]

PERIOD_POOL = [
    "1M",
    "3M",
    "0M",
    "1Y",
    "6M",
    "12M",
    "5Y",
    "13M",
    "007M",
    "1Y6M",
    "x5Yz",
    "12 3M",
    "M3M",
    "2147483647M",
    "2147460000M",
    "178956970Y",
    "178956971Y",
    "2147483648M",
    "99999999999M",
    "abc",
    "",
    "3m",
    "３M",
    "0" * 300 + "3M",
    "1" * 300,
    "1" * 300 + "M",
    "1000000M",
    "1200M",
]

MODE_POOL = ["positive", "Positive", "positive ", "", "loss", "POSITIVE", "positiv"]

IMPOSSIBLE = (2**21, 2**21)  # 2^42 repeated elements: no machine holds them densely


class Draw:
    """Choices read from the fuzzer's bytes; past their end every choice is 0, so the
    first option of every choice is the ordinary one."""

    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def below(self, n):
        """An integer in 0 .. n - 1."""
        if n <= 1:
            return 0
        v = 0
        for _ in range(1 if n <= 256 else 2 if n <= 65536 else 8):
            v = v * 256 + self.byte()
        return v % n

    def between(self, lo, hi):
        return lo + self.below(hi - lo + 1)

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def one_in(self, k):
        """True once in k; false past the end, where rare choices should not pile up."""
        return self.below(k) == k - 1

    def raw(self, n):
        b = self.data[self.pos : self.pos + n]
        self.pos += len(b)
        return b.ljust(n, b"\0")

    def text(self, limit):
        """Any text, lone surrogates included: code points from the bytes."""
        n = self.below(limit + 1)
        return "".join(
            chr(
                self.pick(
                    [self.byte(), 0x30 + self.below(10), ord("M"), ord("Y"), self.below(0x110000)]
                )
            )
            for _ in range(n)
        )


# ---- values ----------------------------------------------------------------------------


def values(d, n):
    """n float64 values: from the pool (ties), Gaussian returns with pool values mixed in,
    raw bit patterns (any NaN payload), or small multiples of 1/64 (exact, many ties)."""
    kind = d.below(4)
    if kind == 0:
        return np.array([d.pick(POOL) for _ in range(n)], dtype=np.float64)
    if kind == 1:
        v = np.random.default_rng(d.below(2**32)).normal(0.0, d.pick([0.01, 0.05, 0.5]), n)
        for _ in range(d.below(16) if n else 0):
            v[d.below(n)] = d.pick(POOL)
        return v
    if kind == 2:
        raw = np.frombuffer(d.raw(8 * min(n, 64)), dtype=np.float64)
        return np.resize(raw, n) if n else np.zeros(0)
    return np.array([(d.byte() - 128) / 64.0 for _ in range(n)], dtype=np.float64)


def dates_values(d, n):
    """n int64 dates: ascending steps (with repeats), unsorted, or anything at all."""
    kind = d.below(4)
    start = d.pick(DATE_POOL[4:] + [d.below(2**63) - 2**62])
    if kind <= 1:
        step = d.pick([0, 1, 10**9, NS_DAY, 7 * NS_DAY, 31 * NS_DAY, 365 * NS_DAY, NS_DAY - 1])
        out = [start]
        for _ in range(n - 1):
            out.append(min(out[-1] + step * d.below(3), I64_MAX))
        return np.array(out[:n], dtype=np.int64)
    if kind == 2:
        v = np.random.default_rng(d.below(2**32)).integers(-50, 50, n) * NS_DAY + start
        return v.astype(np.int64)
    return np.array([d.pick(DATE_POOL) for _ in range(n)], dtype=np.int64)


# ---- layouts -----------------------------------------------------------------------------
# Each layout function takes a C-order array and returns (object passed, buffers it lives
# in): the buffers are compared byte for byte after the call. What the module must read is
# whatever NumPy's own conversion of the passed object gives, so layouts that repeat or
# reinterpret memory need not keep the values they were given.


def as_dtype(d, a, integer):
    """The array in another element type the forced conversion accepts."""
    kinds = (
        ["same"] * 6 + ["int32", "float64", "uint64", "object", "list", "swapped"]
        if integer
        else ["same"] * 8
        + [
            "float32",
            "int64",
            "int8",
            "bool",
            "object",
            "complex",
            "swapped",
            "list",
            "none-object",
        ]
    )
    kind = d.pick(kinds)
    with np.errstate(all="ignore"):
        if kind == "same":
            return a
        if kind in ("float32", "int64", "int8", "int32", "float64", "uint64", "bool"):
            return a.astype(kind)
        if kind == "complex":
            return a + 1j * d.pick([0.0, 1.0, nan])
        if kind == "swapped":
            return a.astype(a.dtype.newbyteorder(">"))
        if kind == "object":
            return a.astype(object)
        if kind == "none-object":  # None is a gap once converted
            o = a.astype(object)
            if o.size:
                o.flat[d.below(o.size)] = None
            return o
    return a.tolist()


def layout(d, a):
    if not isinstance(a, np.ndarray) or a.ndim == 0:
        return a, []
    kind = d.below(9)
    if kind <= 1 or a.size == 0:
        return a, [a]
    if kind == 2:
        f = np.asfortranarray(a)
        return f, [f]
    if kind == 3:  # every other element from a buffer with gaps between them
        big = np.zeros(tuple(2 * n + 1 for n in a.shape), a.dtype)
        view = big[tuple(slice(1, None, 2) for _ in a.shape)]
        view[...] = a
        return view, [big]
    if kind == 4:  # negative strides
        b = np.ascontiguousarray(a[tuple(slice(None, None, -1) for _ in a.shape)])
        return b[tuple(slice(None, None, -1) for _ in a.shape)], [b]
    if kind == 5:  # one row or element repeated by a zero stride
        b = np.ascontiguousarray(a[(0,) * (a.ndim - 1)] if a.ndim > 1 else a[:1])
        strides = (0,) * (a.ndim - 1) + (b.strides[-1] if a.ndim > 1 else 0,)
        return as_strided(b, shape=a.shape, strides=strides, writeable=False), [b]
    if kind == 6 and a.dtype.itemsize > 1 and a.dtype != object:  # at an odd address
        raw = np.zeros(a.nbytes + 1, np.uint8)
        view = raw[1:].view(a.dtype).reshape(a.shape)
        view[...] = a
        return view, [raw]
    if kind == 7 and a.ndim == 2 and a.dtype != object:  # rows overlapping in memory
        flat = np.ascontiguousarray(a).reshape(-1)
        cols = a.shape[1]
        n = max(a.shape[0] + cols - 1, 1)
        b = np.resize(flat, n)
        return as_strided(
            b, shape=a.shape, strides=(b.strides[0], b.strides[0]), writeable=False
        ), [b]
    b = np.ascontiguousarray(a).copy()
    b.setflags(write=False)
    return b, [b]


def matrix(d, rows, cols):
    """The value matrix as passed, with the buffers it lives in, or an ill-shaped one."""
    shape_kind = d.below(64)
    if shape_kind == 63:
        return as_strided(np.zeros(1), shape=IMPOSSIBLE, strides=(0, 0), writeable=False), []
    if shape_kind == 62:
        a = values(d, rows)  # one-dimensional
    elif shape_kind == 61:
        a = values(d, rows * cols * 2).reshape(rows, cols, 2)
    elif shape_kind == 60:
        a = np.float64(d.pick(POOL))
        return (a if d.one_in(2) else float(a)), []
    else:
        a = values(d, rows * cols).reshape(rows, cols)
    return layout(d, as_dtype(d, a, integer=False))


def vector(d, a, integer=True):
    """A one-dimensional argument as passed: any layout or element type, sometimes too short,
    too long, or not one-dimensional."""
    kind = d.below(64)
    if kind == 63 and a.size:
        a = a[: d.below(a.size)]  # too short
    elif kind == 62:
        extra = np.array([d.pick([I64_MIN, I64_MAX, 0])] * d.between(1, 3)).astype(a.dtype)
        a = np.concatenate([a, extra])  # longer than needed: the rest is never read
    elif kind == 61:
        a = a.reshape(1, -1)
    elif kind == 60 and a.size == 1:
        a = a.reshape(())
    elif kind == 59 and a.size and integer:  # one element beyond int64: no conversion holds it
        out = a.tolist()
        out[d.below(len(out))] = d.pick([2**63, -(2**63) - 1, 2**64])
        return out, []
    return layout(d, as_dtype(d, a, integer=integer))


def text_arg(d, pool):
    kind = d.below(12)
    if kind <= 7:
        return d.pick(pool)
    if kind == 8:
        return d.pick(pool).encode()
    if kind == 9:
        return d.pick([None, 3, 1.5, ["1M"]])
    return d.text(24)


# ---- judging -------------------------------------------------------------------------------


class Refused(Exception):
    """The arguments lie outside the contract: the call must raise TypeError or ValueError."""


def converted(obj, dtype, ndim):
    """What the binding's forced conversion makes of obj, checked against the contract."""
    if isinstance(obj, np.ndarray) and obj.size >= np.prod(IMPOSSIBLE):
        raise Refused("a view far larger than memory")
    try:
        a = np.array(obj, dtype=dtype)
    except (TypeError, ValueError, OverflowError) as e:
        raise Refused(e) from None
    if a.ndim != ndim:
        raise Refused(f"{a.ndim} dimensions")
    return a


def long_enough(v, need):
    if v.shape[0] < need:
        raise Refused(f"{v.shape[0]} < {need}")
    return v


def text_of(obj):
    if isinstance(obj, bytes):
        return obj
    if not isinstance(obj, str):
        raise Refused(f"text of type {type(obj).__name__}")
    try:
        obj.encode("utf-8")
    except UnicodeEncodeError as e:
        raise Refused(e) from None
    return obj


def expected(name, args, kwargs):
    """("result", value, canonical arguments), ("raises", type) or ("refused", reason) for
    one call."""
    target = MODULES[name]
    try:
        canon = target.canonical(*args, **kwargs)
    except Refused as e:
        return "refused", str(e)
    try:
        return "result", target.reference(*canon), canon
    except (RuntimeError, IndexError, ValueError) as e:
        return "raises", type(e)


def canon_troughmend(*args, **kwargs):
    if kwargs or len(args) != 1:
        raise Refused("troughmend takes one positional argument")
    return (converted(args[0], np.float64, 2),)


def canon_crossodds(*args, **kwargs):
    if kwargs or len(args) != 2:
        raise Refused("crossodds takes two positional arguments")
    x = converted(args[1], np.float64, 2)
    codes = converted(args[0], np.int32, 1)
    return long_enough(codes, x.shape[1]), x


def canon_horizonret(*args, **kwargs):
    if kwargs or len(args) != 5:
        raise Refused("horizonret takes five positional arguments")
    code = text_of(args[0])
    x = converted(args[1], np.float64, 2)
    start = long_enough(converted(args[2], np.int64, 1), x.shape[1])
    end = long_enough(converted(args[3], np.int64, 1), x.shape[1])
    dates = long_enough(converted(args[4], np.int64, 1), x.shape[0])
    return code, x, start, end, dates


def canon_runs(first):
    def canon(*args, **kwargs):
        names = [first, "dates", "i_code"]
        if len(args) > 3 or any(k not in names[len(args) :] for k in kwargs):
            raise Refused("arguments do not match the signature")
        bound = dict(zip(names, args), **kwargs)
        if first not in bound or "dates" not in bound:
            raise Refused("missing argument")
        x = converted(bound[first], np.float64, 2)
        dates = long_enough(converted(bound["dates"], np.int64, 1), x.shape[0])
        return x, dates, text_of(bound.get("i_code", "positive"))

    return canon


def judge(name, args, kwargs, buffers):
    fn = MODULES[name].function
    before = [b.tobytes() for b in buffers]
    want = expected(name, args, kwargs)
    try:
        got = fn(*args, **kwargs)
    except (TypeError, ValueError, IndexError, RuntimeError, OverflowError, MemoryError) as e:
        if want[0] == "result":
            raise AssertionError(
                f"{name} raised {type(e).__name__}: {e} on an input inside its contract"
            ) from e
        if want[0] == "raises":
            assert type(e) is want[1], f"{name} raised {type(e).__name__}, not {want[1]}: {e}"
        else:
            assert isinstance(e, (TypeError, ValueError)), (
                f"{name} refused {want[1]} with {type(e).__name__}: {e}"
            )
    else:
        assert want[0] == "result", f"{name} returned a result where {want} was due"
        MODULES[name].compare(name, got, *want[1:])
    for b, old in zip(buffers, before):
        assert b.tobytes() == old, f"{name} wrote into an argument"


# ---- the calls ------------------------------------------------------------------------------


def shape(d, wide, tall_only=False, flat_only=False):
    if not wide:  # mostly small: most faults show on a few rows and columns
        return d.below(d.pick([4, 9, 33])), d.below(d.pick([4, 9, 33]))
    if tall_only or (not flat_only and d.one_in(2)):
        return d.between(256, 1100), d.between(1, 4)
    return d.between(1, 4), d.between(128, 1100)


def call_troughmend(d, wide):
    rows, cols = shape(d, wide)
    x, bufs = matrix(d, rows, cols)
    args = (x,)
    if d.one_in(64):
        return args[:0], {"funds_val": x}, bufs
    return args, {}, bufs


def call_crossodds(d, wide):
    rows, cols = shape(d, wide, flat_only=True)
    x, bufs = matrix(d, rows, cols)
    pool = CODE_POOL[: d.between(1, len(CODE_POOL))]
    groups = d.between(1, 3) if wide else d.between(1, 8)
    chosen = [d.pick(pool) for _ in range(groups)]
    codes = np.array([d.pick(chosen) for _ in range(cols)], np.int32)
    if d.one_in(8):  # codes beyond int32 or fractional: wrapped or truncated by the cast
        codes = codes.astype(np.float64) * d.pick([1.5, -0.5, 2.0**31, 1e10])
    c, cbufs = vector(d, codes)
    return (c, x), {}, bufs + cbufs


def call_horizonret(d, wide):
    rows, cols = shape(d, wide, tall_only=True)
    x, bufs = matrix(d, rows, cols)
    code = text_arg(d, PERIOD_POOL[:4] if wide else PERIOD_POOL)
    if wide:
        dates = np.datetime64("1990-01-31", "D") + np.cumsum(
            np.random.default_rng(d.below(2**32)).integers(0, 4, rows)
        )
        dates = dates.astype("datetime64[ns]").astype(np.int64)
    else:
        dates = dates_values(d, rows)
    index = [I64_MIN, I64_MAX, -1, 0, 1, rows - 1, rows, rows // 2]
    start = np.array(
        [d.pick(index) if d.one_in(3) else d.below(rows + 1) for _ in range(cols)], np.int64
    )
    end = np.array(
        [d.pick(index) if d.one_in(3) else d.below(rows + 1) for _ in range(cols)], np.int64
    )
    if wide and d.one_in(2):
        start[:], end[:] = 0, rows - 1
    s, sb = vector(d, start)
    e, eb = vector(d, end)
    t, tb = vector(d, dates)
    return (code, x, s, e, t), {}, bufs + sb + eb + tb


def call_runs(first):
    def call(d, wide):
        rows, cols = shape(d, wide)
        x, bufs = matrix(d, rows, cols)
        t, tb = vector(d, dates_values(d, rows))
        mode = text_arg(d, MODE_POOL)
        form = d.below(6)
        if form == 0:
            return (x, t), {}, bufs + tb
        if form == 1:
            return (), {first: x, "dates": t}, bufs + tb
        if form == 2:
            return (x,), {"dates": t, "i_code": mode}, bufs + tb
        if form == 3 and d.one_in(4):  # an unknown keyword, or one argument twice
            return (x, t), {d.pick(["mode", "dates"]): mode}, bufs + tb
        return (x, t, mode), {}, bufs + tb

    return call


def call_summary(d, wide):
    rows, cols = shape(d, wide)
    x, bufs = matrix(d, rows, cols)
    f = d.pick([0.0, 1e-4, -2e-3, 0.05, -0.0, 5e-324, -1.0, 1e300])
    if d.one_in(16):
        return (x,), {"risk_free": f}, bufs
    if d.one_in(64):  # a risk-free return that is no number
        return (x, d.pick(["0.01", None, [0.01]])), {}, bufs
    return (x, f), {}, bufs


def canon_summary(*args, **kwargs):
    bound = dict(zip(["returns", "risk_free"], args))
    if len(args) > 2 or any(k in bound or k not in ("returns", "risk_free") for k in kwargs):
        raise Refused("arguments do not match the signature")
    bound.update(kwargs)
    if len(bound) != 2:
        raise Refused("missing argument")
    f = bound["risk_free"]
    if not isinstance(f, (float, int)):
        raise Refused(f"a risk-free return of type {type(f).__name__}")
    return converted(bound["returns"], np.float64, 2), float(f)


def same_bits_as_definition(name, got, want, canon):
    assert same_result(got, want), f"{name} differs from its definition:\n{got}\n{want}"


def agrees_with_summary(name, got, want, canon):
    """The statistics' exact parts bit for bit, the moments within the reference's bounds."""
    from fk_references.summary import agree

    assert isinstance(got, tuple) and all(isinstance(g, np.ndarray) for g in got), got
    assert [g.dtype for g in got] == [w.dtype for w in want], got
    agree(*canon, got, want)


# ---- the own calendar's variants ----------------------------------------------------------
# fundkernels._ownrows takes each fund on its own rows, those holding a value: its result
# for a fund must be, bit for bit, the module's for that fund alone on its own values and
# dates, with rows counted on the panel. The module is held to its own definition by its
# target; this one holds the variant to the module on each fund alone, a missing value of
# the panel being a row the fund does not have.

OWN_KINDS = ["troughmend", "drawdown", "extremeset", "streakset"]
# The rows each variant reports (the others are values or date texts): drawdown's
# peak, first, last, trough and recovery rows.
OWN_ROW_PARTS = {"drawdown": (1, 2, 3, 4, 6)}


def call_own_rows(d, wide):
    rows, cols = shape(d, wide)
    x, bufs = matrix(d, rows, cols)
    kind = d.pick(OWN_KINDS)
    if kind in ("troughmend", "drawdown"):
        return (kind, x), {}, bufs
    t, tb = vector(d, dates_values(d, rows))
    return (kind, x, t, text_arg(d, MODE_POOL)), {}, bufs + tb


def canon_own_rows(kind, *args):
    x = converted(args[0], np.float64, 2)
    if kind in ("troughmend", "drawdown"):
        return kind, x
    return kind, x, long_enough(converted(args[1], np.int64, 1), x.shape[0]), text_of(args[2])


def own_rows_call(kind, *args):
    from fundkernels import _ownrows

    return getattr(_ownrows, kind)(*args)


def own_rows_alone(kind, x, *rest):
    """Each fund alone through its public module, on its own rows and dates; the results
    put together as the variant gives them, rows as the panel's."""
    public = resolve(INDICATORS[kind].module)
    parts = []
    for c in range(x.shape[1]):
        own = np.flatnonzero(~np.isnan(x[:, c]))
        extra = (rest[0][own], rest[1]) if rest else ()
        part = list(as_parts(public(np.ascontiguousarray(x[own][:, [c]]), *extra)))
        panel_row = np.append(own, -1)  # own row k is panel row own[k]; none (-1) stays -1
        for k in OWN_ROW_PARTS.get(kind, ()):
            part[k] = panel_row[part[k]]
        parts.append(part)
    if not parts:
        return public(np.empty((x.shape[0], 0)), *rest)
    joined = [
        sum((p[k] for p in parts), [])
        if isinstance(parts[0][k], list)
        else np.concatenate([p[k] for p in parts])
        for k in range(len(parts[0]))
    ]
    if kind == "troughmend":
        return joined[0]
    if kind == "extremeset":
        return dict(zip("rpsl", joined))
    return tuple(joined)


# Per module: how a call is drawn and what the binding makes of its arguments (or that it
# must refuse them), and (optional) how its result is held against the definition's, bit
# for bit by default. The registry names these for each indicator with a fuzz target.
SUMMARY = (call_summary, canon_summary, agrees_with_summary)
TROUGHMEND = (call_troughmend, canon_troughmend)
CROSSODDS = (call_crossodds, canon_crossodds)
HORIZONRET = (call_horizonret, canon_horizonret)
EXTREMESET = (call_runs("array_value"), canon_runs("array_value"))
STREAKSET = (call_runs("a_value"), canon_runs("a_value"))


class Target(NamedTuple):
    """A fuzzed kernel: the draw, the binding's reading, the comparison of results, the
    definition the result must agree with, the kernel and its module."""

    draw: Callable
    canonical: Callable
    compare: Callable
    reference: Callable
    function: Callable
    module: str


def target(entry):
    draw, canonical, *compare = resolve(entry.fuzz)
    return Target(
        draw,
        canonical,
        compare[0] if compare else same_bits_as_definition,
        resolve(entry.reference),
        resolve(entry.module),
        entry.module.partition(":")[0],
    )


# Per indicator with a fuzz target, by name, and the own calendar's variants.
MODULES = {name: target(entry) for name, entry in INDICATORS.items() if entry.fuzz is not None}
MODULES["ownrows"] = Target(
    call_own_rows,
    canon_own_rows,
    same_bits_as_definition,
    own_rows_alone,
    own_rows_call,
    "fundkernels._ownrows",
)


def run_one(target, data):
    """One fuzz input for a target named "<module>" or "<module>-wide"."""
    name, _, mode = target.partition("-")
    d = Draw(data)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        # Casts of NaN or huge values to integers warn; the module sees what NumPy makes.
        warnings.simplefilter("ignore")
        args, kwargs, buffers = MODULES[name].draw(d, mode == "wide")
        judge(name, args, kwargs, buffers)


TARGETS = [f"{name}{mode}" for name in MODULES for mode in ("", "-wide")]
