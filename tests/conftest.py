import pathlib
import sys

# The benchmarks hold the plain numpy versions of the documented algorithms;
# tests compare the native modules against them.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
