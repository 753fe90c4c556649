# The README's commands. Every target sets the machine up first (idempotent).
PY := .venv/bin/python
SHELL := /bin/bash

.PHONY: setup install demo test test-asan bench lint format clean

setup:
	@scripts/setup.sh

# Rebuilds the native modules incrementally into the editable install, with
# warnings as errors; a failed build stops here.
install: setup
	@set -o pipefail; ORV_WERROR=ON $(PY) -m pip install -q --no-build-isolation -e . 2>&1 \
	  | { grep -v "^WARNING: Location" || true; }
	@$(PY) -c "import orv._algos.geo.driver, orv._algos.spmis.krige.core"

demo: install
	$(PY) examples/demo.py

test: install
	$(PY) -m pytest -q

# The whole suite against modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
test-asan: setup
	@scripts/test-asan.sh

# GSTools, scikit-gstat and pyogrio (with pyarrow) are peers the semivariogram,
# kriging and dataset benchmarks compare with, installed for the benchmarks only
# (not dependencies of the package).
bench: install
	@$(PY) -m pip install -q gstools gstools-core scikit-gstat pyogrio pyarrow 2>&1 | grep -v "^WARNING: Location" || true
	$(PY) benchmarks/bench_krige.py
	$(PY) benchmarks/bench_registry.py
	$(PY) benchmarks/bench_distributed.py
	$(PY) benchmarks/bench_dataset.py
	$(PY) benchmarks/bench_variogram.py
	$(PY) benchmarks/bench_kriging.py

lint: install
	.venv/bin/ruff check src tests benchmarks examples
	.venv/bin/ruff format --check src tests benchmarks examples
	cd src && MYPY_CACHE_DIR=../build/mypy-cache ../$(PY) -m mypy.stubtest \
	  --allowlist ../tests/typing/stubtest-allowlist.txt orv._algos.geo.driver orv._algos.spmis.krige.core
	.venv/bin/clang-format --dry-run -Werror $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')
	@# Private CPython interfaces are used through pyrt/cpython_private.* only.
	! git grep -nE '\b_Py[A-Za-z]|PyUnstable_|_suggestions' -- 'src/native/*' ':!src/native/pyrt/cpython_private.*'

format: setup
	.venv/bin/ruff format src tests benchmarks examples
	.venv/bin/clang-format -i $$(git ls-files 'src/native/*.cpp' 'src/native/*.hpp')

clean:
	rm -rf build .venv-asan
