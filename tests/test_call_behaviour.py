"""The native bodies against the Python they replace, run side by side in
this process: which attributes and globals they read, in which order and how
often, what they do with rebound module globals and builtins, odd containers,
and the interpreter's argument errors, down to the line of the body that
each error's traceback names. The Python side is the source in the comment
header of each pretrain/<module>.cpp (harness/reference.py writes it out,
here without registering its classes)."""
import builtins
import contextlib
import gc
import sys
import traceback
import tracemalloc
import warnings
from pathlib import Path

import pytest

from harness import reference
from pretrain_check.coroutines import drive


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    directory = tmp_path_factory.mktemp("plainref")
    reference.write_reference_package(directory, registering=False, package_name="plainref")
    sys.path.insert(0, str(directory))
    try:
        import plainref.datasets
        import pretrain.datasets
        yield {"native": pretrain.datasets, "python": plainref.datasets}
    finally:
        sys.path.remove(str(directory))


def traced(cls, trace):
    """A subclass whose instances record every attribute read."""
    class Traced(cls):
        def __getattribute__(self, name):
            trace.append(("self", name))
            return super().__getattribute__(name)
    Traced.__name__ = Traced.__qualname__ = cls.__name__
    return Traced


class FakeLogging:
    """Stands in for the module's `logging`: records which attribute is read
    when, and the messages."""
    def __init__(self, trace):
        object.__setattr__(self, "_trace", trace)

    def __getattribute__(self, name):
        trace = object.__getattribute__(self, "_trace")
        trace.append(("logging", name))
        return lambda message: trace.append(("logged", message))


def both(modules, run):
    """run(module) for the native and the Python module; the two results."""
    return run(modules["native"]), run(modules["python"])


def body_line(error):
    """The line of the last traceback entry in a module body, native
    (pretrain/<module>.py) or Python (plainref/<module>.py); None when the
    error arose before any body ran (an argument error)."""
    lines = [entry.lineno for entry in traceback.extract_tb(error.__traceback__)
             if Path(entry.filename).parent.name in ("pretrain", "plainref")]
    return lines[-1] if lines else None


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:  # the type, text and body line are what is compared
        return (type(error).__name__, str(error), body_line(error))


@pytest.mark.parametrize("shuffle", [False, True])
def test_split_transform_reads_attributes_and_logging_in_the_python_order(modules, monkeypatch, shuffle):
    def run(module):
        trace = []
        monkeypatch.setattr(module, "logging", FakeLogging(trace))
        t = traced(module.SplitData, trace)(start=0.1, end=0.75, random=shuffle, seed=3)
        items = list(range(20))
        results = {"data_list": items}
        returned = t.transform(results)
        return trace, returned is results, results["data_list"], items
    native, python = both(modules, run)
    assert native == python
    # the method is looked up before the message is built, as `logging.info(f"...")` does
    trace = native[0]
    at = trace.index(("logging", "info"))
    assert trace[at + 1:at + 3] == [("self", "start"), ("self", "end")]


def test_repeat_transform_reads_times_once_and_the_fixed_key(modules):
    def run(module):
        trace = []
        t = traced(module.RepeatData, trace)(3)
        results = {"data_list": ["a", "b"], "other": 1}
        t.transform(results)
        return trace, results
    native, python = both(modules, run)
    assert native == python
    assert native[0] == [("self", "transform"), ("self", "times")] or native[0] == [("self", "times")]


class DefaultingResults(dict):
    """A results mapping with its own item access: the transforms must go
    through it, not around it."""
    def __missing__(self, key):
        return ["default"]

    def __setitem__(self, key, value):
        super().__setitem__(key, ("stored", value))


@pytest.mark.parametrize("results", [
    lambda: {},                                    # KeyError('data_list')
    lambda: {"data_list": [1], (1, 2): 0},
    lambda: DefaultingResults(),
    lambda: DefaultingResults(data_list=[1, 2]),
])
@pytest.mark.parametrize("key", ["data_list", (1, 2), (3, 4)])
def test_transform_item_access_matches_for_missing_keys_and_dict_subclasses(modules, results, key):
    def run(module):
        given = results()
        split = outcome(lambda: module.SplitData(random=False, key=key).transform(given))
        repeat = outcome(lambda: module.RepeatData(2).transform(results()))
        return split, repeat, dict(given)
    native, python = both(modules, run)
    assert native == python
    # a missing tuple key is reported as the key itself, as KeyError((3, 4)) words it
    if key == (3, 4) and not isinstance(results(), DefaultingResults):
        assert native[0][:2] == ("KeyError", "(3, 4)")


