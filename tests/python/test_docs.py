"""The documentation site's sources: the API reference lists every public
name, the gallery runs every example script, and every Python block of the
pages runs. The site itself is built by scripts/docs.sh."""
import re
import runpy
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import QuorBMF
import quorbmf

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"


def documented_names(text):
    """Full names documented by an .rst page: the entries of its autosummary
    tables and its py:data/py:function/py:class directives, each under the
    current module (set by currentmodule, module or automodule)."""
    names, module, in_summary = set(), "", False
    for line in text.splitlines():
        directive = re.match(r"\.\. (?:py:)?(currentmodule|module|automodule)::\s*(\S+)", line)
        if directive:
            module, in_summary = directive.group(2), False
            continue
        obj = re.match(r"\.\. py:(?:data|function|class)::\s*([\w.]+)", line)
        if obj:
            names.add(f"{module}.{obj.group(1)}")
            in_summary = False
            continue
        if line.startswith(".. autosummary::"):
            in_summary = True
            continue
        if in_summary:
            entry = re.match(r"   ([A-Za-z_][\w.]*)\s*$", line)
            if entry:
                names.add(f"{module}.{entry.group(1)}")
            elif line.strip() and not line.startswith("   "):
                in_summary = False
    return names


def test_api_reference_lists_every_public_name():
    names = documented_names((DOCS / "api.rst").read_text(encoding="utf-8"))
    missing = [f"quorbmf.{n}" for n in quorbmf.__all__ if f"quorbmf.{n}" not in names]
    missing += [f"QuorBMF.{n}" for n in QuorBMF.__all__ if f"QuorBMF.{n}" not in names]
    assert missing == []
    # The reader: an entry under the wrong module, or a prefix of another
    # name, does not count.
    sample = ".. currentmodule:: QuorBMF\n\n.. autosummary::\n   :toctree: generated\n\n" \
             "   as_packed_observed\n\nText.\n\n   BooleanMF\n"
    assert documented_names(sample) == {"QuorBMF.as_packed_observed"}


def test_gallery_runs_every_example():
    conf = runpy.run_path(str(DOCS / "conf.py"))["sphinx_gallery_conf"]
    gallery = DOCS / conf["examples_dirs"][0]
    assert (gallery / "GALLERY_HEADER.rst").exists()

    def runs(path):
        name = path.name
        return (re.search(conf["filename_pattern"], str(path)) is not None
                and re.search(conf["ignore_pattern"], name) is None)

    wrappers = {p.name: p.read_text(encoding="utf-8") for p in gallery.glob("*.py") if runs(p)}
    assert "gallery_tools.py" not in wrappers
    examples = sorted(p.stem for p in (ROOT / "examples").glob("*.py")
                      if p.name != "example_tools.py")
    assert examples, "no example found"
    unshown = []
    for stem in examples:
        source = wrappers.get(f"plot_{stem}.py", "")
        loads = re.search(rf"^import {stem}$|run_module\(\"{stem}\"", source, re.MULTILINE)
        calls = f"{stem}.main(" in source or f'run_module("{stem}"' in source
        if not (loads and calls):
            unshown.append(stem)
    assert unshown == []


def python_blocks(text):
    """The bodies of the ``.. code-block:: python`` directives of an .rst text."""
    blocks, lines, k = [], text.splitlines(), 0
    while k < len(lines):
        if lines[k].strip() == ".. code-block:: python":
            k += 1
            while k < len(lines) and lines[k].strip().startswith(":"):
                k += 1   # the directive's options
            body = []
            while k < len(lines) and (not lines[k].strip() or lines[k].startswith("   ")):
                body.append(lines[k])
                k += 1
            blocks.append(textwrap.dedent("\n".join(body)).strip() + "\n")
        else:
            k += 1
    return blocks


PAGES = sorted(DOCS.glob("**/*.rst"))
BLOCKS = [(page.relative_to(DOCS).as_posix(), n, code) for page in PAGES
          if "_build" not in page.parts and "generated" not in page.parts
          and "auto_examples" not in page.parts and "_templates" not in page.parts
          for n, code in enumerate(python_blocks(page.read_text(encoding="utf-8")))]


def test_python_blocks_are_found():
    sample = "Text:\n\n.. code-block:: python\n   :caption: c\n\n   x = 1\n\n   y = x\nAfter.\n"
    assert python_blocks(sample) == ["x = 1\n\ny = x\n"]
    assert len(BLOCKS) >= 10


@pytest.mark.parametrize("page,index,code", BLOCKS, ids=[f"{p}-{n}" for p, n, _ in BLOCKS])
def test_python_block_runs(page, index, code):
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=ROOT, timeout=120)
    assert proc.returncode == 0, proc.stderr
