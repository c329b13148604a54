#!/usr/bin/env bash
# Builds the core, its tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs the C++ suite (LeakSanitizer on) and
# the Python suite with the sanitizer runtime preloaded. Any report fails.
# Uses the interpreter of build/venv (made by scripts/test.sh) when present.
#
# The build forces the portable kernels (QUORBMF_PORTABLE_KERNELS), so this
# pass runs every portable kernel under the sanitizers while scripts/test.sh
# runs the processor's best ones: CI covers both with one pass each.
#   bash scripts/sanitize.sh                 # portable kernels
#   bash scripts/sanitize.sh --best-kernels  # the processor's best kernels
set -euo pipefail
cd "$(dirname "$0")/.."

portable=ON
case "${1:-}" in
  "") ;;
  --best-kernels) portable=OFF ;;
  *) echo "usage: $0 [--best-kernels]" >&2; exit 2 ;;
esac

python="${PYTHON:-python3}"
if [ -x build/venv/bin/python ]; then python=build/venv/bin/python; fi
"$python" -c "import numpy, pytest" 2>/dev/null || "$python" -m pip install -q numpy pytest hypothesis

cmake -S . -B build/sanitize -DQUORBMF_SANITIZE=ON -DQUORBMF_TESTS=ON -DQUORBMF_PYTHON=ON \
  -DQUORBMF_PORTABLE_KERNELS=$portable -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$(command -v "$python" || echo "$python")" >/dev/null
cmake --build build/sanitize -j 2

echo "== C++ suite under ASan + UBSan + LSan (portable kernels forced: $portable) =="
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j 2

echo "== Python suite under ASan + UBSan (portable kernels forced: $portable) =="
# The interpreter itself is not instrumented: leaks are not tracked there.
asan_runtime="$(g++ -print-file-name=libasan.so)"
ubsan_runtime="$(g++ -print-file-name=libubsan.so)"
LD_PRELOAD="$asan_runtime $ubsan_runtime" \
ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
PYTHONPATH=build/sanitize/src/bmf_py \
  "$python" -m pytest -q -p no:cacheprovider tests/python
