"""Native function objects behave as def-made functions under copy, pickle and
a collector that runs callbacks at every allocation."""
import copy
import pickle

import pytest

from conftest import run_python


def test_copied_and_pickled_by_reference():
    import pretrain.analyzing_tools as at
    import pretrain.datasets as ds
    for f in (at.main, ds.main, at.ClsAnalyzingTool.get_path_list, ds.SplitData.transform):
        assert copy.copy(f) is f
        assert copy.deepcopy(f) is f
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(f, protocol)) is f
    config = {"steps": [ds.SplitData.transform], "entry": at.main}
    assert copy.deepcopy(config)["steps"][0] is ds.SplitData.transform


def test_pickling_a_renamed_function_fails_as_for_plain_functions():
    import pretrain.datasets as ds
    f = ds.main
    f.__qualname__ = "not_there"
    try:
        with pytest.raises(pickle.PicklingError):
            pickle.dumps(f)
    finally:
        f.__qualname__ = "main"


def test_renaming_during_collection_while_making_a_coroutine():
    # Every allocation collects; the callback renames the coroutine function
    # and frees its old names while a coroutine object is being made.
    run_python("""
        import gc, asyncio, pretrain.analyzing_tools as at
        f = at.ClsAnalyzingTool.get_data_list
        counter = [0]
        def rename(phase, info):
            counter[0] += 1
            f.__name__ = "n" + str(counter[0]) * 3
            f.__qualname__ = "q" + str(counter[0]) * 3
        gc.callbacks.append(rename)
        gc.set_threshold(1)
        tool = at.ClsAnalyzingTool(".")
        for _ in range(300):
            c = tool.get_data_list()
            assert c.__name__.startswith("n") and c.__qualname__.startswith("q")
            c.close()
        gc.callbacks.remove(rename)
        gc.set_threshold(700)
    """)


def test_signature_while_annotations_are_dropped():
    run_python("""
        import gc, inspect, pretrain.image as image
        f = image.ImageClassifier.predict
        saved = dict(f.__annotations__)
        def drop(phase, info):
            f.__annotations__ = {k: type("T" + str(id(object())), (), {}) for k in saved}
        gc.callbacks.append(drop)
        gc.set_threshold(1)
        for _ in range(100):
            s = inspect.signature(f)
            assert list(s.parameters) == ["self", "inputs", "data_samples", "kwargs"]
        gc.callbacks.remove(drop)
        gc.set_threshold(700)
        f.__annotations__ = saved
    """)


def test_renaming_during_collection_while_reporting_argument_errors():
    run_python("""
        import gc, pretrain.analyzing_tools as at
        f = at.ClsAnalyzingTool.get_random_images
        names = iter(range(10**9))
        def rename(phase, info):
            f.__qualname__ = "q" + str(next(names)) * 5
        gc.callbacks.append(rename)
        gc.set_threshold(1)
        for call in (lambda: f(), lambda: f(1, 2, 3, 4), lambda: f(1, nope=2), lambda: f(1, self=2), repr,
                     lambda: repr(f(at.ClsAnalyzingTool("."))), lambda: f(**{"\\udcff": 1})):
            for _ in range(50):
                try:
                    call() if call is not repr else repr(f)
                except TypeError as e:
                    assert str(e).startswith("q"), e
        gc.callbacks.remove(rename)
        gc.set_threshold(700)
    """)