def test_rebound_module_globals_and_builtins_are_seen_on_the_next_call(modules, monkeypatch):
    real_len = builtins.len

    def run(module):
        calls, seen = [], []
        t = module.SplitData(random=False)

        def split():
            seen.append(t.transform({"data_list": list(range(10))})["data_list"])

        monkeypatch.setattr(module, "logging", FakeLogging([]))
        split()                                   # caches filled with the builtins
        monkeypatch.setattr(module, "len", lambda x: calls.append("module len") or 5, raising=False)
        split()
        monkeypatch.setattr(module, "int", lambda x: calls.append("module int") or 1, raising=False)
        split()
        monkeypatch.delattr(module, "int")
        monkeypatch.delattr(module, "len")
        split()                                   # back to the builtins
        monkeypatch.setattr(builtins, "len", lambda x: calls.append("builtin len") or real_len(x) - 2)
        try:
            split()
        finally:
            monkeypatch.setattr(builtins, "len", real_len)
        split()
        return calls, seen
    native, python = both(modules, run)
    assert native == python
    assert native[0].count("builtin len") == 2


@contextlib.contextmanager
def globals_restored(module):
    """Puts the module's dictionary back as it was, order included."""
    namespace = vars(module)
    saved = dict(namespace)
    try:
        yield
    finally:
        namespace.clear()
        namespace.update(saved)


def test_missing_global_raises_the_interpreters_name_error(modules):
    def run(module):
        with globals_restored(module):
            del module.logging
            return outcome(lambda: module.SplitData(random=False).transform({"data_list": [1, 2]}))
    native, python = both(modules, run)
    assert native == python
    assert native[:2] == ("NameError", "name 'logging' is not defined") and native[2] is not None


class Sized:
    """Has a length and iterates through a generator."""
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        return (item for item in self.items)


class OddTool:
    """A tool whose map yields list pairs and tuple pairs, and whose image
    lists are a plain iterable, a tuple and a list."""
    def __init__(self):
        self.classes = ["b", "a", "c"]

        class Pairs:
            def items(self):
                return [["b", Sized("b1", "b2")], ("a", ("a1",)), ("c", ["c1", "c2", "c3"])]
        self.category_image_map = Pairs()

    async def get_path_list(self):
        return None

    async def get_category_distribution(self):
        return None


def test_load_data_list2_with_rebound_int_and_print_and_odd_containers(modules, monkeypatch):
    def run(module):
        trace, printed = [], []
        monkeypatch.setattr(module, "print", lambda *a: printed.append(a), raising=False)
        monkeypatch.setattr(module, "int", lambda x: ("int", x), raising=False)
        cls = traced(module.NeuDataset, trace)
        dataset = cls.__new__(cls)
        object.__setattr__(dataset, "tool", OddTool())
        object.__setattr__(dataset, "category_map", {"a": "x", "b": "x", "c": "y"})
        object.__setattr__(dataset, "classes", ["x", "x", "y"])
        data_list = drive(dataset.load_data_list2())
        return trace, printed, data_list, dataset.category_dist
    native, python = both(modules, run)
    assert native == python
    assert native[2][0] == {"img_path": "b1", "gt_label": ("int", 0)}


def test_load_data_list2_builds_entries_with_the_builtin_int(modules, monkeypatch):
    class Label(int):
        pass

    def run(module):
        monkeypatch.setattr(module, "print", lambda *a: None, raising=False)
        dataset = module.NeuDataset.__new__(module.NeuDataset)
        dataset.tool = OddTool()
        dataset.category_map = {"a": "x", "b": "x", "c": "y"}

        class Classes(list):
            def index(self, value):
                return Label(super().index(value))
        dataset.classes = Classes(["x", "x", "y"])
        data_list = drive(dataset.load_data_list2())
        return [(e["img_path"], e["gt_label"], type(e["gt_label"])) for e in data_list]
    native, python = both(modules, run)
    assert native == python
    assert {t for _, _, t in native} == {int}  # int() of an int subclass is a plain int


