"""The fuzzing cases: each drives one kind of entry point of the two
libraries with values from fuzz/values.py. A case may fail with any Python
exception; it must never crash the interpreter, trip a sanitizer or hang."""
import copy
import gc
import inspect
import os
import pickle
import sys
import types

from values import Boom, Draw, SneakyStr

FUNCTION_TYPE_NAME = "kaplet_function"


class Context:
    def __init__(self, rng, tmp, counter):
        self.rng, self.tmp, self.counter = rng, tmp, counter
        self.draw = Draw(rng, tmp, extra=[self.pause, self.pause_awaitable])
        self.patches = []

    # -- calls ------------------------------------------------------------
    def call(self, f, *args, **kwargs):
        """One fuzzed call: counted, any exception swallowed."""
        self.counter[0] += 1
        try:
            return f(*args, **kwargs)
        except KeyboardInterrupt:
            raise
        except BaseException:
            return None

    def drive(self, coroutine, steps=200):
        """Runs a coroutine (native or not) like an event loop that answers
        every yield with None, or with hostile sends and throws."""
        for _ in range(steps):
            r = self.rng.random()
            self.counter[0] += 1
            try:
                if r < 0.80:
                    coroutine.send(None)
                elif r < 0.85:
                    coroutine.send(self.draw.value())
                elif r < 0.92:
                    coroutine.throw(self.rng.choice([Boom("thrown"), Boom, KeyError, GeneratorExit(),
                                                     StopIteration, self.draw.value()]))
                elif r < 0.96:
                    coroutine.close()
                else:
                    w = coroutine.__await__()
                    self.rng.choice([lambda: next(w), lambda: w.send(None), lambda: w.close(),
                                     lambda: w.throw(Boom)])()
            except StopIteration:
                return
            except KeyboardInterrupt:
                raise
            except BaseException:
                if self.rng.random() < 0.7:
                    return
        self.call(coroutine.close)

    async def pause(self, *args):
        await Pause()

    def pause_awaitable(self, *args):
        return Pause()

    # -- patches ----------------------------------------------------------
    def patch(self, target, name, value):
        missing = object()
        self.patches.append((target, name, getattr(target, name, missing), missing))
        try:
            setattr(target, name, value)
        except (AttributeError, TypeError, ValueError):
            pass

    def restore(self):
        for target, name, old, missing in reversed(self.patches):
            try:
                if old is missing:
                    delattr(target, name)
                else:
                    setattr(target, name, old)
            except (AttributeError, TypeError):
                pass
        self.patches.clear()


class Pause:
    def __await__(self):
        yield "paused"


def callables_of(obj):
    names = []
    for name in dir(obj):
        if name in ("__del__", "__class__", "__subclasshook__", "_run_as_main", "main"):
            continue
        try:
            value = getattr(obj, name)
        except BaseException:
            continue
        if callable(value):
            names.append(name)
    return names


def native_functions(modules):
    found = []
    for module in modules:
        for value in list(vars(module).values()):
            candidates = [value]
            if isinstance(value, type):
                candidates += list(vars(value).values())
            for c in candidates:
                # The demonstration entries scan the whole sample dataset.
                if type(c).__name__ == FUNCTION_TYPE_NAME and c.__name__ != "main" and c not in found:
                    found.append(c)
    return found


class HostileCollector:
    """A collector callback that renames native functions and replaces their
    defaults and annotations with fresh objects, so that any borrowed pointer
    to the old ones held across an allocation points at freed memory."""

    def __init__(self, rng, functions):
        self.rng, self.functions = rng, functions
        self.saved = {f: (f.__name__, f.__qualname__, f.__defaults__, f.__kwdefaults__, dict(f.__annotations__))
                      for f in functions}

    def __call__(self, phase, info):
        if phase != "start" or self.rng.random() > 0.3:
            return
        f = self.rng.choice(self.functions)
        n = self.rng.randrange(10 ** 6)
        f.__name__ = "n%d" % n
        f.__qualname__ = "q%d" % n
        if f.__defaults__ is not None:
            f.__defaults__ = tuple(list(f.__defaults__))
        f.__annotations__ = {k: [v] for k, v in f.__annotations__.items()}

    def restore(self):
        for f, (name, qualname, defaults, kwdefaults, annotations) in self.saved.items():
            f.__name__, f.__qualname__, f.__defaults__ = name, qualname, defaults
            f.__kwdefaults__, f.__annotations__ = kwdefaults, annotations


