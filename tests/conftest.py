# The numpy references the native modules are checked against live next to their tests
# (tests/krige/reference.py), where the benchmarks import them too.
