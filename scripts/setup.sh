#!/usr/bin/env bash
# Prepares a fresh machine: system packages, a Python 3.13 virtual
# environment in .venv, the GDAL binding built for that interpreter, and the
# package itself (editable). Safe to run again; finished steps are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
VENV="$ROOT/.venv"
STAMP="$VENV/.setup-done"

find_python() {
  local candidate
  for candidate in /usr/bin/python3.13 \
      "$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13 \
      /root/.pyenv/versions/3.13*/bin/python3.13 \
      "$(command -v python3.13 2>/dev/null)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      echo "$candidate"
      return 0
    fi
  done
  echo "setup: no CPython 3.13 found" >&2
  return 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_packages=(libgdal-dev gdal-bin g++ make libnanoflann-dev libeigen3-dev)
if [ "${ORV_WITH_BROWSER:-0}" = 1 ]; then
  apt_packages+=(chromium)
fi
missing=()
for pkg in "${apt_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}"
fi

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$(cat pyproject.toml requirements-dev.txt | sha256sum)" ]; then
  exit 0
fi

PY=$(find_python)
# Debian's own interpreter needs its headers and venv module from apt.
if [ "$PY" = /usr/bin/python3.13 ]; then
  for pkg in python3.13-dev python3.13-venv; do
    if ! dpkg -s "$pkg" >/dev/null 2>&1; then
      as_root apt-get update -qq
      DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq python3.13-dev python3.13-venv
      break
    fi
  done
fi
if [ ! -x "$VENV/bin/python" ]; then
  "$PY" -m venv "$VENV"
fi
VPY="$VENV/bin/python"
"$VPY" -m pip install -q --upgrade pip
"$VPY" -m pip install -q -r requirements-dev.txt

# The binding must match the system library exactly; numpy is needed at its
# build time for the array module.
GDAL_VERSION=$(gdal-config --version)
if ! "$VPY" -c "from osgeo import gdal; import sys; sys.exit(gdal.__version__ != '$GDAL_VERSION')" 2>/dev/null; then
  "$VPY" -m pip install -q --no-build-isolation "gdal==$GDAL_VERSION"
fi

"$VPY" -m pip install -q --no-build-isolation -e .
cat pyproject.toml requirements-dev.txt | sha256sum > "$STAMP"