def call_any_method(ctx, obj):
    names = callables_of(obj)
    if not names:
        return
    method = ctx.call(getattr, obj, ctx.rng.choice(names))
    if method is not None:
        result = ctx.call(method, *ctx.draw.args(), **(ctx.draw.kwargs() if ctx.rng.random() < 0.3 else {}))
        if inspect.isawaitable(result) or hasattr(result, "send"):
            ctx.drive(result, steps=5)


# -- loader: finder, path hook, readers, files objects ---------------------

def finders():
    import pretrain
    import __pycache__
    found = [pretrain.__loader__, __pycache__.__loader__]
    found += [f for f in sys.meta_path if type(f).__name__ == "kaplet_module_loader"]
    for finder, directory in ((pretrain.__loader__, pretrain.__path__[0]),
                              (__pycache__.__loader__, list(__pycache__.__path__)[0])):
        try:
            found.append(finder.sys_path_hook(directory))
        except ImportError:
            pass
    return found


def case_finder(ctx):
    finder = ctx.rng.choice(finders())
    if ctx.rng.random() < 0.2:
        ctx.call(repr, finder)
        ctx.call(setattr, finder, "x", ctx.draw.value())
    call_any_method(ctx, finder)


def case_finder_patched(ctx):
    """Finder operations with the standard library pieces they use replaced."""
    import importlib._bootstrap as bootstrap
    import os.path
    targets = [(sys, "meta_path"), (sys, "path_hooks"), (sys, "modules"), (bootstrap, "ModuleSpec"),
               (bootstrap, "_spec_from_module"), (os.path, "abspath"), (os.path, "dirname"),
               (os, "environ"), (sys, "path"), (os, "listdir"), (os, "scandir")]
    for _ in range(ctx.rng.randrange(1, 3)):
        target, name = ctx.rng.choice(targets)
        if (target, name) == (sys, "modules"):
            continue  # replacing sys.modules breaks the interpreter itself
        ctx.patch(target, name, ctx.draw.value())
    try:
        case_finder(ctx)
    finally:
        ctx.restore()


def case_reader(ctx):
    finder = ctx.rng.choice(finders())
    reader = ctx.call(finder.get_resource_reader, ctx.rng.choice(["pretrain", "pretrain.image", "__pycache__",
                                                                  ctx.draw.value()]))
    if reader is None:
        return
    call_any_method(ctx, reader)
    files = ctx.call(reader.files)
    for _ in range(ctx.rng.randrange(1, 4)):
        if files is None:
            return
        r = ctx.rng.random()
        if r < 0.3:
            files = ctx.call(files.joinpath, *ctx.draw.args(2)) or files
        elif r < 0.4:
            ctx.call(lambda: files / ctx.draw.value())
        elif r < 0.5:
            ctx.call(lambda: files == ctx.draw.value())
        elif r < 0.6:
            ctx.call(lambda: (files.parent, files.name, os.fspath(files), str(files), hash(files)))
        elif r < 0.7:
            handle = ctx.call(files.open, *ctx.draw.args(2), **ctx.draw.kwargs(["mode", "encoding"]))
            if handle is not None:
                ctx.call(handle.close)
        else:
            call_any_method(ctx, files)


# -- native functions and coroutine objects --------------------------------

def case_function(ctx, modules):
    functions = native_functions(modules)
    f = ctx.rng.choice(functions)
    r = ctx.rng.random()
    if r < 0.45:
        args = ctx.draw.args(5)
        if f.__name__ == "get_random_images":
            args = small_counts(args)
        result = ctx.call(f, *args, **(ctx.draw.kwargs() if ctx.rng.random() < 0.3 else {}))
        if result is not None and hasattr(result, "send"):
            ctx.drive(result, steps=20)
    elif r < 0.65:
        name = ctx.rng.choice(["__name__", "__qualname__", "__defaults__", "__kwdefaults__", "__annotations__",
                               "__dict__", "__module__", "__doc__", "x"])
        ctx.patch(f, name, ctx.draw.value())
        try:
            ctx.call(inspect.signature, f)
            ctx.call(f, *ctx.draw.args(3))
            ctx.call(pickle.dumps, f)
        finally:
            ctx.restore()
    elif r < 0.8:
        ctx.call(inspect.signature, f)
        ctx.call(copy.deepcopy, f)
        ctx.call(pickle.dumps, f, ctx.rng.randrange(6))
        ctx.call(f.__reduce__)
    else:
        ctx.call(f.__get__, *ctx.draw.args(2))
        ctx.call(repr, f)
        ctx.call(getattr, f, ctx.rng.choice(["__globals__", "__builtins__", "_is_coroutine", "__signature__",
                                             "__code__", "__closure__"]))


