#!/usr/bin/env bash
# Incremental development build into the given directory (default build/dev);
# the modules are copied into src/orv so that `PYTHONPATH=src` uses them.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build/dev}
PY=$(pwd)/.venv/bin/python
# Configured once; again when the directory predates ORV_WERROR (warnings are
# errors in development builds).
if [ ! -f "$BUILD/build.ninja" ] || ! grep -q '^ORV_WERROR:BOOL=ON' "$BUILD/CMakeCache.txt"; then
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORV_INPLACE=ON -DORV_WERROR=ON \
    -DPython_EXECUTABLE="$PY" -Dpybind11_DIR="$("$PY" -c 'import pybind11; print(pybind11.get_cmake_dir())')" \
    ${ORV_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$BUILD" -j 1
