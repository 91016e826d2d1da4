"""Plain-Python definitions of the indicators, one module per indicator.

Each function takes the same arguments as the compiled function of the same name (inside
its input contract: a two-dimensional float64 matrix, vectors long enough) and returns the
same result, written as directly as Python allows, with no attention to speed. The tests,
the benchmark's correctness check and the fuzz targets all compare against these.
"""
