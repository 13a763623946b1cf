"""The native runtime under abuse: wrong arguments, missing attributes,
monkeypatched standard-library pieces and failing callbacks must end in a
Python exception (never a crash of the interpreter), and repeated calls,
failing or not, must leave no references or memory behind."""
import gc
import importlib.machinery
import importlib.metadata
import os
import shutil
import sys
import textwrap
import tracemalloc
import types

import pytest

import pretrain
from conftest import run_python

FINDER = pretrain.__loader__
SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[0]

# Helpers every fresh-interpreter snippet starts with.
PROLOGUE = """
    import importlib, importlib.machinery, os, sys, types
    SUFFIX = importlib.machinery.EXTENSION_SUFFIXES[0]

    def raises(expected, f, *args, **kwargs):
        try:
            f(*args, **kwargs)
        except expected as e:
            return e
        raise AssertionError(f"{f!r}{args} did not raise {expected}")
"""


def run_snippet(code, **kwargs):
    """Runs code in a fresh interpreter; a crash (negative exit code: the
    process died of a signal) and a failed assertion both fail the test."""
    proc = run_python(textwrap.dedent(PROLOGUE) + textwrap.dedent(code), check=False, **kwargs)
    assert proc.returncode >= 0, f"interpreter crashed (signal {-proc.returncode}):\n{proc.stderr}"
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


class Named:
    def __init__(self, name):
        self.name = name


# --- wrong arguments, in this process ---------------------------------------

OBJ = object()
BAD_CALLS = [
    # (callable, args, kwargs, exception)
    (FINDER.find_spec, (), {}, TypeError),
    (FINDER.find_spec, ("a", 1, 2, 3), {}, TypeError),
    (FINDER.find_spec, ("a",), {"nope": 1}, TypeError),
    (FINDER.create_module, (), {}, TypeError),
    (FINDER.create_module, (OBJ,), {}, AttributeError),
    (FINDER.create_module, (Named(5),), {}, TypeError),
    (FINDER.create_module, (Named(b"pretrain"),), {}, TypeError),
    (FINDER.exec_module, (OBJ,), {}, AttributeError),
    (FINDER.exec_module, (), {"module": OBJ, "x": 1}, TypeError),
    (FINDER.is_package, (), {}, TypeError),
    (FINDER.get_data, (OBJ,), {}, TypeError),
    (FINDER.get_data, ("/no/such/file",), {}, FileNotFoundError),
    (FINDER.get_data, ("a\0b",), {}, ValueError),
    (FINDER.module_repr, (OBJ,), {}, TypeError),
    (FINDER.find_module, (), {}, TypeError),
    (FINDER.load_module, ([],), {}, TypeError),
    (FINDER.get_resource_reader, (OBJ,), {}, RuntimeError),
    (FINDER.get_resource_reader, ("pretrain", 1), {}, TypeError),
    (FINDER.find_distributions, (OBJ,), {}, AttributeError),
    (FINDER.find_distributions, (), {}, TypeError),
    (FINDER.sys_path_hook, (OBJ,), {}, TypeError),
    (FINDER.sys_path_hook, ("/not/a/package/directory",), {}, ImportError),
    (FINDER.iter_modules, (), {}, TypeError),  # an instance method, called on the type
    (FINDER.iter_modules, (OBJ,), {}, TypeError),
]


@pytest.mark.parametrize("function, args, kwargs, exception", BAD_CALLS,
                         ids=[f"{c[0].__name__}-{i}" for i, c in enumerate(BAD_CALLS)])
def test_finder_operations_reject_bad_arguments(function, args, kwargs, exception):
    with pytest.raises(exception):
        function(*args, **kwargs)


def test_names_that_no_row_can_hold_are_declined():
    for name in (5, None, b"pretrain", "\udc80", "pretrain.\udc80", "pretrain\0", ""):
        assert FINDER.find_spec(name) is None
        assert FINDER.find_module(name) is None
        assert FINDER.is_package(name) is None
    # The message is the one module(5) gives.
    with pytest.raises(TypeError) as interpreter:
        types.ModuleType(5)
    with pytest.raises(TypeError) as ours:
        FINDER.create_module(Named(5))
    assert str(ours.value) == str(interpreter.value)
    odd = types.ModuleType("x")
    odd.__name__ = 5
    assert FINDER.exec_module(odd) is None
    with pytest.raises(SystemError):
        FINDER.module_repr(odd)


