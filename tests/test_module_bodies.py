"""How module bodies import, define functions and run class statements."""
import inspect

import pytest

import pretrain.cls_head as cls_head
import pretrain.image as image
from conftest import run_python

RECORDING_META = """
    from abc import ABCMeta
    events = []

    class Namespace(dict):
        def __setitem__(self, key, value):
            events.append(("set", key))
            super().__setitem__(key, value)

    class MetaClass(ABCMeta):
        @classmethod
        def __prepare__(mcls, name, bases, **kwargs):
            events.append(("prepare", name, tuple(b.__name__ for b in bases), tuple(kwargs)))
            return Namespace()

        def __new__(mcls, name, bases, namespace, **kwargs):
            events.append(("new", name, "__classcell__" in namespace))
            return super().__new__(mcls, name, bases, dict(namespace), **kwargs)
"""

PATCH_REGISTRY = """
    import mmpretrain.models.classifiers.image, mmpretrain.models.heads.linear_head, mmpretrain.structures
    from mmpretrain.registry import MODELS
    from ravelin.base.meta_class import events
    real = MODELS.register_module
    def register_module(*args, **kwargs):
        events.append(("decorator", kwargs))
        decorate = real(*args, **kwargs)
        def wrapper(cls):
            events.append(("decorate", cls.__name__))
            return decorate(cls)
        return wrapper
    MODELS.register_module = register_module
"""


def ravelin_with_meta(fake_ravelin, source):
    return fake_ravelin({
        "ravelin/__init__.py": "",
        "ravelin/base/__init__.py": "",
        "ravelin/base/meta_class.py": source,
    })


def test_class_statement_order(fake_ravelin):
    root = ravelin_with_meta(fake_ravelin, RECORDING_META)
    code = PATCH_REGISTRY + """
    import pretrain.image
    for e in events: print(e)
    """
    out = run_python(code, extra_path=[root]).stdout.splitlines()
    assert out == [
        "('prepare', 'ImageClassifier', ('ImageClassifier',), ())",
        "('decorator', {'force': True, 'name': 'ImageClassifier'})",
        "('set', '__module__')",
        "('set', '__qualname__')",
        "('set', '__init__')",
        "('set', 'loss')",
        "('set', 'predict')",
        "('new', 'ImageClassifier', False)",
        "('decorate', 'ImageClassifier')",
    ]


def test_prepare_must_return_a_mapping(fake_ravelin):
    root = ravelin_with_meta(fake_ravelin, RECORDING_META.replace("return Namespace()", "return 42"))
    code = PATCH_REGISTRY + """
    import sys, traceback
    try:
        import pretrain.cls_head
    except TypeError as e:
        print(e)
        last = traceback.extract_tb(e.__traceback__)[-1]
        print(last.name, last.filename.endswith("cls_head.py"), last.lineno)
    print([e[0] for e in events], "pretrain.cls_head" in sys.modules)
    """
    out = run_python(code, extra_path=[root]).stdout.splitlines()
    assert out == [
        "MetaClass.__prepare__() must return a mapping, not int",
        "<module pretrain.cls_head> True 7",
        "['prepare'] False",
    ]


def test_metaclass_conflict(fake_ravelin):
    root = ravelin_with_meta(fake_ravelin, "events = []\nclass MetaClass(type):\n    pass\n")
    code = PATCH_REGISTRY + """
    try:
        import pretrain.cls_head
    except TypeError as e:
        print(e)
    print(events)
    """
    out = run_python(code, extra_path=[root]).stdout.splitlines()
    assert out == [
        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
        "metaclasses of all its bases",
        "[]",
    ]


def test_mro_entries_and_orig_bases(fake_ravelin):
    root = ravelin_with_meta(fake_ravelin, RECORDING_META)
    code = """
    import mmpretrain.models.heads.linear_head as lh
    real = lh.LinearClsHead
    class Alias:
        def __mro_entries__(self, bases):
            print("entries", bases == (self,))
            return (real,)
    alias = Alias()
    lh.LinearClsHead = alias
    import pretrain.cls_head as h
    print(h.BaseLinearClsHead is alias, h.LinearClsHead.__bases__ == (real,))
    print(h.LinearClsHead.__orig_bases__ == (alias,))
    lh.LinearClsHead = real
    import pretrain.image as i
    print("__orig_bases__" in vars(i.ImageClassifier))
    """
    out = run_python(code, extra_path=[root]).stdout.splitlines()
    assert out == ["entries True", "True True", "True", "False"]


def test_from_import_falls_back_to_submodule(fake_ravelin):
    root = fake_ravelin({
        "ravelin/__init__.py": "",
        "ravelin/base/__init__.py": "",
        "ravelin/base/meta_class/__init__.py": """
            import sys
            from abc import ABCMeta
            class Hidden(ABCMeta):
                pass
            # Present in sys.modules but not an attribute of this package.
            sys.modules[__name__ + ".MetaClass"] = Hidden
        """,
    })
    code = """
    import pretrain.cls_head as h
    print(type(h.LinearClsHead).__name__, h.MetaClass.__name__)
    """
    assert run_python(code, extra_path=[root]).stdout.split() == ["Hidden", "Hidden"]


