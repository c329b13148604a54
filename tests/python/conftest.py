import subprocess
import sys

import pytest


def run_python(code, env=None):
    """Runs code in a fresh interpreter and returns the completed process."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)


@pytest.fixture
def fresh_python():
    return run_python
