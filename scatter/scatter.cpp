// fundkernels._scatter: the rows of a long table (fund, date, value) written into the
// matrix, a piece of the table per call, and the count of the cells they reached.
//
// The Python side numbers the funds and dates (fundkernels/_gather.py); here each row's
// cell is found from its fund's code and its date, its value (or NaN where the value is
// missing) written there, and the cell marked reached, a bit per cell. A piece's calls
// release the interpreter's lock, so that pieces run on several threads at once; each
// thread marks its own bits (3 MB for 25 million cells), so that none loses another's
// mark. Once every piece is written, the cells marked by any thread number exactly the
// rows when no two rows share a cell, and fewer when some do.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

#include <sys/mman.h>
#include <string>
#include <vector>

#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

// A one-dimensional array's data, checked for its element type and for being contiguous.
template <class T>
T* data_of(const py::array& a, const char* name, bool writable = false) {
    if (a.ndim() != 1 || !py::isinstance<py::array_t<T>>(a) ||
        (a.shape(0) > 1 && a.strides(0) != static_cast<py::ssize_t>(sizeof(T))) ||
        !(a.flags() & fk::numpy_aligned) || (writable && !a.writeable()))
        throw py::type_error(std::string(name) + " must be a contiguous one-dimensional " +
                             (writable ? "writable " : "") + "array of " +
                             py::str(py::dtype::of<T>()).cast<std::string>());
    return static_cast<T*>(const_cast<void*>(a.data()));
}

// Where a piece's rows go: each row's fund code (an index into `offset`, the first cell
// of the code's column) and date (through `table`, the row of date first + k * step at
// index k; without a table the date is the row itself).
struct Piece {
    const std::int64_t* offset;
    std::uint64_t codes;
    const std::int32_t* table;
    std::uint64_t span;  // entries of table, or rows of the matrix without one
    std::int64_t first, step;
    const double* values;
    const std::uint8_t* valid;  // Arrow's validity bits, or null: every value is there
    std::int64_t valid_at;      // the piece's first bit among them
    double* flat;
    std::uint64_t* marks;
};

template <class Code, class Day, bool Table, bool Step>
void write_rows(const Piece& piece, const Code* code, const Day* day, std::int64_t n) {
    // The piece's fields as locals: the stores below could otherwise change them as far
    // as the compiler knows, and each row would read them again.
    const Piece p = piece;
    for (std::int64_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::uint64_t>(static_cast<std::int64_t>(code[i]));
        const std::int64_t d = static_cast<std::int64_t>(day[i]) - p.first;
        const auto k = static_cast<std::uint64_t>(Step ? d / p.step : d);
        const std::int64_t row = Table && k < p.span ? p.table[k] : static_cast<std::int64_t>(k);
        if (c >= p.codes || d < 0 || k >= p.span || row < 0)
            throw std::out_of_range("row " + std::to_string(i) + " of a piece lies outside the "
                                    "funds or dates it was numbered with");
        const std::int64_t cell = p.offset[c] + row;
        double v = p.values[i];
        if (p.valid) {
            const std::int64_t b = p.valid_at + i;
            if (!((p.valid[b >> 3] >> (b & 7)) & 1)) v = NaN;
        }
        // A relaxed atomic store, a plain move on x86: two rows of one cell (a duplicate
        // the count will find) may be written by two threads at once.
        __atomic_store(p.flat + cell, &v, __ATOMIC_RELAXED);
        p.marks[cell >> 6] |= std::uint64_t{1} << (cell & 63);
    }
}

template <class Code, class Day>
void write_typed(const Piece& p, const py::array& codes, const py::array& days, std::int64_t n) {
    const Code* code = data_of<Code>(codes, "codes");
    const Day* day = data_of<Day>(days, "days");
    py::gil_scoped_release unlocked;
    if (p.table == nullptr)
        write_rows<Code, Day, false, false>(p, code, day, n);
    else if (p.step == 1)
        write_rows<Code, Day, true, false>(p, code, day, n);
    else
        write_rows<Code, Day, true, true>(p, code, day, n);
}

