"""The type stubs (stubs/pretrain-stubs, installed as the PEP 561 package
pretrain-stubs) against the modules they describe, and mypy --strict on the
example that calls every public callable."""
import ast
import asyncio
import importlib
import importlib.util
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import REPO, run_python

STUBS = REPO / "stubs" / "pretrain-stubs"
MODULES = ["analyzing_tools", "cls_head", "datasets", "image"]


def stub_tree(module):
    return ast.parse((STUBS / f"{module}.pyi").read_text())


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    return []


def public_stub_names(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                if alias.asname is not None:
                    names[alias.asname] = node
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
    return {name: node for name, node in names.items() if not name.startswith("_")}


def stub_parameters(function):
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    found = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, d) for a, d in zip(positional, defaults)]
    if args.vararg:
        found.append((args.vararg.arg, inspect.Parameter.VAR_POSITIONAL, None))
    found += [(a.arg, inspect.Parameter.KEYWORD_ONLY, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        found.append((args.kwarg.arg, inspect.Parameter.VAR_KEYWORD, None))
    return [(name, kind, inspect.Parameter.empty if default is None else ast.literal_eval(default))
            for name, kind, default in found]


def runtime_parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


def assert_function_matches(stub, function, where):
    assert stub_parameters(stub) == runtime_parameters(function), where
    assert isinstance(stub, ast.AsyncFunctionDef) == asyncio.iscoroutinefunction(function), where


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_every_public_name_of_the_module(name):
    module = importlib.import_module(f"pretrain.{name}")
    runtime = {n for n in vars(module) if not n.startswith("_")}
    tree = stub_tree(name)
    assert set(public_stub_names(tree)) == runtime
    # What `from pretrain.<name> import *` gives, and what mypy lets a user import.
    assert sorted(stub_all(tree)) == sorted(runtime)


@pytest.mark.parametrize("name", MODULES)
def test_stub_signatures_bases_and_coroutines_match_the_module(name):
    module = importlib.import_module(f"pretrain.{name}")
    for public, node in public_stub_names(stub_tree(name)).items():
        value = getattr(module, public, None)
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            assert_function_matches(node, value, f"{name}.{public}")
        elif isinstance(node, ast.ClassDef) and value.__module__ == module.__name__:
            assert value.__bases__ == (tuple(getattr(module, b.id) for b in node.bases) or (object,)), public
            metaclass = [k.value.id for k in node.keywords if k.arg == "metaclass"]
            assert type(value) is (getattr(module, metaclass[0]) if metaclass else type(value.__bases__[0]))
            methods = {m.name: m for m in node.body if isinstance(m, (ast.FunctionDef, ast.AsyncFunctionDef))}
            defined = {k for k, v in vars(value).items()
                       if inspect.isroutine(v) and (k == "__init__" or not k.startswith("_"))}
            assert set(methods) == defined, public
            for method, stub in methods.items():
                assert_function_matches(stub, vars(value)[method], f"{public}.{method}")


def run_mypy(*targets, cwd=REPO):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(REPO / "build" / "mypy-cache"), *targets],
        cwd=cwd, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def installed_stubs():
    if importlib.util.find_spec("mypy") is None:
        pytest.fail("mypy is missing from this environment; run make venv (tools.txt)")
    for entry in sys.path:
        if (Path(entry) / "pretrain-stubs" / "__init__.pyi").is_file():
            return Path(entry) / "pretrain-stubs"
    pytest.fail("pretrain-stubs is not installed beside the package; run make build")


def test_mypy_strict_accepts_the_example_that_calls_every_public_callable(installed_stubs):
    proc = run_mypy("examples/typed_usage.py")
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_mypy_strict_rejects_misuse_through_the_stubs(installed_stubs, tmp_path):
    script = tmp_path / "misuse.py"
    script.write_text(textwrap.dedent("""
        from pathlib import Path
        from pretrain.analyzing_tools import ClsAnalyzingTool
        from pretrain.datasets import SplitData

        async def scan() -> None:
            tool = ClsAnalyzingTool("data")
            paths: list[Path] = tool.get_path_list()
            await tool.get_random_images(count=3)
            SplitData(stop=0.5)
    """))
    out = run_mypy(str(script), cwd=tmp_path).stdout
    assert 'Incompatible types in assignment (expression has type "Coroutine[Any, Any, list[Path]]"' in out
    assert 'Unexpected keyword argument "count" for "get_random_images"' in out
    assert 'Unexpected keyword argument "stop" for "SplitData"' in out


def test_the_typed_example_runs(tmp_path):
    proc = run_python(None, args=(str(REPO / "examples" / "typed_usage.py"),),
                      env={"PRETRAIN_SAMPLE_DATA": None, "XDG_CACHE_HOME": str(tmp_path)})
    out = proc.stdout
    assert "1797 images, 10 classes, formats {'.png': 1797}, sizes {'(8, 8)': 1797}" in out
    assert "split and repeated: 6 entries" in out and "dataset: 1437 of 1797 images kept" in out
    assert "head scores (2, 10)" in out and "2 predictions" in out
