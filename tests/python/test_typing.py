"""The type stub matches the built module and describes the whole API
precisely enough for a strict type check."""
import os
import pathlib
import subprocess
import sys
import sysconfig

import pytest

import QuorBMF

HERE = pathlib.Path(__file__).resolve().parent
pytest.importorskip("mypy")
STUB = pathlib.Path(QuorBMF.__file__).with_name("QuorBMF.pyi")


def run(*args, where="QuorBMF"):
    env = dict(os.environ)
    installed = {sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]}
    if str(STUB.parent) not in installed:
        # A build tree: point both mypy and the interpreter at it.
        env["MYPYPATH"] = str(STUB.parent)
        env["PYTHONPATH"] = os.pathsep.join(
            [str(STUB.parent)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=HERE / where, env=env)


def test_stub_is_installed_beside_the_module():
    assert STUB.is_file()


def test_stub_agrees_with_the_module():
    allowlist = HERE / "QuorBMF" / "stubtest_allowlist.txt"
    proc = run("mypy.stubtest", "QuorBMF", "--allowlist", str(allowlist),
               "--mypy-config-file", os.devnull)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_strict_type_check_of_a_typed_program():
    proc = run("mypy", "--strict", "--no-incremental", "--config-file", os.devnull,
               "typed_example.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_typed_program_runs():
    program = HERE / "QuorBMF" / "typed_example.py"
    proc = subprocess.run([sys.executable, str(program)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr


def test_version_matches_the_package_metadata():
    from importlib import metadata

    try:
        installed = metadata.version("QuorBMF")
    except metadata.PackageNotFoundError:
        pytest.skip("module used from a build tree, not installed")
    assert installed == QuorBMF.__version__
    pyproject = (HERE.parents[1] / "pyproject.toml").read_text()
    assert f'version = "{QuorBMF.__version__}"' in pyproject


def test_strict_type_check_of_a_program_using_the_package():
    proc = run("mypy", "--strict", "--no-incremental", "--config-file", os.devnull,
               "typed_quorbmf.py", where="quorbmf")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    program = HERE / "quorbmf" / "typed_quorbmf.py"
    ran = subprocess.run([sys.executable, str(program)], capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr


def test_every_public_name_of_the_package_is_documented():
    import inspect

    import quorbmf

    for name in quorbmf.__all__:
        obj = getattr(quorbmf, name)
        if name.startswith("__"):
            continue
        doc = inspect.getdoc(obj) or ""
        assert len(doc) > 80, name
        if inspect.isclass(obj):
            for member, value in vars(obj).items():
                if not member.startswith("_") and callable(value):
                    assert (inspect.getdoc(value) or "").strip(), f"{name}.{member}"
    assert "Parameters" in inspect.getdoc(quorbmf.BooleanMF)
