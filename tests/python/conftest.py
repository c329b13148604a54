import os
import subprocess
import sys

import pytest


def run_python(code, env=None):
    """Runs code in a fresh interpreter and returns the completed process."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)


@pytest.fixture
def fresh_python():
    return run_python


# Under AddressSanitizer freed memory sits in a quarantine and the resident
# size grows regardless of leaks: resident-memory checks are meaningless there.
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")
skip_under_sanitizer = pytest.mark.skipif(UNDER_SANITIZER,
                                          reason="resident size is not meaningful under ASan")
