"""Long-tail learning from plain configs through mmengine's Runner:
LogitAdjustHook with tau="auto", LogitAdjustedLoss, the per-class report,
checkpoints that carry tau and the prior, and two processes over gloo."""
import re
from pathlib import Path

import numpy as np
import pytest
import torch
import torch.nn.functional as F
from PIL import Image

from conftest import REPO, run_python

import pretrain_tools  # noqa: F401  (first: what the stack reads on Windows)
import pretrain.cls_head  # noqa: E402,F401
import pretrain.datasets  # noqa: E402,F401
import pretrain.image  # noqa: E402,F401
from pretrain_tools import LogitAdjustedLoss, LogitAdjustHook  # noqa: E402
from pretrain_tools.balanced_accuracy import TAU_GRID  # noqa: E402
from pretrain_tools.run_scores import RunScores  # noqa: E402
from mmpretrain.structures import DataSample  # noqa: E402
from mmengine.runner import Runner  # noqa: E402

TRAIN_COUNTS = [8, 4, 1]   # images per class of the long-tailed training part
HELD_OUT = 3               # images per class of the validation and the test part


def write_images(root, counts, seed):
    rng = np.random.default_rng(seed)
    for label, count in enumerate(counts):
        (root / str(label)).mkdir(parents=True)
        for i in range(count):
            Image.fromarray(rng.integers(0, 256, (8, 8), dtype=np.uint8)).save(root / str(label) / f"{i}.png")
    return root


@pytest.fixture(scope="module")
def parts(tmp_path_factory):
    base = tmp_path_factory.mktemp("long_tail")
    return {name: write_images(base / name, counts, seed)
            for seed, (name, counts) in enumerate([("train", TRAIN_COUNTS), ("val", [HELD_OUT] * 3),
                                                   ("test", [HELD_OUT] * 3)])}


def loader(root):
    return dict(batch_size=4, num_workers=0, sampler=dict(type="DefaultSampler", shuffle=False),
                dataset=dict(type="NeuDataset", data_root=str(root), category_map={c: c for c in "012"},
                             init_pipeline=[],
                             pipeline=[dict(type="LoadImageFromFile", color_type="grayscale"),
                                       dict(type="Resize", scale=(32, 32)), dict(type="PackInputs")]))


def config(parts, work_dir, name, *, tau, loss=None, validate=True, train=True):
    head_loss = dict(type="CrossEntropyLoss") if loss is None else dict(type="LogitAdjustedLoss", tau=loss)
    cfg = dict(
        model=dict(type="ImageClassifier",
                   data_preprocessor=dict(type="ClsDataPreprocessor", num_classes=3, mean=[127.5], std=[127.5],
                                          to_rgb=False),
                   backbone=dict(type="LeNet5"), neck=dict(type="GlobalAveragePooling"),
                   head=dict(type="LinearClsHead", num_classes=3, in_channels=120, loss=head_loss)),
        work_dir=str(work_dir), experiment_name=name, default_scope="mmpretrain",
        custom_hooks=[dict(type="LogitAdjustHook", tau=tau)],
        default_hooks=dict(checkpoint=dict(type="CheckpointHook", interval=1)),
        randomness=dict(seed=0), log_level="INFO",
        test_dataloader=loader(parts["test"]), test_cfg=dict(),
        test_evaluator=dict(type="SingleLabelMetric", items=("recall",), average="macro"))
    if train:
        cfg.update(train_dataloader=loader(parts["train"]), train_cfg=dict(by_epoch=True, max_epochs=2),
                   optim_wrapper=dict(optimizer=dict(type="SGD", lr=0.01)))
    if validate:
        cfg.update(val_dataloader=loader(parts["val"]), val_evaluator=dict(type="Accuracy", topk=(1,)),
                   val_cfg=dict())
    return cfg


def log_of(runner):
    return Path(runner.log_dir, f"{runner.timestamp}.log").read_text()


def hook_of(runner):
    return next(h for h in runner.hooks if isinstance(h, LogitAdjustHook))


def expected_bias(tau):
    counts = torch.tensor(TRAIN_COUNTS, dtype=torch.double)
    return (tau * (counts / counts.sum()).log()).float()


def load(path):
    return torch.load(path, map_location="cpu")


