"""LinearClsHead and ImageClassifier against the real mmpretrain stack."""
import gc
import sys

import pytest
import torch

import pretrain.cls_head as cls_head
import pretrain.image as image
from mmpretrain.models.classifiers.image import ImageClassifier as StackClassifier
from mmpretrain.models.heads.linear_head import LinearClsHead as StackHead
from mmpretrain.registry import MODELS
from mmpretrain.structures import DataSample

NUM_CLASSES = 4


def test_module_globals_in_order():
    def public(module):
        return [n for n in vars(module) if not n.startswith("__")]

    assert public(cls_head) == ["Tuple", "torch", "BaseLinearClsHead", "MODELS", "MetaClass", "LinearClsHead"]
    assert public(image) == [
        "List", "Optional", "torch", "BaseImageClassifier", "MODELS", "DataSample", "MetaClass", "ImageClassifier"]
    assert cls_head.BaseLinearClsHead is StackHead
    assert image.BaseImageClassifier is StackClassifier


def test_classes_replace_the_stack_entries():
    assert MODELS.get("LinearClsHead") is cls_head.LinearClsHead
    assert MODELS.get("ImageClassifier") is image.ImageClassifier
    head_ns = [n for n in vars(cls_head.LinearClsHead) if n not in ("__doc__", "__abstractmethods__", "_abc_impl")]
    assert head_ns[:2] == ["__module__", "forward"]
    assert image.ImageClassifier.__module__ == "pretrain.image"
    assert image.ImageClassifier.__qualname__ == "ImageClassifier"
    for name in ("__init__", "loss", "predict"):
        assert getattr(image.ImageClassifier, name).__qualname__ == f"ImageClassifier.{name}"
    assert image.ImageClassifier.predict.__defaults__ == (None,)
    assert image.ImageClassifier.loss.__annotations__ == {
        "inputs": torch.Tensor, "data_samples": image.List[DataSample], "return": dict}


def build_classifier(**head_extra):
    model = MODELS.build(dict(
        type="ImageClassifier",
        backbone=dict(type="ResNet_CIFAR", depth=18, in_channels=3),
        neck=dict(type="GlobalAveragePooling"),
        head=dict(type="LinearClsHead", num_classes=NUM_CLASSES, in_channels=512,
                  loss=dict(type="CrossEntropyLoss"), **head_extra),
    ))
    model.eval()
    return model


@pytest.fixture(scope="module")
def model():
    torch.manual_seed(0)
    model = build_classifier()
    # The tests below give the head a bias of any kind (a number too) and take
    # it away again, so the zero buffer that the head is built with goes.
    del model.head.bias
    return model


@pytest.fixture
def batch():
    torch.manual_seed(1)
    inputs = torch.randn(3, 3, 16, 16)
    samples = [DataSample().set_gt_label(i % NUM_CLASSES) for i in range(3)]
    return inputs, samples


def test_built_through_registry(model):
    assert type(model) is image.ImageClassifier
    assert type(model.head) is cls_head.LinearClsHead
    assert isinstance(model.head, StackHead) and isinstance(model, StackClassifier)


def test_head_forward_drops_keywords(model, batch):
    feats = model.extract_feat(batch[0])
    expected = StackHead.forward(model.head, feats)
    assert torch.equal(model.head.forward(feats, extra=1, mode="x"), expected)
    assert torch.equal(model.head.forward(feats=feats), expected)
    assert torch.equal(model.head(feats), expected)


def test_loss_is_the_heads_loss(model, batch):
    inputs, samples = batch
    feats = model.extract_feat(inputs)
    ours = model.loss(inputs, samples)
    theirs = model.head.loss(feats, samples)
    assert ours.keys() == theirs.keys() == {"loss"}
    assert torch.allclose(ours["loss"], theirs["loss"])
    assert torch.allclose(model(inputs, samples, mode="loss")["loss"], theirs["loss"])


@pytest.mark.parametrize("bias", [0, torch.tensor([0.0, 0.0, 0.0, 0.0]), torch.tensor([5.0, -1.0, 0.5, 2.0])])
def test_predict_subtracts_bias(model, batch, bias):
    inputs, samples = batch
    model.head.bias = bias
    try:
        feats = model.extract_feat(inputs)
        adjusted = StackHead.forward(model.head, feats) - bias
        expected = model.head._get_predictions(adjusted.clone(), [DataSample() for _ in range(3)])
        got = model.predict(inputs)
        assert len(got) == 3
        for g, e in zip(got, expected):
            assert torch.allclose(g.pred_score, e.pred_score)
            assert torch.equal(g.pred_label, e.pred_label)
        with_kwargs = model.predict(inputs, samples, extra=True)
        assert with_kwargs is not None and len(with_kwargs) == 3
        assert all(a is b for a, b in zip(with_kwargs, samples))
        assert torch.equal(with_kwargs[0].pred_label, got[0].pred_label)
    finally:
        del model.head.bias


def test_predict_adjusts_the_heads_tensor_in_place(model, batch):
    seen = []
    original = type(model.head).forward

    class Spy(type(model.head)):
        def forward(self, feats, **kwargs):
            seen.append(original(self, feats))
            return seen[-1]

    head_class = type(model.head)
    model.head.__class__ = Spy
    model.head.bias = torch.tensor([1.0, 2.0, 3.0, 4.0])
    try:
        before = original(model.head, model.extract_feat(batch[0])).clone()
        model.predict(batch[0])
        assert torch.allclose(seen[0], before - model.head.bias)
    finally:
        model.head.__class__ = head_class
        del model.head.bias


def test_predict_failures_propagate(model, batch):
    with pytest.raises(AttributeError, match="bias"):
        model.predict(batch[0])
    model.head.bias = torch.ones(7)
    try:
        with pytest.raises(RuntimeError):
            model.predict(batch[0])
    finally:
        del model.head.bias


def test_init_passes_everything_to_the_base():
    torch.manual_seed(0)
    ours = build_classifier()
    torch.manual_seed(0)
    theirs = StackClassifier(
        backbone=dict(type="ResNet_CIFAR", depth=18, in_channels=3),
        neck=dict(type="GlobalAveragePooling"),
        head=dict(type="LinearClsHead", num_classes=NUM_CLASSES, in_channels=512,
                  loss=dict(type="CrossEntropyLoss")))
    assert [n for n, _ in ours.named_modules()] == [n for n, _ in theirs.named_modules()]
    with pytest.raises(TypeError):
        image.ImageClassifier(no_such_argument=1)


def test_calls_leak_no_references(model, batch):
    inputs, samples = batch
    model.head.bias = torch.zeros(NUM_CLASSES)
    feats = model.extract_feat(inputs)
    try:
        for _ in range(5):
            model.predict(inputs, samples, extra=1)
            model.head.forward(feats, extra=1)
        gc.collect()
        counts = [sys.getrefcount(o) for o in (inputs, feats, model, model.head, samples, samples[0])]
        with torch.no_grad():
            for _ in range(200):
                model.predict(inputs, samples, extra=1)
                model.head.forward(feats, extra=1)
                model.loss(inputs, samples)
        gc.collect()
        assert [sys.getrefcount(o) for o in (inputs, feats, model, model.head, samples, samples[0])] == counts
    finally:
        del model.head.bias