def test_reader_and_files_reject_bad_arguments():
    reader = FINDER.get_resource_reader("pretrain")
    files = reader.files()
    cases = [
        (reader.resource_path, (OBJ,), TypeError),
        (reader.resource_path, ("a\0b",), ValueError),
        (reader.resource_path, (), TypeError),
        (reader.open_resource, (OBJ,), TypeError),
        (reader.open_resource, ("missing-file",), FileNotFoundError),
        (reader.files, (1,), TypeError),
        (files.joinpath, (OBJ,), TypeError),
        (files.joinpath, ("a", OBJ), TypeError),
        (files.__truediv__, (OBJ,), TypeError),
        (files.read_text, (OBJ,), TypeError),
        (files.read_text, ("utf-8", 1), TypeError),
        (files.read_bytes, (1,), TypeError),
        (files.open, (OBJ,), TypeError),
        (files.open, ("r", 1, 2, 3, 4, 5), TypeError),
        (files.iterdir, (1,), TypeError),
        (files.exists, (1,), TypeError),
        ((files / "missing").iterdir, (), FileNotFoundError),
        ((files / "missing").read_bytes, (), FileNotFoundError),
    ]
    for function, args, exception in cases:
        with pytest.raises(exception):
            function(*args)
    with pytest.raises(TypeError):
        OBJ / files
    with pytest.raises(AttributeError):
        files.name = "x"

    class BadStr:
        def __str__(self):
            raise KeyError("str")
    with pytest.raises(KeyError):
        files == BadStr()


# --- monkeypatched interpreter state, in fresh interpreters -------------------

def test_patched_state_before_the_first_import():
    # sys.meta_path of the wrong type: the package import fails cleanly and
    # works once it is a list again, installing the finder once.
    run_snippet("""
        mp = sys.meta_path
        sys.meta_path = tuple(mp)
        assert "must be lists" in str(raises(ImportError, importlib.import_module, "pretrain"))
        assert "pretrain" not in sys.modules
        sys.meta_path = mp
        import pretrain
        assert [type(f).__name__ for f in sys.meta_path].count("kaplet_module_loader") == 1
        assert sum(getattr(h, "__name__", "") == "sys_path_hook" for h in sys.path_hooks) == 1
    """)
    # os.environ without get, then with a value of another type.
    run_snippet("""
        real = os.environ
        os.environ = object()
        raises(AttributeError, importlib.import_module, "pretrain")
        os.environ = {"KAPLET_PACKAGE_pretrain": 5}
        import pretrain
        assert pretrain.__path__[1] == 5
    """)
    # The builtins module replaced in sys.modules.
    run_snippet("""
        real = sys.modules["builtins"]
        sys.modules["builtins"] = 5
        try:
            raises(Exception, importlib.import_module, "pretrain")
        finally:
            sys.modules["builtins"] = real
    """)
    run_snippet("""
        real = sys.modules["importlib._bootstrap"]
        sys.modules["importlib._bootstrap"] = None
        raises(ImportError, importlib.import_module, "pretrain")
        sys.modules["importlib._bootstrap"] = real
        import pretrain
        assert pretrain.__spec__.loader is pretrain.__loader__
    """)


def test_failed_nested_load_is_retried_without_renaming_twice(tmp_path):
    # An outer package named like the library: "pretrain.pretrain". The
    # first load fails before the rows are renamed, the second one renames
    # them once.
    outer = tmp_path / "pretrain"
    outer.mkdir()
    (outer / "__init__.py").write_text("")
    library = importlib.machinery.PathFinder.find_spec("pretrain").origin
    shutil.copy(library, outer)
    run_snippet("""
        mp = sys.meta_path
        sys.meta_path = tuple(mp)
        raises(ImportError, importlib.import_module, "pretrain.pretrain")
        sys.meta_path = mp
        import pretrain.pretrain as inner
        finder = inner.__loader__
        assert inner.__name__ == "pretrain.pretrain"
        assert finder.is_package("pretrain.pretrain") is True
        assert finder.is_package("pretrain.pretrain.pretrain") is None
        assert finder.find_spec("pretrain.pretrain.image").name == "pretrain.pretrain.image"
    """, extra_path=[tmp_path])


