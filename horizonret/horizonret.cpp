// horizonret: per fund, the distribution of its returns over a rolling calendar horizon of
// whole months or years (3M, 1Y, ...): mean, median, share of positive horizons and the
// shares in six return bands.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "datetext.hpp"
#include "frame.hpp"

namespace {

namespace py = pybind11;

const double NaN = std::numeric_limits<double>::quiet_NaN();

constexpr std::int64_t NS_PER_S = 1000000000;
constexpr std::int64_t I64_MAX = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t I64_MIN = std::numeric_limits<std::int64_t>::min();
constexpr std::int32_t I32_MAX = std::numeric_limits<std::int32_t>::max();

// A horizon end later than every representable date. Real horizon ends are whole seconds
// and this value is not, so it never stands for a real date.
constexpr std::int64_t BEYOND = I64_MAX;

// UTC breakdown; the sub-second part is dropped by truncation toward zero.
void ns_to_tm(std::int64_t ns, std::tm& out) {
    const std::time_t s = static_cast<std::time_t>(ns / NS_PER_S);
    gmtime_r(&s, &out);
}

// Inverse UTC conversion. Times after 2262-04-11 have no nanosecond count; they saturate
// to BEYOND instead of wrapping to a date in the past.
std::int64_t tm_to_ns(const std::tm& in) {
    std::tm copy = in;
    const std::int64_t s = timegm(&copy);
    if (s > I64_MAX / NS_PER_S) return BEYOND;
    if (s < I64_MIN / NS_PER_S) return I64_MIN;
    return s * NS_PER_S;
}

// The same day of month and time of day n_months later; the day is clamped to the length
// of the target month (Jan 31 + 1 month = Feb 28 or 29).
std::int64_t add_months_ns(std::int64_t ns, std::int32_t n_months) {
    static const std::int32_t md[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    std::tm tm{};
    ns_to_tm(ns, tm);
    const std::int32_t y = tm.tm_year + 1900;
    const std::int32_t m = tm.tm_mon;
    const std::int32_t d = tm.tm_mday;
    // Months are counted from January of year 0 in 32 bits; a horizon that leaves that
    // range would wrap to a date in the past, so it is refused.
    const std::int64_t tot64 = static_cast<std::int64_t>(y) * 12 + m + n_months;
    if (tot64 > I32_MAX)
        throw std::invalid_argument("horizon too long: " + std::to_string(n_months) +
                                    " months after " + fk::ns2ymd(ns) +
                                    " end past month " + std::to_string(I32_MAX) +
                                    " counted from year 0");
    const std::int32_t tot = static_cast<std::int32_t>(tot64);
    const std::int32_t ny = tot / 12;
    const std::int32_t nm = tot % 12;
    std::int32_t maxd = md[nm];
    if (nm == 1) maxd = ((ny % 4 == 0 && ny % 100 != 0) || ny % 400 == 0) ? 29 : 28;
    std::tm ntm{};
    ntm.tm_year = ny - 1900;
    ntm.tm_mon = nm;
    ntm.tm_mday = std::min(d, maxd);
    ntm.tm_hour = tm.tm_hour;
    ntm.tm_min = tm.tm_min;
    ntm.tm_sec = tm.tm_sec;
    return tm_to_ns(ntm);
}

// The period search only needs, of each run of digits, whether it is followed by M or Y
// and its value as an int. Long runs would make the backtracking search recurse once per
// digit (a stack overflow for long texts) and take quadratic time, so each run is
// shortened first to a run with the same value: leading zeros dropped (one kept for a run
// of zeros), and more than ten significant digits cut to eleven, which stays out of range.
std::string shorten_digit_runs(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] < '0' || text[i] > '9') {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        std::size_t first = i;
        while (first + 1 < end && text[first] == '0') ++first;
        out.append(text, first, std::min<std::size_t>(end - first, 11));
        i = end;
    }
    return out;
}

