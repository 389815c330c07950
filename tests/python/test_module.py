"""Import-time behaviour of vorlan.vorlan: one module object per process, one
interpreter, its namespace, and what the shared object exports."""

import builtins
import importlib
import os
import shutil
import subprocess
import sys

import numpy
import pytest


def test_import_gives_the_same_module_object_also_after_removal(module):
    assert importlib.import_module("vorlan.vorlan") is module
    del sys.modules["vorlan.vorlan"]
    again = importlib.import_module("vorlan.vorlan")
    assert again is module
    assert sys.modules["vorlan.vorlan"] is module
    assert again.Vorlan is module.Vorlan


def test_namespace(module):
    ns = vars(module)
    assert ns["np"] is numpy
    assert ns["sys"] is sys
    assert ns["os"] is os
    assert ns["__builtins__"] is builtins
    assert ns["__test__"] == {}
    assert ns["Vorlan"].__name__ == "Vorlan"
    assert module.__name__ == "vorlan.vorlan"
    assert module.__package__ == "vorlan"
    assert module.__file__ == module.__spec__.origin
    assert not hasattr(module, "__path__")  # an extension module, not a package


def test_second_interpreter_is_refused(run_python):
    pytest.importorskip("_testcapi")
    proc = run_python(
        """
        import _testcapi
        import vorlan.vorlan
        code = '''
        try:
            import vorlan.vorlan
        except ImportError as e:
            print("refused:", e)
        else:
            print("loaded")
        '''
        assert _testcapi.run_in_subinterp(code) == 0
        print("main still has", vorlan.vorlan.Vorlan.__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "refused: Interpreter change detected - this module can only be loaded into one interpreter per process.",
        "main still has Vorlan",
    ]


def test_no_version_warning_on_the_interpreter_it_was_built_for(run_python):
    proc = run_python("import vorlan.vorlan", "-W", "error")
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""


def test_failed_initialisation_is_reported_and_can_be_retried(run_python):
    proc = run_python(
        """
        import sys, traceback
        sys.modules["numpy"] = None  # makes the import of numpy fail inside exec
        try:
            import vorlan.vorlan
        except ImportError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            print(type(e).__name__, names[-1])
        print("vorlan.vorlan" in sys.modules)
        del sys.modules["numpy"]
        import vorlan.vorlan as m
        print(m.np.__name__, m.Vorlan.__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["ModuleNotFoundError init vorlan.vorlan", "False", "numpy Vorlan"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_init_function_is_exported(module):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_vorlan"]