def test_patched_import_machinery_while_importing_submodules():
    run_snippet("""
        import builtins, importlib._bootstrap as bootstrap
        import pretrain
        finder = pretrain.__loader__

        real_spec = bootstrap.ModuleSpec
        def boom(*args, **kwargs):
            raise ValueError("boom")
        bootstrap.ModuleSpec = boom
        raises(ValueError, finder.find_spec, "pretrain.image")
        raises(ValueError, importlib.import_module, "pretrain.image")
        bootstrap.ModuleSpec = lambda *args, **kwargs: 5
        assert finder.find_spec("pretrain.image") == 5
        raises(AttributeError, importlib.import_module, "pretrain.image")
        bootstrap.ModuleSpec = real_spec
        assert "pretrain.image" not in sys.modules

        real_from_module = bootstrap._spec_from_module
        for replacement in (boom, lambda module: None, lambda module: 5):
            bootstrap._spec_from_module = replacement
            raises(Exception, finder.exec_module, types.ModuleType("pretrain.cls_head"))
        bootstrap._spec_from_module = real_from_module

        real_import = builtins.__import__
        # A stand-in __import__ returning 7 fails at the first statement that
        # needs a real module; which one depends on what is imported already.
        for replacement, error in ((5, TypeError), (lambda *a, **k: 7, Exception),
                                   (lambda *a, **k: boom(), ValueError)):
            builtins.__import__ = replacement
            sys.modules.pop("pretrain.cls_head", None)
            try:
                raises(error, finder.load_module, "pretrain.cls_head")
            finally:
                builtins.__import__ = real_import
        del builtins.__import__
        try:
            # AttributeError when the first statement imports a standard module
            # (the interpreter's PyImport_Import), ImportError otherwise.
            raises((ImportError, AttributeError), finder.exec_module, types.ModuleType("pretrain.cls_head"))
        finally:
            builtins.__import__ = real_import
    """)


def test_module_names_that_are_missing_or_not_text():
    run_snippet("""
        import pretrain
        finder = pretrain.__loader__
        gone = types.ModuleType("pretrain.cls_head")
        del gone.__name__
        raises(AttributeError, finder.exec_module, gone)

        class Flipping(types.ModuleType):
            # The row is found under the first answer; the prologue reads the next.
            seen = 0
            @property
            def __name__(self):
                Flipping.seen += 1
                return "pretrain.cls_head" if Flipping.seen == 1 else 5
        assert "must be str" in str(raises(TypeError, finder.exec_module, Flipping("x")))

        class NotAModule:
            __name__ = "pretrain.cls_head"
        raises(SystemError, finder.exec_module, NotAModule())
        sys.modules.pop("pretrain.cls_head", None)

        raises(TypeError, finder._run_as_main, "pretrain.cls_head", {"__name__": 5})
        raises(TypeError, finder._run_as_main, "pretrain.cls_head", {"__name__": []})
        raises(KeyError, finder._run_as_main, "pretrain.cls_head", {})
        raises(TypeError, finder._run_as_main, "pretrain.cls_head", 5)
        raises(ImportError, finder._run_as_main, 5, {})
    """)


def test_patched_os_path_and_resources():
    run_snippet("""
        import importlib.resources as resources, os.path
        real_as_file = resources.as_file
        resources.as_file = 5
        import pretrain
        reader = pretrain.__loader__.get_resource_reader("pretrain")
        for _ in range(2):
            raises(AttributeError, reader.files)
        resources.as_file = real_as_file
        sys.modules["importlib_resources"] = None  # the backport cannot be imported
        files = reader.files()

        real = os.path.abspath, os.path.isabs, os.path.dirname, os.path.basename
        os.path.abspath = lambda p: 0  # an int read as a str would look empty
        os.path.isabs = lambda p: False
        odd = files.absolute()
        assert repr(odd).endswith("file 0>")
        for operation in (os.fspath, lambda f: f.exists(), lambda f: f.as_posix(), lambda f: f / "x",
                          lambda f: list(f.iterdir()), lambda f: f.read_bytes(), lambda f: f.name):
            raises(TypeError, operation, odd)
        os.path.isabs = lambda p: 1 / 0
        raises(ZeroDivisionError, os.fspath, files)
        os.path.abspath, os.path.isabs = real[:2]
        os.path.dirname = lambda p: None
        raises(TypeError, lambda: os.fspath(files.parent))
        os.path.basename = lambda p: 1 / 0
        raises(ZeroDivisionError, lambda: files.name)
        os.path.abspath, os.path.isabs, os.path.dirname, os.path.basename = real
        assert os.fspath(files) == os.path.dirname(pretrain.__file__)
    """)


