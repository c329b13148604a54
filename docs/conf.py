"""Sphinx configuration of the QuorBMF documentation.

Built by ``bash scripts/docs.sh`` (``sphinx-build -W --keep-going -b html
docs docs/_build/html``) with ``python`` and ``examples`` on the path; every
warning, broken cross-reference included (``nitpicky``), fails the build, and
so does a gallery example that raises.
"""
from __future__ import annotations
import __future__ as future_flags

import inspect
import sys
from pathlib import Path
from typing import Any, Dict, List

ROOT = Path(__file__).resolve().parents[1]
# The examples and the gallery's helpers are imported by name; the package from
# the checkout when its native module was built there, else as installed.
folders = ["examples", "docs/gallery"]
if any((ROOT / "python" / "quorbmf").glob("_native*.so")):
    folders.append("python")
for folder in folders:
    if str(ROOT / folder) not in sys.path:
        sys.path.insert(0, str(ROOT / folder))

import QuorBMF  # noqa: E402

project = "QuorBMF"
author = "the QuorBMF developers"
copyright = "2026, the QuorBMF developers"
release = version = QuorBMF.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "myst_parser",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "gallery/*.py", "gallery/GALLERY_HEADER.rst"]
templates_path = ["_templates"]
nitpicky = True

autosummary_generate = True
autodoc_typehints = "none"
autodoc_default_options = {"inherited-members": False}
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

myst_heading_anchors = 3

html_theme = "pydata_sphinx_theme"
html_title = f"QuorBMF {release}"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}

# The gallery: one small wrapper per script of examples/ (docs/gallery/plot_<name>.py),
# run at a small size; it shows what the script prints and the PNG it writes. A wrapper
# that raises fails the build.
sphinx_gallery_conf = {
    "examples_dirs": ["gallery"],
    "gallery_dirs": ["auto_examples"],
    "filename_pattern": r"plot_.*\.py$",
    "ignore_pattern": r"gallery_tools\.py$",
    "only_warn_on_example_error": False,
    "abort_on_example_error": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
    "plot_gallery": "True",
}


def _stub_namespace() -> Dict[str, Any]:
    """The type stub of the compiled ``QuorBMF`` module, executed as Python: its
    docstrings document the module, whose own objects carry none."""
    source = (ROOT / "src" / "bmf_py" / "QuorBMF.pyi").read_text(encoding="utf-8")
    code = compile(source, "QuorBMF.pyi", "exec",
                   flags=future_flags.annotations.compiler_flag, dont_inherit=True)
    namespace: Dict[str, Any] = {"__name__": "QuorBMF_stub"}
    exec(code, namespace)
    return namespace


_STUB = _stub_namespace()


def _stub_docstring(app: Any, what: str, name: str, obj: Any, options: Any,
                    lines: List[str]) -> None:
    """Fills in the docstring of a ``QuorBMF`` object from the stub."""
    if not name.startswith("QuorBMF.") or any(line.strip() for line in lines):
        return
    target: Any = _STUB
    for part in name.split(".")[1:]:
        target = target.get(part) if isinstance(target, dict) else getattr(target, part, None)
        if target is None:
            return
    doc = getattr(target, "__doc__", None)
    if isinstance(target, property) and target.fget is not None:
        doc = target.fget.__doc__
    if doc:
        # The stub's docstrings use Google-style sections (Raises:, Returns:).
        from sphinx.ext.napoleon import Config
        from sphinx.ext.napoleon.docstring import GoogleDocstring

        text = inspect.cleandoc(doc).splitlines()
        lines[:] = GoogleDocstring(text, Config(napoleon_use_rtype=False), app, what, name,
                                   obj, options).lines()


def setup(app: Any) -> None:
    # Before numpydoc's handler, which then reads the filled-in text.
    app.connect("autodoc-process-docstring", _stub_docstring, priority=100)

# Figures drawn by the pages' ``.. plot::`` blocks: one PNG each, no links
# to their sources or to other formats.
plot_formats = [("png", 100)]
plot_html_show_source_link = False
plot_html_show_formats = False
