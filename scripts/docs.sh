#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html and runs the docstring
# examples as doctests. Every Sphinx warning is an error (a broken
# cross-reference too: the build is nitpicky), and so is a gallery example
# that raises.
#
# The Python used: $PYTHON, else the virtual environment of scripts/test.sh
# (build/venv), created when missing. What the build needs (the "docs" and
# "examples" extras of pyproject.toml) is installed into it when missing, and
# the package itself (a C++ build) when it cannot be imported. A worktree whose
# python/quorbmf holds a built native module is documented from there.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${PYTHON:-}"
if [ -z "$python" ]; then
  [ -x build/venv/bin/python ] || python3 -m venv build/venv
  python=build/venv/bin/python
fi

# The requirements of the docs and examples extras, read from pyproject.toml.
requirements() {
  "$python" - <<'PY'
import re
from pathlib import Path

text = Path("pyproject.toml").read_text(encoding="utf-8")
for extra in ("docs", "examples"):
    found = re.search(rf"^{extra} = \[(.*?)\]", text, re.MULTILINE | re.DOTALL)
    if found is None:
        raise SystemExit(f"pyproject.toml has no '{extra}' extra")
    print("\n".join(re.findall(r'"([^"]+)"', found.group(1))))
PY
}
if ! "$python" -c "import sphinx, numpydoc, sphinx_gallery, pydata_sphinx_theme, myst_parser, \
pytest, matplotlib, pandas, sklearn" 2>/dev/null; then
  mapfile -t reqs < <(requirements)
  "$python" -m pip install -q "${reqs[@]}"
fi

pythonpath="$PWD/examples"
if compgen -G "python/quorbmf/_native*.so" >/dev/null; then
  pythonpath="$PWD/python:$pythonpath"
fi
export PYTHONPATH="$pythonpath${PYTHONPATH:+:$PYTHONPATH}"
if ! "$python" -c "import quorbmf, QuorBMF" 2>/dev/null; then
  "$python" -m pip install -q .
fi

echo "== Sphinx (warnings are errors) =="
rm -rf docs/generated docs/auto_examples
"$python" -m sphinx -W --keep-going -b html docs docs/_build/html

echo "== Docstring examples =="
"$python" -m pytest -q -p no:cacheprovider --doctest-modules --pyargs quorbmf
