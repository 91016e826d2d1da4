"""Hostile arguments: every call gives the right result or a clear Python exception."""

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

from helpers import assert_same_parts, awkward_matrix, replace_arrays
from fk_references.cases import INDICATORS, as_parts

NAMES = sorted(INDICATORS)
I64 = np.iinfo(np.int64)


def call(name, args):
    return as_parts(INDICATORS[name].module(*args))


def sample(name, rows=90, cols=7, seed=7):
    """A value matrix and its call's arguments. 90 business days leave some 3-month
    horizons; rows != cols tells per-row from per-fund vectors."""
    x = awkward_matrix(np.random.default_rng(seed), rows, cols)
    return x, INDICATORS[name].args(x)


def vector_positions(name):
    args = INDICATORS[name].args(np.zeros((5, 3)))
    return [i for i, a in enumerate(args) if isinstance(a, np.ndarray) and a.ndim == 1]


def code_positions(name):
    return [i for i, a in enumerate(INDICATORS[name].args(np.zeros((5, 3)))) if isinstance(a, str)]


def with_arg(args, i, value):
    return args[:i] + (value,) + args[i + 1 :]


VECTOR_ARGS = [(n, i) for n in NAMES for i in vector_positions(n)]
CODE_ARGS = [(n, i) for n in NAMES for i in code_positions(n)]


# ---- inputs that must give exactly the plain call's result ---------------------------------


def read_only(a):
    a = np.array(a)
    a.setflags(write=False)
    return a


def byte_swapped(a):
    return a.astype(a.dtype.newbyteorder())


def unaligned(a):
    """The same values at an odd address."""
    a = np.ascontiguousarray(a)
    buf = np.zeros(a.nbytes + 1, np.uint8)
    out = buf[1:].view(a.dtype).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned or a.nbytes == 0
    return out


def reversed_view(v):
    return np.ascontiguousarray(v[::-1])[::-1]


def every_other(v):
    big = np.zeros(2 * len(v), v.dtype)
    big[::2] = v
    return big[::2]


def too_long(v):
    """The vector followed by elements that would give garbage if they were read."""
    info = np.iinfo(v.dtype)
    return np.concatenate([v, np.array([info.min, info.max, -1, info.min], v.dtype)])


EQUIVALENT = {
    "read-only": dict(matrix=read_only, vector=read_only),
    "byte-swapped": dict(matrix=byte_swapped, vector=byte_swapped),
    "unaligned": dict(matrix=unaligned, vector=unaligned),
    "object-arrays": dict(matrix=lambda a: a.astype(object), vector=lambda a: a.astype(object)),
    "nested-lists": dict(matrix=lambda a: a.tolist(), vector=lambda a: a.tolist()),
    "reversed-vectors": dict(vector=reversed_view),
    "strided-vectors": dict(vector=every_other),
    "long-vectors": dict(vector=too_long),
}


@pytest.mark.parametrize("case", sorted(EQUIVALENT))
@pytest.mark.parametrize("name", NAMES)
def test_equivalent_arguments_give_the_same_result(name, case):
    x, args = sample(name)
    want = call(name, args)
    assert_same_parts(call(name, replace_arrays(args, x, **EQUIVALENT[case])), want)


@pytest.mark.parametrize("name", NAMES)
def test_arguments_are_never_written(name):
    x, args = sample(name)
    before = [np.copy(a) if isinstance(a, np.ndarray) else a for a in args]
    call(name, args)
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            assert a.tobytes() == b.tobytes()


def test_object_matrix_none_is_a_gap():
    # NumPy casts None to NaN; the call sees a missing value, not garbage.
    for name in NAMES:
        x, args = sample(name)
        obj = x.astype(object)
        obj[np.isnan(x)] = None
        assert_same_parts(
            call(name, replace_arrays(args, x, matrix=lambda _: obj)), call(name, args)
        )


# ---- views that repeat memory: broadcasting and stride tricks -----------------------------


