"""The documentation site's sources: the API reference lists every public
name, and the gallery runs every example script. Reads the files only; the
site itself is built by scripts/docs.sh."""
import re
import runpy
from pathlib import Path

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
    assert (gallery / "README.rst").exists()

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