def test_cannot_import_name(fake_ravelin):
    root = fake_ravelin({
        "ravelin/__init__.py": "",
        "ravelin/base/__init__.py": "",
        "ravelin/base/meta_class.py": "OTHER = 1\n",
    })
    code = """
    import sys
    try:
        import pretrain.image
    except ImportError as e:
        print(e)
        print(e.name, e.path == sys.modules["ravelin.base.meta_class"].__file__)
    m = sys.modules.get("pretrain.image")
    print(m)
    """
    out = run_python(code, extra_path=[root]).stdout.splitlines()
    path = str(root / "ravelin" / "base" / "meta_class.py")
    assert out == [
        f"cannot import name 'MetaClass' from 'ravelin.base.meta_class' ({path})",
        "ravelin.base.meta_class True",
        "None",
    ]


def test_missing_dependency():
    code = """
    import sys, traceback
    class Hide:
        def find_spec(self, name, path=None, target=None):
            if name.split(".")[0] == "mmpretrain":
                raise ModuleNotFoundError(f"No module named {name!r}", name=name)
    sys.meta_path.insert(0, Hide())
    try:
        import pretrain.image
    except ModuleNotFoundError as e:
        print(type(e).__name__, e.name)
        last = traceback.extract_tb(e.__traceback__)
        entry = [t for t in last if t.name == "<module pretrain.image>"][0]
        print(entry.filename.endswith("image.py"), entry.lineno)
    print("pretrain.image" in sys.modules, "pretrain" in sys.modules)
    """
    out = run_python(code).stdout.splitlines()
    assert out == ["ModuleNotFoundError mmpretrain", "True 3", "False True"]


def python_twin(qualname, source):
    namespace = {}
    exec(source, namespace)
    function = namespace[source.split()[1].split("(")[0]]
    function.__qualname__ = qualname
    return function


LOSS = "def loss(self, inputs, data_samples): pass"
PREDICT = "def predict(self, inputs, data_samples=None, **kwargs): pass"
INIT = "def __init__(self, *args, **kwargs): pass"
FORWARD = "def forward(self, feats, **kwargs): pass"


@pytest.mark.parametrize("native, source, calls", [
    (image.ImageClassifier.loss, LOSS, [(), (1,), (1, 2), (1, 2, 3, 4), (1, 2, 3, 4, 5),
                                       (1, 2, 3, {"inputs": 4}), (1, {"x": 2}), ({"self": 1, "inputs": 2}),
                                       (1, {1: 2}), (1, 2, {"x": 1, "inputs": 2})]),
    (image.ImageClassifier.predict, PREDICT, [(), (1,), (1, 2, 3, 4), (1, 2, 3, {"data_samples": 3}),
                                             (1, 2, 3, {"inputs": 3, "kw": 1})]),
    (cls_head.LinearClsHead.forward, FORWARD, [(), (1,), (1, 2, 3), ({"feats": 1})]),
])
def test_argument_errors_match_the_interpreter(native, source, calls):
    twin = python_twin(native.__qualname__, source)
    for call in calls:
        args = [a for a in call if not isinstance(a, dict)]
        kwargs = next((a for a in call if isinstance(a, dict)), {})
        with pytest.raises(TypeError) as expected:
            twin(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            native(*args, **kwargs)
        assert str(got.value) == str(expected.value), call


def test_signatures_and_function_attributes():
    for native, source in ((image.ImageClassifier.loss, LOSS), (image.ImageClassifier.predict, PREDICT),
                           (image.ImageClassifier.__init__, INIT), (cls_head.LinearClsHead.forward, FORWARD)):
        twin = python_twin(native.__qualname__, source)
        twin.__annotations__ = dict(native.__annotations__)
        assert inspect.signature(native) == inspect.signature(twin)
        assert native.__name__ == twin.__name__
        assert native.__module__ in ("pretrain.image", "pretrain.cls_head")
        assert native.__doc__ is None
        assert native.__globals__ is vars(image if native.__module__ == "pretrain.image" else cls_head)
    bound = cls_head.LinearClsHead.forward.__get__(object())
    assert str(inspect.signature(bound)) == "(feats: Tuple[torch.Tensor], **kwargs)"
    assert cls_head.LinearClsHead.forward.__kwdefaults__ is None
    f = image.ImageClassifier.predict
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        f.__defaults__ = 1
    f.custom = 5
    assert f.__dict__ == {"custom": 5}
    del f.custom
    assert repr(f).startswith("<function ImageClassifier.predict at 0x")


def test_monkeypatched_globals_give_python_errors(monkeypatch):
    monkeypatch.setattr(image.ImageClassifier, "_get_predictions", None, raising=False)
    class Fake:
        def extract_feat(self, x):
            return x
        class head:
            @staticmethod
            def forward(feats):
                return feats
            bias = 1
        _get_predictions = None
    with pytest.raises(TypeError, match="'NoneType' object is not callable"):
        image.ImageClassifier.predict(Fake(), 3)
