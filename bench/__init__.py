"""Benchmark and the NumPy peers of the indicators (run as python -m bench.run)."""
