"""The package module's import state: the spec is marked as initialising only
while the package body runs, concurrent first imports wait for it as they do
for a Python package, and sub-interpreters are refused cleanly."""
import pytest

from conftest import run_python


@pytest.mark.parametrize("name", ["pretrain", "__pycache__"])
def test_spec_is_not_left_initialising(name):
    proc = run_python(f"""
        import {name} as m
        print(m.__spec__._initializing)
        try:
            m.nope
        except AttributeError as e:
            print(e)
        try:
            from {name} import nope
        except ImportError as e:
            print(e)
    """)
    lines = proc.stdout.splitlines()
    assert lines[0] == "False"
    assert lines[1] == f"module '{name}' has no attribute 'nope'"
    assert "partially initialized" not in proc.stdout
    assert lines[2].startswith(f"cannot import name 'nope' from '{name}'")


def test_concurrent_first_imports_wait_for_the_package():
    # The stack is imported first: its own modules are not safe to import
    # from several threads at once, whichever package asks for them.
    code = """
        import sys, threading
        import PIL.Image, glob, pathlib, random, collections, asyncio, logging
        import torch, mmengine.registry, mmcv.transforms.base, mmpretrain.registry
        import mmpretrain.datasets.custom, mmpretrain.models, mmpretrain.structures
        import ravelin.pretrain.analyzing_tools, ravelin.base.meta_class
        names = ["pretrain", "pretrain.analyzing_tools", "pretrain.image", "pretrain.cls_head",
                 "pretrain.analyzing_tools", "pretrain", "pretrain.image"]
        barrier = threading.Barrier(len(names))
        errors = []
        def work(name):
            barrier.wait()
            try:
                __import__(name)
                module = sys.modules[name]
                assert not module.__spec__._initializing, name
            except BaseException as e:
                errors.append(f"{name}: {type(e).__name__}: {e}")
        sys.setswitchinterval(1e-6)
        threads = [threading.Thread(target=work, args=(n,)) for n in names]
        for t in threads: t.start()
        for t in threads: t.join()
        print(errors)
    """
    for _ in range(2):
        assert run_python(code).stdout.strip().splitlines()[-1] == "[]"


def test_sub_interpreters_are_refused_and_leave_the_main_one_working():
    proc = run_python("""
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        interpreters.run_string(sub, "for name in ('pretrain', '__pycache__'):\\n"
                                     "    try: __import__(name)\\n"
                                     "    except ImportError as e: print(e)\\n")
        interpreters.destroy(sub)
        import pretrain, pretrain.analyzing_tools, __pycache__
        print(pretrain.analyzing_tools.ClsAnalyzingTool.__name__, list(__pycache__.__path__)[0].endswith("__pycache__"))
    """)
    assert proc.stdout.splitlines() == [
        "pretrain does not support sub-interpreters",
        "__pycache__ does not support sub-interpreters",
        "ClsAnalyzingTool True",
    ]
