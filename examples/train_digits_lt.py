"""Post-hoc logit adjustment on a long-tailed digits training part.

The digit classifier of pretrain_tools/configs/digits.py is trained on a long-tailed part of
the digits (imbalance ratio 100 by default: from 100 images of "0" down to 1
image of "9", see long_tail.py) and validated on a balanced part. The one
trained model is evaluated twice: plain (head `bias` zero, LogitAdjustHook with
tau 0) and logit-adjusted (bias = tau * log prior of the training part). The
table gives per-class, balanced (mean per-class) and overall accuracy.

    PYTHONPATH=support python examples/train_digits_lt.py [--epochs N] [--ratio R]
"""
import argparse
import sys
import time

from mmengine.runner import Runner

from pretrain_tools import LogitAdjustHook
from long_tail import long_tail_datasets
from run_setup import DIGITS_CONFIG, REPO, configure_console, load_config, sample_data_dir, without_code_layout


def evaluate(runner, hook, tau):
    hook.tau = tau
    metrics = runner.val()
    per_class = metrics["single-label/recall_classwise"]
    return dict(per_class=per_class, balanced=sum(per_class) / len(per_class),
                overall=metrics["accuracy/top1"])


def print_table(classes, train_counts, val_counts, plain, adjusted, tau):
    print(f"{'class':>8} {'train':>6} {'val':>5} {'plain %':>8} {'adjusted %':>11}")
    for i, c in enumerate(classes):
        print(f"{c:>8} {train_counts[c]:>6} {val_counts[i]:>5} "
              f"{plain['per_class'][i]:>8.2f} {adjusted['per_class'][i]:>11.2f}")
    for name in ("balanced", "overall"):
        print(f"{name + ' accuracy':>21} {plain[name]:>8.2f} {adjusted[name]:>11.2f}")
    print(f"gain from logit adjustment (tau={tau}): balanced {adjusted['balanced'] - plain['balanced']:+.2f} "
          f"points, overall {adjusted['overall'] - plain['overall']:+.2f} points")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=30)
    parser.add_argument("--ratio", type=float, default=100.0, help="imbalance ratio, largest / smallest class")
    parser.add_argument("--largest", type=int, default=100, help="training images of the largest class")
    parser.add_argument("--tau", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=42, help="seed of the class splits")
    parser.add_argument("--work-dir", default=REPO / "build" / "train_digits_lt")
    args = parser.parse_args(argv)
    configure_console()

    began = time.perf_counter()
    cfg = load_config(DIGITS_CONFIG, work_dir=args.work_dir, epochs=args.epochs)
    train_set, val_set, train_counts = long_tail_datasets(
        sample_data_dir(), cfg.classes, f"{cfg.work_dir}/by_class", largest=args.largest,
        ratio=args.ratio, seed=args.seed, pipeline=cfg.pipeline)
    cfg.train_dataloader.dataset = train_set
    cfg.val_dataloader.dataset = val_set
    cfg.train_cfg.val_interval = args.epochs
    cfg.val_evaluator = [dict(type="Accuracy", topk=(1,)),
                         dict(type="SingleLabelMetric", items=("recall",), average=None)]
    cfg.custom_hooks = [dict(type="LogitAdjustHook", tau=args.tau)]

    runner = Runner.from_cfg(without_code_layout(cfg))
    runner.train()
    trained = time.perf_counter() - began
    hook = next(h for h in runner.hooks if isinstance(h, LogitAdjustHook))
    plain = evaluate(runner, hook, 0.0)
    adjusted = evaluate(runner, hook, args.tau)
    val_labels = [runner.val_dataloader.dataset.get_data_info(i)["gt_label"]
                  for i in range(len(runner.val_dataloader.dataset))]
    val_counts = [val_labels.count(i) for i in range(len(cfg.classes))]

    print(f"long-tailed training part: {sum(train_counts.values())} images, imbalance ratio "
          f"{max(train_counts.values()) / min(train_counts.values()):g}; balanced validation part: "
          f"{len(val_labels)} images; {args.epochs} epochs, {trained:.1f}s training, "
          f"{time.perf_counter() - began:.1f}s in all")
    print_table(cfg.classes, train_counts, val_counts, plain, adjusted, args.tau)
    return 0


if __name__ == "__main__":
    sys.exit(main())