def overlapping(x, down):
    """Element (r, c) is base[r + c] (down=1) or base[rows - 1 - r + c] (down=-1)."""
    rows, cols = x.shape
    base = np.ascontiguousarray(x.T.ravel()[: rows + cols - 1])
    start = base if down == 1 else base[rows - 1 :]
    return as_strided(start, shape=x.shape, strides=(down * 8, 8), writeable=False)


VIEWS = {
    "one-row-broadcast": lambda x: np.broadcast_to(x[3], x.shape),
    "one-column-broadcast": lambda x: np.broadcast_to(x[:, 2:3], x.shape),
    "one-value": lambda x: as_strided(
        x[5:6, 1:2].copy(), shape=x.shape, strides=(0, 0), writeable=False
    ),
    "overlapping-down": lambda x: overlapping(x, 1),
    "overlapping-up": lambda x: overlapping(x, -1),
}


@pytest.mark.parametrize("view", sorted(VIEWS))
@pytest.mark.parametrize("name", NAMES)
def test_repeating_views_read_as_their_dense_copy(name, view):
    x, args = sample(name)
    v = VIEWS[view](x)
    dense = np.array(v)
    assert not np.shares_memory(v, dense)
    want = call(name, replace_arrays(args, x, matrix=lambda _: dense))
    assert_same_parts(call(name, replace_arrays(args, x, matrix=lambda _: v)), want)


@pytest.mark.parametrize("name", NAMES)
def test_large_broadcast_matrix_gives_its_result(name):
    # A few hundred thousand elements over one row of memory: legitimate and computed.
    rows, cols = 600, 400
    row = awkward_matrix(np.random.default_rng(11), 1, cols)
    v = np.broadcast_to(row, (rows, cols))
    args = INDICATORS[name].args(v)
    dense = np.array(v)
    want = call(name, replace_arrays(args, v, matrix=lambda _: dense))
    assert_same_parts(call(name, args), want)


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.broadcast_to(np.float64(0.01), (2**31, 2**27)),
        lambda: np.broadcast_to(np.array([0.01, -0.02, 0.03]), (2**55, 3)),
        lambda: np.broadcast_to(np.array([[0.01], [0.02], [0.03]]), (3, 2**55)),
        # Zero row stride over a real row of 16 values.
        lambda: as_strided(np.linspace(-0.1, 0.1, 16), shape=(2**55, 16), strides=(0, 8)),
    ],
    ids=["scalar", "three-columns", "three-rows", "zero-row-stride"],
)
@pytest.mark.parametrize("name", NAMES)
def test_impossible_declared_shape_is_refused(name, make):
    # More elements than any machine's memory: the work cannot be done, so the call
    # refuses at once instead of running for years or failing to allocate its results.
    x, args = sample(name, rows=4, cols=3)
    v = make()
    shape = " x ".join(str(n) for n in v.shape)
    with pytest.raises(ValueError, match=f"is a view of {shape} elements that repeat in memory"):
        call(name, replace_arrays(args, x, matrix=lambda _: v))


@pytest.mark.parametrize("name, i", VECTOR_ARGS)
def test_broadcast_vectors_are_read_only_as_far_as_needed(name, i):
    # A vector declaring 2**40 elements over one value: only the elements the matrix
    # needs are read (and copied), so it acts like the dense vector of that value.
    x, args = sample(name)
    v = args[i]
    huge = np.broadcast_to(v[-1:], (2**40,))
    dense = np.full(len(v), v[-1], v.dtype)
    assert_same_parts(call(name, with_arg(args, i, huge)), call(name, with_arg(args, i, dense)))


# ---- arguments that must be refused with a clear exception --------------------------------


BAD_MATRICES = {
    "letters": (np.array([["a", "b"], ["c", "d"]]), TypeError, "incompatible function arguments"),
    "object-with-text": (
        np.array([[0.1, "x"], [0.2, 0.3]], dtype=object),
        TypeError,
        "incompatible function arguments",
    ),
    "ragged-list": ([[0.1, 0.2], [0.3]], TypeError, "incompatible function arguments"),
    "numeric-bytes": (np.array([[b"1", b"-0.5"]]), None, None),
    "none": (None, ValueError, "two-dimensional .* but it has 0 dimensions"),
    "3-d-view": (np.zeros((2, 3, 4))[:, ::2], ValueError, "but it has 3 dimensions"),
}