ARGUMENTS = [
    ((), {}), ((1, 2, 3, 4, 5), {}), ((1, 2, 3, 4, 5, 6), {}), ((1,), {"start": 2}), ((), {"bogus": 1}),
    ((1, 2), {"key": "k"}), ((), {"seed": 1, "end": 0.5}),
]


@pytest.mark.parametrize("args,kwargs", ARGUMENTS)
def test_argument_binding_and_errors_match(modules, args, kwargs):
    def run(module):
        result = outcome(lambda: module.SplitData(*args, **kwargs))
        if result[0] == "returned":
            t = result[1]
            return (t.start, t.end, t.random, t.seed, t.key)
        return result
    native, python = both(modules, run)
    assert native == python


@pytest.mark.parametrize("call", [
    lambda t: t.transform(),
    lambda t: t.transform({"data_list": []}, 1),
    lambda t: t.transform(results={"data_list": [1]}),
    lambda t: type(t).transform(),
    lambda t: type(t).transform(t, {"data_list": [1]}, results=2),
])
def test_method_call_errors_match(modules, call):
    native, python = both(modules, lambda module: outcome(lambda: call(module.RepeatData(2))))
    if python[0] == "returned":
        assert native[0] == "returned" and native[1] == python[1]
    else:
        assert native == python


def test_coroutines_made_and_dropped_in_every_state_release_their_memory(modules):
    import pretrain.analyzing_tools

    tool = pretrain.analyzing_tools.ClsAnalyzingTool("/nonexistent")
    argument = object()

    async def callback(progress):
        return progress

    def churn(rounds):
        for _ in range(rounds):
            drive(tool.get_data_list())
            drive(tool.get_data_list(callback))
            tool.get_data_list(argument).close()
            started = tool.get_data_list(callback)
            del started
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        churn(200)
        gc.collect()
        refs = sys.getrefcount(argument)
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            churn(3000)
            gc.collect()
            grown = tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()
    assert grown < 64 * 1024
    assert sys.getrefcount(argument) == refs


@pytest.fixture(scope="module")
def model_modules(modules):
    import plainref.cls_head
    import plainref.image
    import pretrain.cls_head
    import pretrain.image
    return {"native": (pretrain.image, pretrain.cls_head), "python": (plainref.image, plainref.cls_head)}


class Score:
    def __init__(self, trace):
        self.trace = trace

    def __isub__(self, other):
        self.trace.append(("-=", other))
        return "adjusted"


def recording_model(trace):
    class Head:
        bias = "bias"

        def forward(self, feats):
            trace.append(("head.forward", feats))
            return Score(trace)

        def loss(self, feats, samples):
            trace.append(("head.loss", feats, samples))
            return {"loss": 1}

    class Model:
        head = Head()

        def __getattribute__(self, name):
            trace.append(("self", name))
            return object.__getattribute__(self, name)

        def extract_feat(self, inputs):
            return ("feats", inputs)

        def _get_predictions(self, score, samples):
            return ("predictions", score, samples)
    return Model()


@pytest.mark.parametrize("call", [
    lambda cls, m: cls.predict(m, "inputs"),
    lambda cls, m: cls.predict(m, "inputs", ["sample"], extra=1),
    lambda cls, m: cls.loss(m, "inputs", ["sample"]),
])
def test_classifier_methods_read_and_call_as_the_python(model_modules, call):
    def run(image):
        trace = []
        return trace, call(image.ImageClassifier, recording_model(trace))
    native, python = (run(model_modules[k][0]) for k in ("native", "python"))
    assert native == python


def test_head_forward_calls_the_modules_super_as_rebound(model_modules, monkeypatch):
    def run(cls_head):
        calls = []

        class Parent:
            def forward(self, feats):
                calls.append(("forward", feats))
                return "scores"
        monkeypatch.setattr(cls_head, "super", lambda *a: calls.append(("super", a)) or Parent(), raising=False)
        result = cls_head.LinearClsHead.forward(object(), "feats", unused=1)
        return calls, result
    native, python = (run(model_modules[k][1]) for k in ("native", "python"))
    assert native == python == ([("super", ()), ("forward", "feats")], "scores")
