"""The code the performance report compares a strategy with."""

BENCHMARK_CODE = "0050"