// Period code to a month count: the leftmost digits followed by M or Y, anywhere in the
// text ("3M", "1Y", "x5Yz"; "1Y6M" is 12).
std::int32_t parse_months(const std::string& i_code) {
    const std::string text = shorten_digit_runs(i_code);
    const std::regex re("(\\d+)([MY])", std::regex::ECMAScript);
    std::smatch mm;
    if (!std::regex_search(text, mm, re)) throw std::runtime_error("i_code 格式错误");
    const std::int32_t num = std::stoi(mm[1].str());  // out_of_range "stoi" above 2^31 - 1
    const char unit = mm[2].str()[0];
    if (unit == 'M') return num;
    if (num > I32_MAX / 12)
        throw std::invalid_argument("horizon too long: " + mm[1].str() + "Y is more than " +
                                    std::to_string(I32_MAX) + " months");
    return num * 12;
}

struct Results {
    std::vector<double> avg, med, win, w0, w5, w10, l0, l5, l10;
    explicit Results(std::size_t n)
        : avg(n, NaN), med(n, NaN), win(n, NaN), w0(n, NaN), w5(n, NaN), w10(n, NaN),
          l0(n, NaN), l5(n, NaN), l10(n, NaN) {}
};

// Median of the n values at v, which it reorders. Horizon returns are never -0.0 (x - 1.0
// is +0.0 when x is 1.0) and never NaN here, so equal values are equal bit for bit and
// any selection gives the value a full sort would.
double nan_median(double* v, std::size_t n) {
    if (n == 0) return NaN;
    const std::size_t k = n / 2;
    std::nth_element(v, v + k, v + n);
    double med = v[k];
    if (n % 2 == 0) med = (med + *std::max_element(v, v + k)) * 0.5;
    return med;
}

// A fund's window of rows, clipped to the matrix (lo > hi when it holds no row).
struct Window {
    std::int64_t lo, hi;
};

Window window_of(std::int64_t start, std::int64_t end, std::int64_t D) {
    return {std::max<std::int64_t>(start, 0), std::min<std::int64_t>(end, D - 1)};
}

// Columns whose value paths a worker builds together, and the rows per step of that build.
// In a row-major matrix each row of a column lies on its own page; going through a few
// hundred rows for several columns at once reuses those pages and cache lines instead of
// walking every page once per column.
constexpr std::int64_t GROUP = 8;
constexpr std::int64_t CHUNK = 256;

// Value paths of the g columns cols[0..g): column j's path goes to nv[j * D ..], rows of
// its window only. The path compounds 1 + v from 1.0 at the window's first row; a missing
// return keeps the level (before the first valid value, at 1.0).
void build_paths(const fk::Matrix& m, const std::int64_t* cols, const Window* win, int g,
                 double* nv) {
    const std::int64_t D = m.rows;
    double acc[GROUP];
    std::fill(acc, acc + GROUP, 1.0);
    for (std::int64_t r0 = 0; r0 < D; r0 += CHUNK) {
        const std::int64_t r1 = std::min(r0 + CHUNK, D) - 1;
        for (int j = 0; j < g; ++j) {
            const std::int64_t a = std::max(r0, win[j].lo);
            const std::int64_t b = std::min(r1, win[j].hi);
            const double* col = m.col(cols[j]);
            double* path = nv + j * D;
            double level = acc[j];
            for (std::int64_t r = a; r <= b; ++r) {
                const double v = col[r * m.rs];
                if (!std::isnan(v)) level = level * (v + 1.0);
                path[r] = level;
            }
            acc[j] = level;
        }
    }
}

// Statistics of column c from its value path nv (valid on the window's rows). ret is
// scratch, D long, for the valid horizon returns in row order.
void calc_col(std::int64_t c, Window w, const double* nv, const std::vector<std::int64_t>& fut,
              std::uint64_t tail, std::vector<double>& ret, Results& res) {
    const std::int64_t D = static_cast<std::int64_t>(fut.size());
    // Horizons from the last tail + 1 rows are left out: those rows' horizons end on the
    // last row or beyond it, and so does the row just before them.
    const std::int64_t last = std::min<std::int64_t>(w.hi, D - 2 - static_cast<std::int64_t>(tail));
    std::uint64_t pos = 0, w0c = 0, w5c = 0, w10c = 0, l0c = 0, l5c = 0, l10c = 0;
    double s = 0.0;
    std::size_t n = 0;
    for (std::int64_t k = w.lo; k <= last; ++k) {
        const std::int64_t f = fut[k];
        if (f < w.lo || f > w.hi) continue;  // horizon ends outside the window
        const double x = nv[f] / nv[k] - 1.0;
        if (std::isnan(x)) continue;
        s += x;  // plain running sum in row order
        ret[n++] = x;
        if (x > 0) {
            ++pos;
            if (x <= 0.05) ++w0c;
            else if (x <= 0.1) ++w5c;
            else ++w10c;
        } else if (x >= -0.05) {
            ++l0c;  // zero is a loss band, not a win
        } else if (x >= -0.1) {
            ++l5c;
        } else {
            ++l10c;
        }
    }
    if (n == 0) return;  // no horizon: every result stays NaN
    const double cnt = static_cast<double>(n);
    res.avg[c] = s / cnt;
    res.med[c] = nan_median(ret.data(), n);
    res.win[c] = static_cast<double>(pos) / cnt;
    res.w0[c] = static_cast<double>(w0c) / cnt;
    res.w5[c] = static_cast<double>(w5c) / cnt;
    res.w10[c] = static_cast<double>(w10c) / cnt;
    res.l0[c] = static_cast<double>(l0c) / cnt;
    res.l5[c] = static_cast<double>(l5c) / cnt;
    res.l10[c] = static_cast<double>(l10c) / cnt;
}