@pytest.mark.parametrize("case", sorted(BAD_MATRICES))
@pytest.mark.parametrize("name", NAMES)
def test_bad_matrix(name, case):
    value, error, message = BAD_MATRICES[case]
    x, args = sample(name, rows=2, cols=2)
    args = replace_arrays(args, x, matrix=lambda _: value)
    if error is None:
        # NumPy's unsafe cast turns numeric text into numbers: an ordinary call.
        want = call(name, replace_arrays(args, value, matrix=lambda a: a.astype(np.float64)))
        assert_same_parts(call(name, args), want)
    else:
        with pytest.raises(error, match=message):
            call(name, args)


BAD_VECTORS = {
    "0-d": (lambda v: v[0], ValueError, "must be one-dimensional, but it has 0 dimensions"),
    "2-d": (
        lambda v: v.reshape(1, -1),
        ValueError,
        "must be one-dimensional, but it has 2 dimensions",
    ),
    "column": (
        lambda v: v.reshape(-1, 1),
        ValueError,
        "must be one-dimensional, but it has 2 dimensions",
    ),
    "one-short": (
        lambda v: v[:-1],
        ValueError,
        r"has \d+ elements, but the value matrix has \d+ (rows|columns)",
    ),
    "empty": (
        lambda v: v[:0],
        ValueError,
        r"has 0 elements, but the value matrix has \d+ (rows|columns)",
    ),
    "letters": (lambda v: np.array(["x"] * len(v)), TypeError, "incompatible function arguments"),
    "none": (lambda v: None, TypeError, "incompatible function arguments"),
    "float-nan": (lambda v: np.full(len(v), np.nan), TypeError, "incompatible function arguments"),
}


@pytest.mark.parametrize("case", sorted(BAD_VECTORS))
@pytest.mark.parametrize("name, i", VECTOR_ARGS)
def test_bad_vector(name, i, case):
    make, error, message = BAD_VECTORS[case]
    x, args = sample(name, rows=6, cols=4)
    with pytest.raises(error, match=message):
        call(name, with_arg(args, i, make(args[i])))


@pytest.mark.parametrize(
    "code", [None, 3, 3.0, ["3M"], "\ud800"], ids=["none", "int", "float", "list", "surrogate"]
)
@pytest.mark.parametrize("name, i", CODE_ARGS)
def test_code_that_is_not_text(name, i, code):
    x, args = sample(name, rows=6, cols=4)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(name, with_arg(args, i, code))


@pytest.mark.parametrize("name, i", CODE_ARGS)
@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_code_as_bytes_is_its_utf8_text(name, i, kind):
    x, args = sample(name)
    code = args[i]
    assert_same_parts(call(name, with_arg(args, i, kind(code.encode()))), call(name, args))


# Raw bytes that are not UTF-8, and very long texts, with the text they must act as.
ODD_CODES = [
    ("horizonret", b"\xff\xfe3M", "3M"),
    ("horizonret", "\u00e9" * 200_000 + "3M" + "x" * 200_000, "3M"),
    ("horizonret", "0" * 500_000 + "3M", "3M"),
    ("extremeset", b"positive\xff", "loss"),
    ("extremeset", "positive" * 100_000, "loss"),
    ("streakset", b"\xffpositive", "loss"),
    ("streakset", b"positive\x00", "loss"),
]


@pytest.mark.parametrize("name, code, same_as", ODD_CODES)
def test_odd_codes(name, code, same_as):
    x, args = sample(name)
    (i,) = code_positions(name)
    assert_same_parts(call(name, with_arg(args, i, code)), call(name, with_arg(args, i, same_as)))


@pytest.mark.parametrize(
    "code, error, message",
    [
        (b"\xff\xfe", RuntimeError, "i_code 格式错误"),
        ("x" * 1_000_000, RuntimeError, "i_code 格式错误"),
        ("9" * 1_000_000 + "M", IndexError, "stoi"),
    ],
    ids=["not-utf8", "long-without-period", "long-number"],
)
def test_unusable_period_codes_fail_fast(code, error, message):
    x, args = sample("horizonret")
    (i,) = code_positions("horizonret")
    with pytest.raises(error, match=message):
        call("horizonret", with_arg(args, i, code))