def test_auto_tau_picked_on_validation_kept_in_checkpoint_and_used_by_test(parts, tmp_path):
    trained = Runner(**config(parts, tmp_path, "auto", tau="auto"))
    trained.train()
    log = log_of(trained)
    chosen = re.findall(r"tau=([\d.]+) chosen on the validation part; balanced accuracy ([\d.]+) at it, "
                        r"([\d.]+) at tau=0, ([\d.]+) at tau=1", log)
    assert len(chosen) == 2  # one per validation run (one per epoch)
    tau, at_tau, at_0, at_1 = map(float, chosen[-1])
    assert tau in TAU_GRID and at_tau >= max(at_0, at_1)
    assert torch.allclose(trained.model.head.bias, expected_bias(tau))
    # the per-class report: training and validation counts per class
    assert re.search(r"^ +0 +8 +3 +[\d.-]+\n +1 +4 +3 +[\d.-]+\n +2 +1 +3 +[\d.-]+\n"
                     rf"balanced accuracy .* at tau={tau:g}: {at_tau:.2f}", log, re.MULTILINE)

    # the checkpoint of the last epoch was written before its validation picked tau
    checkpoint = load(tmp_path / "epoch_2.pth")
    assert checkpoint["meta"]["logit_adjust"] == dict(adjusted_by="bias", tau=tau, loss_tau=None,
                                                      tau_setting="auto", class_counts=TRAIN_COUNTS)
    assert torch.allclose(checkpoint["state_dict"]["head.bias"], expected_bias(tau))
    # rewritten in place of the old file: its permissions, no scratch file beside it
    assert (tmp_path / "epoch_2.pth").stat().st_mode == (tmp_path / "epoch_1.pth").stat().st_mode
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []

    cfg = config(parts, tmp_path, "auto-test", tau="auto", train=False, validate=False)
    tested = Runner(**cfg, load_from=str(tmp_path / "epoch_2.pth"))
    metrics = tested.test()
    log = log_of(tested)
    assert f"from the checkpoint: tau={tau:g}, adjusted by bias, training counts {TRAIN_COUNTS}" in log
    assert torch.allclose(tested.model.head.bias, expected_bias(tau))
    # the scores rebuilt from the predictions give the stack's own macro recall
    assert re.search(r"^ +0 +8 +3 +[\d.-]+\n +1 +4 +3 +[\d.-]+\n +2 +1 +3 +[\d.-]+\n"
                     rf"balanced accuracy .* test images\) at tau={tau:g}: {metrics['single-label/recall']:.2f}",
                     log, re.MULTILINE)


# Trains two epochs with tau="auto"; once epoch_2.pth exists (saved before its
# validation picks tau), the next binary write (the checkpoint's rewrite)
# stops halfway with Ctrl-C or a crash, after keeping a copy of the
# checkpoint.
INTERRUPTED_REWRITE = """
import builtins, os, signal, sys, time
sys.path.insert(0, {tests!r})
import pretrain_tools, pretrain.cls_head, pretrain.datasets, pretrain.image
from mmengine.runner import Runner
from test_long_tail import config
work = {work!r}
checkpoint = os.path.join(work, "epoch_2.pth")
real_open = builtins.open

class Interrupted:
    def __init__(self, file):
        self.file = file
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return self.file.__exit__(*exc)
    def __getattr__(self, name):
        return getattr(self.file, name)
    def write(self, data):
        self.file.write(data[:len(data) // 2])
        self.file.flush()
        {interruption}
        time.sleep(30)

def opening(file, mode="r", *args, **kwargs):
    if "w" not in mode or "b" not in mode or not os.path.exists(checkpoint):
        return real_open(file, mode, *args, **kwargs)
    builtins.open = real_open
    with open(checkpoint, "rb") as old, open(checkpoint + ".before", "wb") as kept:
        kept.write(old.read())
    return Interrupted(open(file, mode, *args, **kwargs))

builtins.open = opening
Runner(**config({parts!r}, work, "interrupted", tau="auto")).train()
"""


@pytest.mark.parametrize("interruption", ["signal.raise_signal(signal.SIGINT)", "os._exit(3)"],
                         ids=["ctrl-c", "crash"])
def test_an_interrupted_checkpoint_rewrite_leaves_the_old_checkpoint_whole(parts, tmp_path, interruption):
    child = INTERRUPTED_REWRITE.format(tests=str(REPO / "tests"), work=str(tmp_path), interruption=interruption,
                                       parts={name: str(root) for name, root in parts.items()})
    proc = run_python(child, check=False)
    if "SIGINT" in interruption:
        assert proc.returncode != 0 and proc.stderr.endswith("KeyboardInterrupt\n"), proc.stderr
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []  # no scratch file left
    else:
        assert proc.returncode == 3, proc.stderr
    checkpoint = tmp_path / "epoch_2.pth"
    assert checkpoint.read_bytes() == (tmp_path / "epoch_2.pth.before").read_bytes()
    assert load(checkpoint)["meta"]["logit_adjust"]["tau_setting"] == "auto"