py::tuple cal_rolling_gain(std::string i_code, fk::f64_array funds_val, fk::i64_array start_idx,
                           fk::i64_array end_idx, fk::i64_array day_arr) {
    const fk::Matrix m = fk::matrix_arg(funds_val, "returns");
    const std::int64_t D = m.rows;
    const std::int64_t N = m.cols;
    const std::int64_t* sptr = fk::vector_arg(start_idx, "start_idx", N, "columns");
    const std::int64_t* eptr = fk::vector_arg(end_idx, "end_idx", N, "columns");
    const std::int64_t* dptr = fk::vector_arg(day_arr, "dates", D, "rows");

    const std::int32_t months = parse_months(i_code);

    // Forward index: the row at which each row's horizon ends, found by one cursor that
    // only moves forward over the (sorted) dates; D - 1 where it ends beyond the last row.
    std::vector<std::int64_t> fut(static_cast<std::size_t>(D), D - 1);
    std::int64_t cur = 0;
    for (std::int64_t i = 0; i < D; ++i) {
        const std::int64_t tgt = add_months_ns(dptr[i], months);
        while (cur < D && (tgt == BEYOND || dptr[cur] < tgt)) ++cur;
        fut[i] = cur < D ? cur : D - 1;
    }
    const auto tail =
        static_cast<std::uint64_t>(std::count(fut.begin(), fut.end(), D - 1));

    Results res(static_cast<std::size_t>(N));
    // Worker t takes columns t, t + n_th, t + 2 n_th, ...; it builds the paths of GROUP of
    // its columns at a time, then their statistics one by one.
    fk::fan_out(static_cast<std::uint64_t>(N), [&](std::uint64_t t, std::uint64_t n_th) {
        const auto step = static_cast<std::int64_t>(n_th);
        const std::int64_t mine = (N - static_cast<std::int64_t>(t) + step - 1) / step;
        std::vector<double> nv(static_cast<std::size_t>(std::min(GROUP, mine) * D));
        std::vector<double> ret(static_cast<std::size_t>(D));
        for (auto first = static_cast<std::int64_t>(t); first < N; first += GROUP * step) {
            std::int64_t cols[GROUP];
            Window win[GROUP];
            int g = 0;
            for (std::int64_t c = first; c < N && g < GROUP; c += step, ++g) {
                cols[g] = c;
                win[g] = window_of(sptr[c], eptr[c], D);
            }
            build_paths(m, cols, win, g, nv.data());
            for (int j = 0; j < g; ++j)
                if (win[j].lo <= win[j].hi)
                    calc_col(cols[j], win[j], nv.data() + j * D, fut, tail, ret, res);
        }
    });

    return py::make_tuple(fk::to_numpy(res.avg), fk::to_numpy(res.med), fk::to_numpy(res.win),
                          fk::to_numpy(res.w0), fk::to_numpy(res.w5), fk::to_numpy(res.w10),
                          fk::to_numpy(res.l0), fk::to_numpy(res.l5), fk::to_numpy(res.l10));
}

}  // namespace

PYBIND11_MODULE(horizonret, m) {
    m.def("horizonret", &cal_rolling_gain,
          "Fully numpy-consistent C++ implementation of cal_rolling_gain");
}