// The rows of a piece written into flat (the column-major matrix as one vector) and marked
// in marks (a bit per cell, bit c % 64 of word c / 64; the calling thread's own). codes: int32 or int64; days: int32 or int64, the dates in
// their stored unit (or their rows among the matrix's `rows` when table is None); values: float64, with
// Arrow's validity bitmap valid (bit valid_at is the piece's first row) or None.
void scatter(py::array codes, fk::i64_array offset_arr, py::array days, std::int64_t rows,
             py::object table_obj, std::int64_t first, std::int64_t step, fk::f64_array values_arr, py::object valid_obj,
             std::int64_t valid_at, py::array flat_arr, py::array marks_arr) {
    const std::int64_t n = codes.ndim() == 1 ? codes.shape(0) : -1;
    if (n < 0 || days.ndim() != 1 || days.shape(0) != n || values_arr.ndim() != 1 ||
        values_arr.shape(0) != n)
        throw py::value_error("codes, days and values must be one-dimensional, of one length");
    if (offset_arr.ndim() != 1) throw py::value_error("offset must be one-dimensional");
    if (step < 1) throw py::value_error("step must be positive");
    Piece p{};
    p.codes = static_cast<std::uint64_t>(offset_arr.shape(0));
    p.offset = fk::vector_arg(offset_arr, "offset", offset_arr.shape(0), "codes");
    p.flat = data_of<double>(flat_arr, "flat", true);
    p.marks = data_of<std::uint64_t>(marks_arr, "marks", true);
    const std::int64_t cells = flat_arr.shape(0);
    if (marks_arr.shape(0) != (cells + 63) / 64)
        throw py::value_error("marks must hold a bit per cell of flat");
    py::array table_arr;
    if (rows < 0) throw py::value_error("rows must not be negative");
    if (table_obj.is_none()) {
        p.span = static_cast<std::uint64_t>(rows);
        p.first = 0;
    } else {
        table_arr = py::array::ensure(table_obj);
        p.table = data_of<std::int32_t>(table_arr, "table");
        p.span = static_cast<std::uint64_t>(table_arr.shape(0));
        p.first = first;
    }
    p.step = step;
    // Every cell a row can reach lies within the matrix: the largest offset plus the
    // largest row (checked once here, not per row).
    std::int64_t top = 0;
    for (std::uint64_t c = 0; c < p.codes; ++c) {
        if (p.offset[c] < 0) throw py::value_error("offset holds a negative cell");
        top = std::max(top, p.offset[c]);
    }
    std::int64_t last_row = static_cast<std::int64_t>(p.span) - 1;
    if (p.table != nullptr) {
        last_row = -1;
        for (std::uint64_t k = 0; k < p.span; ++k) last_row = std::max<std::int64_t>(last_row, p.table[k]);
    }
    if (n > 0 && (last_row >= rows || top + last_row >= cells))
        throw py::value_error("offset and table reach beyond the matrix");
    p.values = fk::vector_arg(values_arr, "values", n, "rows");
    py::array valid_arr;
    if (!valid_obj.is_none()) {
        valid_arr = py::array::ensure(valid_obj);
        p.valid = data_of<std::uint8_t>(valid_arr, "valid");
        if (valid_at < 0 || (valid_at + n + 7) / 8 > valid_arr.shape(0))
            throw py::value_error("valid holds fewer bits than the piece has rows");
        p.valid_at = valid_at;
    }
    if (n == 0) return;
    const bool wide_codes = py::isinstance<py::array_t<std::int64_t>>(codes);
    const bool wide_days = py::isinstance<py::array_t<std::int64_t>>(days);
    if (wide_codes && wide_days) write_typed<std::int64_t, std::int64_t>(p, codes, days, n);
    else if (wide_codes) write_typed<std::int64_t, std::int32_t>(p, codes, days, n);
    else if (wide_days) write_typed<std::int32_t, std::int64_t>(p, codes, days, n);
    else write_typed<std::int32_t, std::int32_t>(p, codes, days, n);
}