def small_counts(args):
    """range(n) with a huge n loops for ever in the Python code as well."""
    return tuple(3 if isinstance(a, int) and abs(a) > 100 else a for a in args)


def case_coroutine(ctx, tool_class, root):
    tool = tool_class(ctx.rng.choice([root, str(root), ctx.draw.value()]))
    method = ctx.rng.choice(["get_path_list", "get_data_list", "get_category_distribution",
                             "get_image_format_distribution", "get_image_size_distribution",
                             "get_random_images"])
    callback = ctx.rng.choice([None, ctx.pause, ctx.pause_awaitable, lambda *a: None, lambda *a: 1 / 0,
                               ctx.draw.value()])
    args = ctx.rng.choice([(), (callback,), (ctx.draw.value(), ctx.draw.value())])
    coroutine = ctx.call(getattr(tool, method), *small_counts(args))
    if coroutine is None:
        return
    r = ctx.rng.random()
    if r < 0.1:
        ctx.call(setattr, coroutine, ctx.rng.choice(["__name__", "__qualname__"]), ctx.draw.value())
        ctx.call(repr, coroutine)
    if r < 0.2:
        ctx.call(lambda: (coroutine.cr_await, coroutine.cr_running, coroutine.cr_origin))
    if ctx.rng.random() < 0.2:
        ctx.call(pickle.dumps, coroutine)
    if ctx.rng.random() < 0.3:
        tool.pending = coroutine  # a cycle through the coroutine's arguments
    ctx.drive(coroutine)


# -- the analysis tool with hostile callbacks and patched module attributes --

def case_tool(ctx, module, root):
    from pathlib import Path, PurePosixPath

    class DictPath(dict):
        """Not a path at all, but joins and prints like one."""
        def __init__(self, *parts):
            self.parts_ = [os.fspath(p) for p in parts]

        def __str__(self):
            return os.path.join(*self.parts_)

    replacements = {
        "Path": [DictPath, PurePosixPath, str, lambda *a: ctx.draw.value(), Boom, type("P", (type(Path()),), {})],
        "glob": [lambda *a, **k: ctx.draw.value(), lambda *a, **k: [ctx.draw.value()], lambda *a, **k: 1 / 0,
                 lambda *a, **k: [SneakyStr(str(root / "a" / "0.png"))]],
        "img_ext": [ctx.draw.value(), [SneakyStr(".png")], ".png", None],
        "Image": [types.SimpleNamespace(open=lambda p: 1 / 0), types.SimpleNamespace(open=lambda p: p), None],
        "random": [types.SimpleNamespace(choice=lambda s: ctx.draw.value(), sample=lambda s, n: 1 / 0), None],
        "Counter": [lambda x: 1 / 0, dict, None],
    }
    for name in ctx.rng.sample(sorted(replacements), ctx.rng.randrange(3)):
        ctx.patch(module, name, ctx.rng.choice(replacements[name]))
    try:
        tool = ctx.call(module.ClsAnalyzingTool, ctx.rng.choice([root, str(root), ctx.draw.value()]))
        if tool is None:
            return
        if ctx.rng.random() < 0.3:
            attribute = ctx.rng.choice(["path_list", "classes", "category_image_map", "dataset_path"])
            setattr(tool, attribute, ctx.draw.value())

        def mutating(progress):
            tool.path_list = ctx.draw.value()
            ctx.patch(module, "img_ext", ctx.draw.value())
            gc.collect(0)
            return Pause()

        callback = ctx.rng.choice([None, ctx.pause, mutating, lambda p: None, lambda p: Boom(), ctx.draw.value()])
        for _ in range(ctx.rng.randrange(1, 4)):
            method = ctx.rng.choice(["get_path_list", "get_category_distribution", "get_image_format_distribution",
                                     "get_image_size_distribution", "get_random_images", "get_data_list"])
            if method in ("get_category_distribution", "get_image_size_distribution", "get_data_list"):
                coroutine = ctx.call(getattr(tool, method), callback)
            elif method == "get_random_images":
                coroutine = ctx.call(tool.get_random_images, ctx.rng.choice([0, 1, 3, -1, 1.5, "3", None]),
                                     ctx.rng.choice([True, False, ctx.draw.value()]))
            else:
                coroutine = ctx.call(getattr(tool, method))
            if coroutine is not None:
                ctx.drive(coroutine, steps=50)
    finally:
        ctx.restore()


