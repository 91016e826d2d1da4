"""The README's performance tables are generated from a benchmark record: the generator must
write the record's figures, in their columns, and nothing outside its markers."""

import pytest

from bench import record

RECORD = {
    "commit": "abc123",
    "when": "2026-12-09T03:00:00+00:00",
    "repeat": 7,
    "load": [1.5, 2.0],
    "machine": {"cores": 2, "cpu": "Test CPU"},
    "thread_start_us": {"1": 12.0, "2": 30.0},
    "large": [
        {
            "case": "troughmend",
            "rows": 10,
            "cols": 20,
            "order": o,
            "module_s": 1.0,
            "numba_s": q,
            "read_s": 0.5,
            "numba_over_module": q,
            "module_over_read": 2.0 * q,
        }
        for o, q in (("C", 4.25), ("F", 3.0))
    ],
    "small": [
        {
            "case": "troughmend",
            "rows": 6,
            "cols": 3,
            "order": "C",
            "module_us": 20.4,
            "beyond_us": 8.4,
            "numba_us": 7.0,
        }
    ],
    "f_over_c": {"troughmend": {"10x20": 1.0}},
    "speedup_1_to_all": {"troughmend": 1.75},
    "peak_extra_mib": {"troughmend": {"C": 0.5, "F": 0.25}},
}


# The small call's excess is shown in the steadiest measure the record has.
@pytest.mark.parametrize(
    "measures, shown",
    [
        ({}, "+8"),
        ({"beyond_cpu_us": 5.2}, "+5"),
        ({"beyond_cpu_us": 5.2, "beyond_user_us": 3.4}, "+3"),
    ],
)
def test_table_from_record_replaces_only_the_marked_part(tmp_path, measures, shown):
    readme = tmp_path / "README.md"
    readme.write_text(f"# Title\n\nbefore\n{record.BEGIN}\nold table\n{record.END}\nafter\n")
    lines = record.table({**RECORD, "small": [{**RECORD["small"][0], **measures}]})
    record.put_in_readme(lines, readme)
    record.put_in_readme(lines, readme)  # a second run changes nothing
    text = readme.read_text()
    assert text.startswith("# Title\n\nbefore\n" + record.BEGIN + "\n")
    assert text.endswith(record.END + "\nafter\n") and "old table" not in text
    rows = [line for line in text.splitlines() if line.startswith("| `troughmend`")]
    assert rows == [
        f"| `troughmend` | 4.2, 3.0 | 8.5, 6.0 | 20 ({shown}), 7 |",
        "| `troughmend` | 1.00 | 1.75 | 0.5, 0.2 |",
    ]


def test_compare_sets_cases_side_by_side():
    faster = {
        **RECORD,
        "large": [
            dict(r, module_s=0.5, numba_over_module=2 * r["numba_over_module"])
            for r in RECORD["large"]
        ],
    }
    lines = record.compare(RECORD, faster)
    assert len(lines) == 2 + 3  # two heads, two large cases, one small
    c_line = next(line for line in lines if " C " in line and "10x20" in line)
    assert c_line.split()[3:6] == ["0.50", "4.25", "8.50"]


def test_table_from_record_of_calls_without_threads():
    # Later records: small calls timed as they are (no thread to subtract), the path each
    # module took, and the AVX-512 path's time over the AVX2 path's.
    rec = {
        **RECORD,
        "small": [{k: v for k, v in RECORD["small"][0].items() if k != "beyond_us"}],
        "machine": {**RECORD["machine"], "paths": {"troughmend": "avx512", "crossodds": "avx2"}},
        "avx512_over_avx2": {"troughmend": {"C": 0.8125, "F": 1.25}},
    }
    lines = record.table(rec)
    assert "Paths taken: avx2 (crossodds), avx512 (troughmend)." in lines[0]
    assert "thread" in lines[0] and "µs in that run" not in lines[0]
    rows = [line for line in lines if line.startswith("| `troughmend`")]
    assert rows == [
        "| `troughmend` | 4.2, 3.0 | 8.5, 6.0 | 20.4, 7.0 |",
        "| `troughmend` | 1.00 | 1.75 | 0.5, 0.2 | 0.81, 1.25 |",
    ]