def test_auto_without_validation_part_uses_tau_1(parts, tmp_path):
    runner = Runner(**config(parts, tmp_path, "no-val", tau="auto", validate=False))
    runner.train()
    assert "tau='auto' but the run has no validation part; using tau=1" in log_of(runner)
    assert torch.allclose(runner.model.head.bias, expected_bias(1.0))
    assert load(tmp_path / "epoch_2.pth")["meta"]["logit_adjust"]["tau"] == 1.0


@pytest.mark.parametrize("tau", [1.0, "auto"])
def test_loss_trains_with_prior_and_bias_stays_zero(parts, tmp_path, tau):
    runner = Runner(**config(parts, tmp_path, f"loss-{tau}", tau=tau, loss=1.5))
    runner.train()
    assert "the head's loss is LogitAdjustedLoss(tau=1.5)" in log_of(runner)
    assert torch.equal(runner.model.head.bias, torch.zeros(3))
    loss = runner.model.head.loss_module
    assert torch.allclose(loss.log_prior, expected_bias(1.0))
    meta = load(tmp_path / "epoch_2.pth")["meta"]["logit_adjust"]
    assert (meta["adjusted_by"], meta["tau"], meta["loss_tau"]) == ("loss", 0.0, 1.5)


def test_loss_is_cross_entropy_on_scores_plus_tau_log_prior():
    loss = LogitAdjustedLoss(tau=2.0, loss_weight=0.5)
    scores, labels = torch.randn(5, 3), torch.tensor([0, 1, 2, 2, 0])
    with pytest.raises(RuntimeError, match="add dict\\(type='LogitAdjustHook'\\)"):
        loss(scores, labels)
    prior = torch.tensor([0.7, 0.2, 0.1]).log()
    loss.set_log_prior(prior)
    assert torch.allclose(loss(scores, labels), 0.5 * F.cross_entropy(scores + 2.0 * prior, labels))


def test_scores_rebuilt_from_predictions_are_the_heads_up_to_a_shift():
    torch.manual_seed(0)
    raw, bias = 5 * torch.randn(4, 3), expected_bias(1.3)
    scores = RunScores(bias)
    scores.add([DataSample().set_pred_score(F.softmax(row - bias, dim=0)).set_gt_label(i % 3)
                for i, row in enumerate(raw)])
    rebuilt, labels = scores.gathered(4)
    shift = rebuilt - raw.double()
    assert torch.allclose(shift, shift[:, :1].expand_as(shift), atol=1e-3)
    assert labels.tolist() == [0, 1, 2, 0]


def test_two_processes_gather_scores_and_pick_the_same_tau(parts, tmp_path):
    script = tmp_path / "train_two.py"
    script.write_text(f"""
import sys, torch, torch.distributed as dist
sys.path.insert(0, {str(REPO / "tests")!r})
import pretrain_tools, pretrain.cls_head, pretrain.datasets, pretrain.image
from pathlib import Path
from mmengine.config import Config
from mmengine.runner import Runner
from test_long_tail import config, hook_of
dist.init_process_group("gloo")
parts = {{k: Path(v) for k, v in {dict((k, str(v)) for k, v in parts.items())!r}.items()}}
cfg = config(parts, {str(tmp_path)!r}, "dist", tau="auto")
cfg.update(launcher="pytorch", model_wrapper_cfg=dict(type="MMDistributedDataParallel", device_ids=None))
runner = Runner.from_cfg(Config(cfg))
runner.train()
# each rank's outcome in a file of its own: the two processes share one stdout
Path({str(tmp_path)!r}, f"rank{{dist.get_rank()}}.txt").write_text(
    f"tau {{hook_of(runner).tau_in_use}} bias {{runner.model.module.head.bias.tolist()}}")
""")
    out = run_python(None, args=["-m", "pretrain_tools.launch", "--nproc", "2", script],
                     env={"OMP_NUM_THREADS": "1"}).stdout
    ranks = [(tmp_path / f"rank{rank}.txt").read_text() for rank in (0, 1)]
    assert ranks[0] == ranks[1] and ranks[0].startswith("tau ")
    # rank 0 reports every validation image, not its half
    assert re.search(r"^ +0 +8 +3 +[\d.-]+\n +1 +4 +3 +[\d.-]+\n +2 +1 +3 ", out, re.MULTILINE)