// The distinct values of a piece of dates (int32 days or int64), sorted, when they span at
// most `limit` values (days, business days: a table of that many marks, one pass to mark
// them); None when they span more, for the caller to hash them instead.
template <class Day>
py::object days_typed(const py::array& raw_arr, std::int64_t limit) {
    const Day* raw = data_of<Day>(raw_arr, "days");
    const std::int64_t n = raw_arr.shape(0);
    if (n == 0) return py::array_t<Day>(0);
    Day low = raw[0], high = raw[0];
    std::vector<std::uint8_t> seen;
    bool wide = false;
    {
        py::gil_scoped_release unlocked;
        for (std::int64_t i = 1; i < n; ++i) {
            low = std::min(low, raw[i]);
            high = std::max(high, raw[i]);
        }
        // The span as unsigned: int64 dates far apart do not overflow it.
        const auto span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
        wide = span >= static_cast<std::uint64_t>(limit);
        if (!wide) {
            seen.assign(span + 1, 0);
            for (std::int64_t i = 0; i < n; ++i)
                seen[static_cast<std::uint64_t>(raw[i]) - static_cast<std::uint64_t>(low)] = 1;
        }
    }
    if (wide) return py::none();
    std::size_t count = 0;
    for (const std::uint8_t s : seen) count += s;
    py::array_t<Day> out = fk::new_vector<Day>(count);
    Day* o = out.mutable_data();
    for (std::size_t k = 0; k < seen.size(); ++k)
        if (seen[k]) *o++ = static_cast<Day>(static_cast<std::uint64_t>(low) + k);
    return std::move(out);
}

py::object distinct_days(py::array raw, std::int64_t limit) {
    if (py::isinstance<py::array_t<std::int32_t>>(raw)) return days_typed<std::int32_t>(raw, limit);
    return days_typed<std::int64_t>(raw, limit);
}

// The distinct codes of a piece (a dictionary column's indices, each below `size`) in order
// of first appearance. Rows mostly come grouped by fund: a row with the code of the row
// before is passed over at the cost of one comparison.
template <class Code>
py::array_t<std::int64_t> first_typed(const py::array& codes_arr, std::int64_t size) {
    const Code* code = data_of<Code>(codes_arr, "codes");
    const std::int64_t n = codes_arr.shape(0);
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(size), 0);
    std::vector<std::int64_t> order;
    std::int64_t bad = -1;
    {
        py::gil_scoped_release unlocked;
        std::int64_t prev = -1;
        for (std::int64_t i = 0; i < n; ++i) {
            const auto c = static_cast<std::int64_t>(code[i]);
            if (c == prev) continue;
            prev = c;
            if (c < 0 || c >= size) {
                bad = i;
                break;
            }
            if (!seen[static_cast<std::size_t>(c)]) {
                seen[static_cast<std::size_t>(c)] = 1;
                order.push_back(c);
            }
        }
    }
    if (bad >= 0)
        throw py::value_error("code " + std::to_string(static_cast<std::int64_t>(code[bad])) +
                              " at row " + std::to_string(bad) + " lies outside the " +
                              std::to_string(size) + " entries");
    return fk::to_numpy(order);
}

py::array_t<std::int64_t> first_seen(py::array codes, std::int64_t size) {
    if (size < 0) throw py::value_error("size must not be negative");
    if (py::isinstance<py::array_t<std::int64_t>>(codes)) return first_typed<std::int64_t>(codes, size);
    return first_typed<std::int32_t>(codes, size);
}

