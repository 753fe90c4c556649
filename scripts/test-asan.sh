#!/usr/bin/env bash
# Builds the native modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into a separate environment (.venv-asan) that borrows every other package
# from .venv, then runs the whole test suite with the ASan runtime preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
# Every site directory the base environment sees (its own and any it borrows).
BASE_SITE=$("$ROOT/.venv/bin/python" -c \
  'import sys; print("\n".join(p for p in sys.path if p.endswith("site-packages")))')
PY=$("$ROOT/.venv/bin/python" -c 'import sys; print(sys._base_executable)')
if [ ! -x .venv-asan/bin/python ]; then
  "$PY" -m venv .venv-asan
fi
ASAN_SITE=$(.venv-asan/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# A plain path entry: the base environment's packages without its .pth hooks,
# so the editable install of .venv does not shadow the sanitized build.
echo "$BASE_SITE" > "$ASAN_SITE/zz_base_env.pth"

ORV_WERROR=ON ORV_SANITIZE=ON .venv-asan/bin/python -m pip install -q --no-build-isolation --no-deps \
  -Cbuild-dir=build/asan . 2>&1 | { grep -v "^WARNING: Location" || true; }

ASAN_LIB=$(g++ -print-file-name=libasan.so)
UBSAN_LIB=$(g++ -print-file-name=libubsan.so)
# The interpreter itself is not built with LeakSanitizer in mind: leak
# detection stays off; every other ASan and UBSan finding aborts the run.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ORV_UNDER_SANITIZER=1
cd "$ROOT/build" 2>/dev/null || mkdir -p "$ROOT/build"
cd "$ROOT"
# Run from outside the source tree so that the installed (sanitized) package
# is the one imported.
LD_PRELOAD="$ASAN_LIB:$UBSAN_LIB" .venv-asan/bin/python -m pytest -q -p no:cacheprovider \
  --rootdir="$ROOT" -c "$ROOT/pyproject.toml" "${@:-$ROOT/tests}"
