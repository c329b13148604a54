"""Every Python block of the README runs, and every shell block names
commands and files that exist, so the README cannot go stale."""
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"```(\w+)\n(.*?)```", README, flags=re.S)
PYTHON_BLOCKS = [code for lang, code in BLOCKS if lang == "python"]
SHELL_BLOCKS = [code for lang, code in BLOCKS if lang == "sh"]


def test_readme_has_blocks():
    assert len(PYTHON_BLOCKS) >= 4 and len(SHELL_BLOCKS) >= 2


@pytest.mark.parametrize("index", range(len(PYTHON_BLOCKS)))
def test_python_block_runs(index):
    proc = subprocess.run([sys.executable, "-c", PYTHON_BLOCKS[index]], capture_output=True,
                          text=True,
                          cwd=ROOT, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_shell_blocks_name_existing_files():
    for code in SHELL_BLOCKS:
        for path in re.findall(r"(?:bash|python) ([\w./-]+\.(?:sh|py))", code):
            assert (ROOT / path).is_file(), path


def test_the_two_commands_are_stated():
    assert "pip install . && python examples/mushroom.py" in README
    assert "bash scripts/test.sh" in README
    ci = (ROOT / ".ci" / "run").read_text()
    assert "scripts/test.sh" in ci
