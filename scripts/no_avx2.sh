#!/usr/bin/env bash
# Runs the test suites on an emulated x86-64 processor without AVX2
# (Debian's qemu-user, CPU model Nehalem: SSE4.2 and POPCNT, no AVX), so the
# runtime dispatch must take the portable kernels everywhere.
#
#   bash scripts/no_avx2.sh          # C++ suite and the core Python suites
#   bash scripts/no_avx2.sh --all    # the whole Python suite (slow: ~10x)
#
# Uses build/core-tests and build/venv as scripts/test.sh leaves them.
set -euo pipefail
cd "$(dirname "$0")/.."
cpu=Nehalem

if ! command -v qemu-x86_64 >/dev/null; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -q qemu-user >/dev/null 2>&1 \
    || { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q qemu-user >/dev/null; }
fi
[ -x build/core-tests/tests/core/core_tests ] && [ -x build/venv/bin/python ] || bash scripts/test.sh >/dev/null

python=$(readlink -f build/venv/bin/python)
emulate() { qemu-x86_64 -cpu "$cpu" -E VIRTUAL_ENV="$PWD/build/venv" "$@"; }

echo "== the emulated processor reports no AVX2 =="
# qemu's translator still executes AVX2 instructions whatever the CPU model,
# so two checks together stand in for real hardware: the emulated processor
# must report no AVX2 (so the dispatch picks the portable kernels), and the
# built code may use 256-bit registers only inside the *_avx2 variants.
printf '#include <cstdio>\nint main() { std::printf("%%d\\n", __builtin_cpu_supports("avx2") ? 1 : 0); }\n' \
  > build/avx2_probe.cpp
g++ -O1 -o build/avx2_probe build/avx2_probe.cpp
[ "$(emulate build/avx2_probe 2>/dev/null)" = "0" ] || { echo "the emulated CPU reports AVX2" >&2; exit 1; }

echo "== 256-bit instructions only in functions named *_avx2 =="
# The kernels all live in the core libraries, which the (unstripped) C++ test
# binary links whole; the installed module is stripped of local symbols.
# Every function that uses a ymm register must be named *_avx2 itself: the
# own name is the identifier before the parameter list, outside template
# arguments and "(anonymous namespace)"; a lambda counts as part of the
# function it is written in. AVX2 helpers that are always inlined leave no
# function of their own behind.
for binary in build/core-tests/tests/core/core_tests; do
  offenders=$(objdump -d --no-show-raw-insn -C "$binary" | awk '
    function own_name(sym,    s, i, c, depth, name) {
      s = sym
      gsub(/\(anonymous namespace\)/, "", s)
      depth = 0; name = ""
      for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "<" || c == "{") { depth++; continue }
        if (c == ">" || c == "}") { depth--; continue }
        if (depth > 0) continue
        if (c == "(") return name
        if (c ~ /[A-Za-z0-9_]/) name = name c; else name = ""
      }
      return name
    }
    /^[0-9a-f]+ <.*>:$/ { fn = substr($0, index($0, "<") + 1); fn = substr(fn, 1, length(fn) - 2); next }
    /%ymm/ && fn !~ /testing::|gtest/ && own_name(fn) !~ /_avx2$/ { print fn }' | sort -u)
  if [ -n "$offenders" ]; then
    echo "functions not named *_avx2 use 256-bit registers in $binary:" >&2
    echo "$offenders" >&2
    exit 1
  fi
done

echo "== C++ suite without AVX2 =="
emulate build/core-tests/tests/core/core_tests --gtest_brief=1

echo "== Python suite without AVX2 =="
site=$(build/venv/bin/python -c "import sysconfig; print(sysconfig.get_paths()['purelib'])")
if [ "${1:-}" = "--all" ]; then
  tests=(tests/python)
else
  tests=(tests/python/QuorBMF/test_bitmatrix.py tests/python/QuorBMF/test_conversions.py tests/python/QuorBMF/test_boolls.py
         tests/python/QuorBMF/test_ao_bmf.py tests/python/QuorBMF/test_properties.py)
fi
emulate -E PYTHONPATH="$site" "$python" -m pytest -q -p no:cacheprovider "${tests[@]}"
