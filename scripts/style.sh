#!/usr/bin/env bash
# The style checks: every C++ file laid out as .clang-format says (Debian's
# clang-format, installed when missing), ruff over the Python sources, tests,
# benchmarks, examples and documentation (docs/), and mypy --strict on the
# quorbmf package (both configured in pyproject.toml). Runs all three and fails if any fails.
# Uses the virtual environment of scripts/test.sh (build/venv) when present.
set -uo pipefail
cd "$(dirname "$0")/.."

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
if ! command -v clang-format >/dev/null; then
  $sudo apt-get install -y -q clang-format >/dev/null 2>&1 \
    || { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q clang-format >/dev/null; }
fi

python="${PYTHON:-python3}"
if [ -x build/venv/bin/python ]; then python=build/venv/bin/python; fi
"$python" -c "import mypy, ruff" 2>/dev/null || "$python" -m pip install -q mypy ruff

failed=()

echo "== clang-format ($(clang-format --version | grep -o 'version [0-9.]*')) =="
mapfile -t sources < <(find src tests benchmarks -name '*.cpp' -o -name '*.hpp' -o -name '*.h' | sort)
if clang-format --dry-run -Werror "${sources[@]}"; then
  echo "${#sources[@]} files formatted"
else
  failed+=(clang-format)
fi

echo "== ruff =="
"$python" -m ruff check python tests benchmarks examples docs || failed+=(ruff)

echo "== mypy --strict =="
"$python" -m mypy --strict python/quorbmf || failed+=(mypy)

if [ ${#failed[@]} -gt 0 ]; then
  echo "style checks failed: ${failed[*]}" >&2
  exit 1
fi
