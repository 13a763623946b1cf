"""10,000 calls of each public native callable, succeeding and failing,
leave the collector's object count and the traced memory flat."""
import pytest

from test_robustness import assert_no_growth

ROUNDS = 10_000
WARMUP = 1_000


def run(coroutine):
    """Drives a coroutine that never really suspends to its result."""
    try:
        while True:
            coroutine.send(None)
    except StopIteration as stop:
        return stop.value


class Pause:
    def __await__(self):
        yield "pause"


def test_analysis_tool_calls_leak_nothing(tmp_path):
    from PIL import Image
    import pretrain.analyzing_tools as at
    (tmp_path / "a").mkdir()
    Image.new("L", (2, 2)).save(tmp_path / "a" / "0.png")
    tool = at.ClsAnalyzingTool(str(tmp_path))
    run(tool.get_category_distribution())
    arg = object()

    async def callback(progress):
        return progress

    def suspended_then_closed():
        c = tool.get_data_list(lambda p: Pause())
        c.send(None)
        c.close()

    operations = [
        lambda: at.ClsAnalyzingTool(str(tmp_path)),
        lambda: at.ClsAnalyzingTool(),
        lambda: run(tool.get_category_distribution(callback)),
        lambda: run(tool.get_image_format_distribution()),
        lambda: run(tool.get_random_images(2)),
        lambda: run(tool.get_random_images(1, False)),
        lambda: run(tool.get_data_list(callback)),
        lambda: run(tool.get_data_list(arg)),
        lambda: run(tool.get_category_distribution(lambda p: 1 / 0)),
        lambda: run(at.ClsAnalyzingTool.get_image_size_distribution(arg)),
        lambda: tool.get_random_images(1, 2, 3, 4),
        suspended_then_closed,
        lambda: tool.get_data_list(callback).throw(KeyError("x")),
    ]
    assert_no_growth(operations, [tool, arg, callback], rounds=ROUNDS, warmup=WARMUP)


def test_transform_and_dataset_calls_leak_nothing():
    ds = pytest.importorskip("pretrain.datasets")
    split, repeat = ds.SplitData(start=0.25, end=0.75, seed=1), ds.RepeatData(times=3)
    arg = object()

    class Tool:
        classes = ["a"]
        category_image_map = {"a": ["x.png", "y.png"]}

        async def get_path_list(self):
            return []

        async def get_category_distribution(self):
            return {}

    dataset = ds.NeuDataset.__new__(ds.NeuDataset)
    dataset.tool, dataset.classes, dataset.category_map = Tool(), ["a"], {"a": "a"}
    dataset.init_pipeline = lambda data: data
    dataset.data_list = [1, 2]
    broken = ds.NeuDataset.__new__(ds.NeuDataset)
    broken.tool, broken.classes, broken.category_map = Tool(), ["a"], {}
    operations = [
        lambda: split.transform({"data_list": list(range(8))}),
        lambda: split.transform({}),
        lambda: repeat.transform({"data_list": [1]}),
        lambda: repeat.transform(arg),
        lambda: ds.SplitData(1, 2, 3, 4, 5, 6),
        lambda: run(dataset.load_data_list2()),
        lambda: run(broken.load_data_list2()),
        lambda: dataset.filter_data(),
    ]
    import contextlib
    import os
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        # The event-loop-free drive of load_data_list2 leaves some 11 bytes
        # per call in interpreter caches that stay bounded over longer runs;
        # a lost object would take at least 16.
        assert_no_growth(operations, [split, repeat, arg, dataset], rounds=ROUNDS, warmup=WARMUP,
                         bytes_per_call=16)


def test_model_calls_leak_nothing():
    image = pytest.importorskip("pretrain.image")
    cls_head = pytest.importorskip("pretrain.cls_head")

    class Stand:
        def extract_feat(self, inputs):
            return inputs

        def _get_predictions(self, score, samples):
            return score

        class head:
            bias = 1

            @staticmethod
            def loss(feats, samples):
                return feats

            @staticmethod
            def forward(feats):
                return feats

    stand, arg = Stand(), object()
    operations = [
        lambda: image.ImageClassifier.loss(stand, 1, None),
        lambda: image.ImageClassifier.predict(stand, 3),
        lambda: image.ImageClassifier.predict(stand, arg),
        lambda: cls_head.LinearClsHead.forward(stand, arg),
        lambda: image.ImageClassifier.__init__(stand),
    ]
    assert_no_growth(operations, [stand, arg], rounds=ROUNDS, warmup=WARMUP)