def test_patched_extension_search_and_loading(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    for directory in (first, second):
        directory.mkdir()
        (directory / f"x{SUFFIX}").write_text("not a library")
    run_snippet(f"""
        import pretrain
        finder = pretrain.__loader__
        FIRST, SECOND = {str(first)!r}, {str(second)!r}
        pretrain.__path__[:] = [FIRST]
        assert finder.find_spec("pretrain.x") is not None

        # Setting __file__ runs Python code that replaces the recorded path:
        # the load still uses the path it started with.
        filler = []
        class Sneaky(types.ModuleType):
            def __setattr__(self, name, value):
                if name == "__file__":
                    del value  # the record is left as the only owner of the path
                    pretrain.__path__[:] = [SECOND]
                    assert finder.find_spec("pretrain.x") is not None
                    # Fill freed blocks of the old path's size with other text.
                    size = len(os.path.join(FIRST, "x" + SUFFIX))
                    filler.extend("y" * size for _ in range(1000))
                    return
                super().__setattr__(name, value)
        error = raises(ImportError, finder.exec_module, Sneaky("pretrain.x"))
        assert os.path.join(FIRST, "x" + SUFFIX) in str(error), error

        real_listdir, real_suffixes = os.listdir, importlib.machinery.EXTENSION_SUFFIXES
        importlib.machinery.EXTENSION_SUFFIXES = [5]
        raises(TypeError, finder.find_spec, "pretrain.x")
        importlib.machinery.EXTENSION_SUFFIXES = 5
        raises(TypeError, finder.find_spec, "pretrain.x")
        importlib.machinery.EXTENSION_SUFFIXES = real_suffixes

        os.listdir = lambda p: [5, b"x" + SUFFIX.encode(), None]
        assert finder.find_spec("pretrain.y") is None
        os.listdir = lambda p: 5
        raises(TypeError, finder.find_spec, "pretrain.y")
        def shrinking(p):
            pretrain.__path__.clear()
            return real_listdir(p)
        os.listdir = shrinking
        pretrain.__path__[:] = [FIRST, SECOND, FIRST]
        assert finder.find_spec("pretrain.x") is not None
        def interrupted(p):
            raise KeyboardInterrupt
        os.listdir = interrupted
        pretrain.__path__[:] = [FIRST]
        raises(KeyboardInterrupt, finder.find_spec, "pretrain.x")
        os.listdir = real_listdir

        if hasattr(sys, "getdlopenflags"):  # POSIX: the load passes the interpreter's flags on
            real_flags = sys.getdlopenflags
            sys.getdlopenflags = lambda: "flags"
            raises(TypeError, finder.load_module, "pretrain.x")
            sys.getdlopenflags = real_flags

        for path in (5, None, (FIRST,)):
            pretrain.__path__ = path
            assert finder.find_spec("pretrain.z") is None
        del pretrain.__path__
        assert finder.find_spec("pretrain.z") is None
        sys.modules["pretrain"] = 5
        assert finder.find_spec("pretrain.z") is None
    """)


def test_failing_callbacks_of_distribution_queries():
    class Context:
        @property
        def name(self):
            raise LookupError("no name")
    with pytest.raises(LookupError):
        FINDER.find_distributions(Context())

    class Weird:
        name = object()
    assert list(FINDER.find_distributions(Weird())) == []


def test_signature_while_defaults_change():
    run_snippet("""
        import inspect, pretrain.image
        f = pretrain.image.ImageClassifier.predict
        class Parameter(inspect.Parameter):
            def __init__(self, *args, **kwargs):
                f.__defaults__ = None
                super().__init__(*args, **kwargs)
        inspect.Parameter = Parameter
        try:
            f.__signature__
        except Exception:
            pass
    """)


# --- references and memory over many rounds ---------------------------------

def _attempt(function):
    try:
        function()
    except Exception:
        pass


def assert_no_growth(operations, watched, rounds, warmup=None, bytes_per_call=8):
    """Runs each operation `rounds` times after as many warm-up rounds (or
    `warmup`); the
    reference counts of the watched objects and the number of objects the
    collector tracks must not change, and the traced
    memory may not grow by what one lost object per call would take (an
    object is at least 16 bytes; what stays below is allocator noise)."""
    counts = [sys.getrefcount(o) for o in watched]
    grown, objects = {}, {}
    for index, operation in enumerate(operations):
        for _ in range(rounds if warmup is None else warmup):
            _attempt(operation)
        gc.collect()
        tracemalloc.start()
        try:
            tracked = len(gc.get_objects())
            baseline, _ = tracemalloc.get_traced_memory()
            for _ in range(rounds):
                _attempt(operation)
            gc.collect()
            current, _ = tracemalloc.get_traced_memory()
            tracked = len(gc.get_objects()) - tracked
        finally:
            tracemalloc.stop()
        if current - baseline >= bytes_per_call * rounds:
            grown[index] = current - baseline
        if tracked > rounds // 100:
            objects[index] = tracked
    assert [sys.getrefcount(o) for o in watched] == counts
    assert grown == {}, "operations (by index) whose memory grew: %r" % grown
    assert objects == {}, "operations (by index) that left objects to the collector: %r" % objects


def test_finder_operations_leak_nothing(tmp_path):
    (tmp_path / "data.txt").write_text("text")
    reader = FINDER.get_resource_reader("pretrain")
    files = reader.files()
    context = importlib.metadata.DistributionFinder.Context()
    arg, name, data = object(), "pretrain.nothing_here", str(tmp_path / "data.txt")
    module = types.ModuleType("pretrain.nothing_here")
    spec = Named(name)
    operations = [
        lambda: FINDER.find_spec(name),
        lambda: FINDER.find_spec("pretrain.image", None, None),
        lambda: FINDER.find_spec(),
        lambda: FINDER.find_spec(name, nope=arg),
        lambda: FINDER.find_module(name),
        lambda: FINDER.is_package(arg),
        lambda: FINDER.create_module(spec),
        lambda: FINDER.create_module(Named(arg)),
        lambda: FINDER.exec_module(module),
        lambda: FINDER.exec_module(arg),
        lambda: FINDER.load_module("pretrain"),
        lambda: FINDER.load_module(name),
        lambda: FINDER.module_repr(pretrain),
        lambda: FINDER.module_repr(arg),
        lambda: FINDER.get_data(data),
        lambda: FINDER.get_data(name),
        lambda: FINDER.get_resource_reader(arg),
        lambda: list(FINDER.find_distributions(context)),
        lambda: FINDER.sys_path_hook(arg),
        lambda: FINDER.sys_path_hook(name),
        lambda: FINDER.sys_path_hook(os.path.dirname(pretrain.__file__)).iter_modules("p."),
        lambda: reader.resource_path(arg),
        lambda: reader.open_resource(name).close(),
        lambda: files.joinpath("a", child="b").parent.name,
        lambda: files.joinpath(arg),
        lambda: files / arg,
        lambda: files.absolute().as_posix(),
        lambda: (files / "missing").read_text(),
        lambda: files == arg,
        lambda: files.open(arg),
    ]
    assert_no_growth(operations, [arg, name, data, module, spec, FINDER, context, files, reader], rounds=2000)


def test_native_calls_with_argument_errors_leak_nothing():
    image = pytest.importorskip("pretrain.image")
    cls_head = pytest.importorskip("pretrain.cls_head")
    classifier, head = image.ImageClassifier, cls_head.LinearClsHead
    arg, key = object(), "unexpected_keyword_name"

    class Stand:
        """A stand-in self whose methods succeed or fail on request."""
        def extract_feat(self, inputs):
            return inputs

        class head:
            @staticmethod
            def loss(feats, samples):
                return feats

            @staticmethod
            def forward(feats):
                raise ValueError(feats)
    stand = Stand()
    operations = [
        lambda: classifier.loss(),
        lambda: classifier.loss(arg),
        lambda: classifier.loss(arg, arg, arg, arg),
        lambda: classifier.loss(arg, arg, inputs=arg),
        lambda: classifier.loss(arg, arg, arg, **{key: arg}),
        lambda: classifier.loss(stand, arg, arg),
        lambda: classifier.predict(stand, arg),
        lambda: classifier.predict(arg, arg, arg, data_samples=arg, extra=arg),
        lambda: classifier.__init__(),
        lambda: head.forward(arg),
        lambda: head.forward(arg, arg, arg),
        lambda: head.forward(arg, feats=arg, extra=arg),
    ]
    assert_no_growth(operations, [arg, key, stand], rounds=5000)
