"""The module frame: registration, version, import rules and the internal
exception class."""
import inspect

import pytest

import QuorBMF


def test_version_and_public_names():
    assert QuorBMF.__version__ == "0.1.1"
    registered = [n for n in QuorBMF.__all__ if n not in ("BitMatrix", "BoolLs", "BmfResult",
                                                          "ao_bmf", "boolls")]
    assert registered == ["methods", "__version__"]
    order = ["BitMatrix", "BoolLs", "BmfResult", "ao_bmf", "boolls", "methods", "__version__"]
    assert QuorBMF.__all__ == [n for n in order if n in QuorBMF.__all__]
    for name in QuorBMF.__all__:
        assert hasattr(QuorBMF, name)


def test_module_docstring_is_empty():
    assert QuorBMF.__doc__ == ""


def test_import_does_not_import_numpy(fresh_python):
    proc = fresh_python("import sys, QuorBMF; print('numpy' in sys.modules)")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "False"


def test_second_initialisation_is_refused(fresh_python):
    proc = fresh_python(
        "import QuorBMF, sys\n"
        "first = QuorBMF\n"
        "del sys.modules['QuorBMF']\n"
        "try:\n"
        "    import QuorBMF\n"
        "except ImportError as e:\n"
        "    print('refused:', e)\n"
        "print(first.methods())\n"
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("refused:") and "only be initialised once" in lines[0]
    # The module built first stays usable.
    assert lines[1] == "['naive', 'zeta', 'greedy', 'greedy-ls']"


def test_repeated_import_returns_the_cached_module():
    import importlib

    assert importlib.import_module("QuorBMF") is QuorBMF


def test_functions_belong_to_the_module():
    assert QuorBMF.methods.__module__ == "QuorBMF"
    assert QuorBMF.methods.__doc__ is None
    assert QuorBMF.methods.__text_signature__ == "()"
    assert str(inspect.signature(QuorBMF.methods)) == "()"


def test_methods_returns_a_new_list_each_call():
    first = QuorBMF.methods()
    assert first == ["naive", "zeta", "greedy", "greedy-ls"]
    first.append("mutated")
    first[0] = "x"
    assert QuorBMF.methods() == ["naive", "zeta", "greedy", "greedy-ls"]
    assert QuorBMF.methods() is not QuorBMF.methods()


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "methods() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "methods() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "methods() got an unexpected keyword argument 'x'"),
    ],
)
def test_methods_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        QuorBMF.methods(*args, **kwargs)
    assert str(info.value) == message
