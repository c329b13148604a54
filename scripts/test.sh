#!/usr/bin/env bash
# Installs what the tests need and runs every test: the C++ core suite
# (GoogleTest through CTest) and the Python suite (pytest) against the
# module installed in a private virtual environment; the documentation site
# (scripts/docs.sh: warnings as errors, the gallery run, the doctests); then
# the style checks (scripts/style.sh: clang-format, ruff, mypy --strict).
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
apt_install() {
  $sudo apt-get install -y -q "$@" >/dev/null 2>&1 \
    || { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q "$@" >/dev/null; }
}

# GoogleTest from Debian's packages when missing.
[ -f /usr/include/gtest/gtest.h ] || apt_install libgtest-dev

echo "== C++ core tests =="
cmake -S . -B build/core-tests -DQUORBMF_PYTHON=OFF -DQUORBMF_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/core-tests -j 2
ctest --test-dir build/core-tests --output-on-failure -j 2

echo "== Python tests =="
python3 -m venv build/venv
build/venv/bin/python -m pip install -q --upgrade pip >/dev/null
build/venv/bin/python -m pip install -q ".[test,examples,docs]"
build/venv/bin/python -m pytest -q tests/python

echo "== Documentation =="
PYTHON=build/venv/bin/python bash scripts/docs.sh

echo "== Style checks =="
bash scripts/style.sh