# -- the stack's side: transforms, dataset, model classes -------------------

def case_transforms(ctx, datasets):
    cls = ctx.rng.choice([datasets.SplitData, datasets.RepeatData])
    names = ["start", "end", "random", "seed", "key", "times"]
    transform = ctx.call(cls, *ctx.draw.args(3), **ctx.draw.kwargs(names))
    if transform is None:
        transform = cls()
    results = ctx.rng.choice([{"data_list": list(range(ctx.rng.randrange(5)))}, {}, ctx.draw.value(),
                              {"data_list": ctx.draw.value()}, {"a": [1, 2]}])
    ctx.call(transform.transform, results)
    ctx.call(transform, results)


def case_dataset(ctx, datasets, module, root):
    dataset = datasets.NeuDataset.__new__(datasets.NeuDataset)
    tool = module.ClsAnalyzingTool(ctx.rng.choice([root, str(root), ctx.draw.value()]))
    dataset.tool = ctx.rng.choice([tool, tool, ctx.draw.value()])
    dataset.classes = ctx.rng.choice([["a", "b"], ["a"], [], ctx.draw.value()])
    dataset.category_map = ctx.rng.choice([{"a": "a", "b": "b"}, {"a": "b"}, {}, ctx.draw.value()])
    dataset.init_pipeline = ctx.rng.choice([lambda d: d, lambda d: 1 / 0, ctx.draw.value()])
    dataset.data_list = ctx.draw.value()
    r = ctx.rng.random()
    if r < 0.5:
        coroutine = ctx.call(dataset.load_data_list2)
        if coroutine is not None:
            ctx.drive(coroutine, steps=50)
    elif r < 0.65:
        ctx.call(dataset.load_data_list)
    elif r < 0.8:
        ctx.call(dataset.filter_data)
    else:
        kwargs = {"data_root": ctx.rng.choice([str(root), ctx.draw.value()])}
        ctx.call(datasets.NeuDataset.__init__, dataset, ctx.rng.choice([[], [{"type": "RepeatData"}],
                                                                         ctx.draw.value()]),
                 ctx.rng.choice([{"a": "a"}, ctx.draw.value()]), **kwargs)


class StandIn:
    def __init__(self, ctx):
        self.ctx = ctx

    def extract_feat(self, inputs):
        return self.ctx.rng.choice([inputs, None, Boom()])

    def _get_predictions(self, score, samples):
        return [score]

    @property
    def head(self):
        ctx = self.ctx
        return types.SimpleNamespace(loss=lambda f, s: ctx.draw.value(), forward=lambda f: ctx.draw.value(),
                                     bias=ctx.draw.value())


def case_models(ctx, image, cls_head, real):
    classifier, head = image.ImageClassifier, cls_head.LinearClsHead
    selves = [StandIn(ctx), ctx.draw.value()] + real
    self = ctx.rng.choice(selves)
    method = ctx.rng.choice([classifier.loss, classifier.predict, classifier.__init__, head.forward])
    args = ctx.draw.args(3)
    if real and ctx.rng.random() < 0.3:
        import torch
        args = (ctx.rng.choice([torch.zeros(2, 3, 8, 8), (torch.zeros(2, 4),), torch.zeros(0)]),) + args[:1]
    ctx.call(method, self, *args, **(ctx.draw.kwargs(["data_samples", "inputs", "feats"])
                                      if ctx.rng.random() < 0.3 else {}))