# ---- extreme values: the vectorised NumPy peer must agree bit for bit ---------------------


def extreme_matrix(kind, rows=90, cols=23):
    """Matrices of one kind of extreme value; 23 columns give groups of 2 and 3 type codes."""
    rng = np.random.default_rng(sum(map(ord, kind)))
    sign = rng.choice([-1.0, 1.0], (rows, cols))
    if kind == "huge":
        return sign * 1e308
    if kind == "infinite":
        return sign * np.inf
    if kind == "subnormal":
        return sign * rng.choice([5e-324, 2.2e-308, 1e-310], (rows, cols))
    if kind == "all-nan":
        return np.full((rows, cols), np.nan)
    if kind == "total-loss":
        return rng.choice([-1.0, -1.5, -1e308, 0.5], (rows, cols))
    pool = [1e308, -1e308, np.inf, -np.inf, np.nan, -1.0, 0.0, -0.0, 5e-324, 1e-300, 0.5, 1e16]
    return rng.choice(pool, (rows, cols))


EXTREMES = ["huge", "infinite", "subnormal", "all-nan", "total-loss", "mixed"]


@pytest.mark.parametrize("kind", EXTREMES)
@pytest.mark.parametrize("name", NAMES)
def test_extreme_values_match_peer(name, kind):
    ind = INDICATORS[name]
    args = ind.args(extreme_matrix(kind))
    assert_same_parts(as_parts(ind.module(*args)), as_parts(ind.peer(*args)))


def extreme_dates(n, seed=3):
    """Ascending int64 nanoseconds from the smallest to the largest value."""
    inner = np.random.default_rng(seed).integers(
        I64.min, I64.max, n - 6, dtype=np.int64, endpoint=True
    )
    return np.sort(np.concatenate([[I64.min, I64.min + 1, -1, 0, I64.max - 1, I64.max], inner]))


DATED = [(n, i) for n, i in VECTOR_ARGS if INDICATORS[n].args(np.zeros((5, 3)))[i].shape == (5,)]


@pytest.mark.parametrize("name, i", DATED)
def test_dates_at_the_int64_extremes_match_peer(name, i):
    ind = INDICATORS[name]
    x = np.abs(awkward_matrix(np.random.default_rng(9), 60, 5))  # long positive runs
    args = with_arg(ind.args(x), i, extreme_dates(60))
    assert_same_parts(as_parts(ind.module(*args)), as_parts(ind.peer(*args)))


def test_type_codes_at_the_int32_extremes_match_peer():
    ind = INDICATORS["crossodds"]
    x = awkward_matrix(np.random.default_rng(12), 50, 17)
    i32 = np.iinfo(np.int32)
    codes = (
        np.random.default_rng(13)
        .choice([i32.min, i32.min + 1, -1, 0, i32.max], 17)
        .astype(np.int32)
    )
    args = (codes, x)
    assert_same_parts(as_parts(ind.module(*args)), as_parts(ind.peer(*args)))


def test_unsorted_and_repeated_dates_give_shares():
    # Dates out of order are outside what the horizons mean, but the call must still only
    # read its arguments: every share lies in [0, 1] and the six bands add up to 1.
    ind = INDICATORS["horizonret"]
    x, args = sample("horizonret", rows=120, cols=6)
    dates = np.repeat(args[4][::2], 2)  # every date twice
    swap = np.random.default_rng(14).choice(np.arange(1, 119, 2), 20, replace=False)
    dates[swap], dates[swap + 1] = dates[swap + 1], dates[swap].copy()  # some out of order
    avg, med, win, *bands = ind.module(*with_arg(args, 4, dates))
    found = ~np.isnan(win)
    assert found.any()
    for share in [win, *bands]:
        assert ((share[found] >= 0) & (share[found] <= 1)).all()
    assert np.allclose(np.sum(bands, axis=0)[found], 1.0)