// How many cells of flat were marked in the words marks[lo:hi]; the others become NaN.
std::int64_t settle(py::array flat_arr, py::array marks_arr, std::int64_t lo, std::int64_t hi) {
    double* flat = data_of<double>(flat_arr, "flat", true);
    const std::uint64_t* marks = data_of<std::uint64_t>(marks_arr, "marks");
    const std::int64_t cells = flat_arr.shape(0);
    if (marks_arr.shape(0) != (cells + 63) / 64 || lo < 0 || hi < lo || hi > marks_arr.shape(0))
        throw py::value_error("marks must hold a bit per cell of flat, lo and hi bound its words");
    py::gil_scoped_release unlocked;
    std::int64_t count = 0;
    for (std::int64_t w = lo; w < hi; ++w) {
        const std::uint64_t word = marks[w];
        count += __builtin_popcountll(word);
        if (word == ~std::uint64_t{0}) continue;  // the common case: 64 cells reached
        const std::int64_t end = std::min<std::int64_t>(64, cells - w * 64);
        for (std::int64_t b = 0; b < end; ++b)
            if (!((word >> b) & 1)) flat[w * 64 + b] = NaN;
    }
    return count;
}

// A new float64 vector of n elements, uninitialised, in memory of its own, made at once.
// NumPy asks the system for huge pages for any large array (madvise), and on a virtual
// machine the first write to a huge page can cost several times what 4 KiB pages cost.
// The gather's matrix (200 MB for 25.2M rows, each page written once) after a read of the
// table, medians of 6, Intel Xeon guest with transparent huge pages on request: the whole
// gather took 0.78 s of CPU time (0.59 s of it in the system) in NumPy's huge pages, 0.28 s
// (0.11 s) in small pages made at the first write to each, 0.265 s (0.06 s) in small pages
// made at once (one system call instead of a fault per page), as here.
struct Mapping {
    void* data;
    std::size_t bytes;
};

py::array_t<double> fresh(std::int64_t n) {
    if (n < 0) throw py::value_error("n must not be negative");
    // Beyond this the byte count would wrap and the vector be shorter than n.
    if (static_cast<std::uint64_t>(n) > std::numeric_limits<std::size_t>::max() / 2 / sizeof(double))
        throw std::bad_alloc();
    const std::size_t bytes = static_cast<std::size_t>(std::max<std::int64_t>(n, 1)) * sizeof(double);
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    auto* mapping = new Mapping{data, bytes};
    py::capsule owner(mapping, [](void* m) {
        const auto* own = static_cast<Mapping*>(m);
        munmap(own->data, own->bytes);
        delete own;
    });
    return py::array_t<double>({static_cast<py::ssize_t>(n)}, {static_cast<py::ssize_t>(sizeof(double))},
                               static_cast<double*>(data), owner);
}

}  // namespace

PYBIND11_MODULE(_scatter, m) {
    m.doc() = "The rows of a long table written into the matrix, a piece at a time";
    m.def("scatter", &scatter, py::arg("codes"), py::arg("offset"), py::arg("days"),
          py::arg("rows"), py::arg("table"), py::arg("first"), py::arg("step"), py::arg("values"),
          py::arg("valid"), py::arg("valid_at"), py::arg("flat"), py::arg("marks"),
          "Write a piece's rows into flat (NaN where a value is missing) and mark their cells "
          "in marks, a bit per cell");
    m.def("distinct_days", &distinct_days, py::arg("days"), py::arg("limit"),
          "The sorted distinct values of days (int32 or int64) when they span fewer than limit "
          "values, else None");
    m.def("first_seen", &first_seen, py::arg("codes"), py::arg("size"),
          "The distinct codes (int32 or int64, each below size) in order of first appearance");
    m.def("fresh", &fresh, py::arg("n"),
          "A new uninitialised float64 vector of n elements in small pages, made at once");
    m.def("settle", &settle, py::arg("flat"), py::arg("marks"), py::arg("lo"), py::arg("hi"),
          "How many cells of flat were marked in the words marks[lo:hi]; the others become NaN");
}
