"""Long-tail learning on the bundled digits: cross-entropy, post-hoc logit
adjustment at tau=1 and at the tau picked on the validation part, and the
logit-adjusted loss, as balanced and overall test accuracy over seeds.

Per imbalance ratio and seed, the digits split into a long-tailed training
part (examples/long_tail.py: `largest` images of "0" falling to
largest / ratio of "9"), a balanced validation part and a balanced test part,
disjoint. One model trained with cross-entropy gives the first three rows
(LogitAdjustHook with tau="auto" picks tau on its last validation run); a
second, trained with LogitAdjustedLoss, gives the fourth.

    OMP_NUM_THREADS=1 .venv/bin/python bench/longtail.py [--epochs N] [--seeds 0 1 2] [--ratios 10 100]
"""
import argparse
import statistics
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "examples"))

from mmengine.runner import Runner  # noqa: E402

from long_tail import long_tail_datasets  # noqa: E402
from pretrain_tools import LogitAdjustHook  # noqa: E402
from run_setup import DIGITS_CONFIG, configure_console, load_config, sample_data_dir, without_code_layout  # noqa: E402

ROWS = ("cross-entropy (tau=0)", "post-hoc tau=1", 'post-hoc tau="auto"', "logit-adjusted loss tau=1")
EVALUATOR = [dict(type="Accuracy", topk=(1,)), dict(type="SingleLabelMetric", items=("recall",), average=None)]


def run_config(args, ratio, seed, name, loss):
    cfg = load_config(DIGITS_CONFIG, work_dir=Path(args.work_dir) / f"r{ratio:g}_s{seed}_{name}",
                      epochs=args.epochs)
    train, (val, test), _ = long_tail_datasets(
        sample_data_dir(), cfg.classes, f"{args.work_dir}/by_class", largest=args.largest, ratio=ratio,
        seed=42 + seed, pipeline=cfg.pipeline, held_out=[tuple(args.validation), tuple(args.test)])
    cfg.train_dataloader.dataset = train
    cfg.val_dataloader.dataset = val
    cfg.test_dataloader = dict(cfg.val_dataloader, dataset=test)
    cfg.val_evaluator = cfg.test_evaluator = EVALUATOR
    cfg.test_cfg = dict()
    cfg.train_cfg.val_interval = args.epochs
    cfg.default_hooks.checkpoint = dict(type="CheckpointHook", interval=-1, save_last=False)
    cfg.default_hooks.logger = dict(type="LoggerHook", interval=50)
    cfg.randomness = dict(seed=seed)
    cfg.log_level = "WARNING"
    if loss:
        cfg.model.head.loss = dict(type="LogitAdjustedLoss", tau=1.0)
    cfg.custom_hooks = [dict(type="LogitAdjustHook", tau="auto" if not loss else 1.0)]
    return without_code_layout(cfg)


def test_accuracy(runner):
    metrics = runner.test()
    recall = metrics["single-label/recall_classwise"]
    return sum(recall) / len(recall), metrics["accuracy/top1"]


def one_seed(args, ratio, seed):
    """{row: (balanced, overall)} and the tau picked."""
    runner = Runner.from_cfg(run_config(args, ratio, seed, "ce", loss=False))
    runner.train()
    hook = next(h for h in runner.hooks if isinstance(h, LogitAdjustHook))
    picked = hook.tau_in_use
    results = {}
    for row, tau in zip(ROWS, (0.0, 1.0, picked)):
        hook.tau = tau
        results[row] = test_accuracy(runner)
    runner = Runner.from_cfg(run_config(args, ratio, seed, "loss", loss=True))
    runner.train()
    results[ROWS[3]] = test_accuracy(runner)
    return results, picked


def mean_std(values):
    return f"{statistics.mean(values):6.2f} ± {statistics.stdev(values) if len(values) > 1 else 0.0:4.2f}"


def print_table(ratio, per_seed, picked):
    print(f"\nimbalance ratio {ratio:g}: test accuracy in % over seeds {list(per_seed)}; tau picked {picked}")
    print(f"{'method':<28} {'balanced':>15} {'overall':>15}")
    for row in ROWS:
        balanced = [per_seed[s][row][0] for s in per_seed]
        overall = [per_seed[s][row][1] for s in per_seed]
        print(f"{row:<28} {mean_std(balanced):>15} {mean_std(overall):>15}")
    mean = {row: statistics.mean(per_seed[s][row][0] for s in per_seed) for row in ROWS}
    print(f"goals: post-hoc tau=1 {mean[ROWS[1]] - mean[ROWS[0]]:+.2f}, loss {mean[ROWS[3]] - mean[ROWS[0]]:+.2f} "
          f"points over cross-entropy (>= +4 at ratio 100); auto {mean[ROWS[2]] - mean[ROWS[1]]:+.2f} "
          "against tau=1 (>= -1)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ratios", type=float, nargs="+", default=[10.0, 100.0])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    parser.add_argument("--epochs", type=int, default=20)
    parser.add_argument("--largest", type=int, default=100, help="training images of the largest class")
    parser.add_argument("--validation", type=float, nargs=2, default=[0.7, 0.85], metavar=("START", "END"))
    parser.add_argument("--test", type=float, nargs=2, default=[0.85, 1.0], metavar=("START", "END"))
    parser.add_argument("--work-dir", default=str(REPO / "build" / "bench_longtail"))
    args = parser.parse_args(argv)
    configure_console()
    began = time.perf_counter()
    for ratio in args.ratios:
        runs = {seed: one_seed(args, ratio, seed) for seed in args.seeds}
        print_table(ratio, {s: r for s, (r, _) in runs.items()}, [p for _, p in runs.values()])
    print(f"\n{args.epochs} epochs per training, {len(args.ratios) * len(args.seeds) * 2} trainings, "
          f"{time.perf_counter() - began:.0f}s in all")
    return 0


if __name__ == "__main__":
    sys.exit(main())
