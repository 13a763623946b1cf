"""Train the digit classifier of pretrain_tools/configs/digits.py, then evaluate the saved
checkpoint again in a fresh runner.

The config is plain mmengine: the package's `NeuDataset` with a seeded
`SplitData` (80 % trains, 20 % validates), its `ImageClassifier` and
`LinearClsHead`, and `LogitAdjustHook` (pretrain_tools, reached through the
config's `custom_imports`). After training, a second runner without a training
part loads the last checkpoint and validates it: both accuracies are printed
and must agree.

    PYTHONPATH=support python examples/train_digits.py [--epochs N] [--work-dir DIR]
    PYTHONPATH=support python -m torch.distributed.run --nproc_per_node=2 \\
        examples/train_digits.py --launcher pytorch
"""
import argparse
import sys
import time

from mmengine.dist import get_rank, get_world_size
from mmengine.model import is_model_wrapper
from mmengine.runner import Runner, find_latest_checkpoint

from run_setup import DIGITS_CONFIG, REPO, configure_console, evaluation_config, load_config


def image_paths(dataset):
    return {str(dataset.get_data_info(i)["img_path"]) for i in range(len(dataset))}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=10)
    parser.add_argument("--work-dir", default=REPO / "build" / "train_digits")
    parser.add_argument("--launcher", choices=["none", "pytorch"], default="none")
    args = parser.parse_args(argv)
    configure_console()

    began = time.perf_counter()
    cfg = load_config(DIGITS_CONFIG, work_dir=args.work_dir,
                      epochs=args.epochs, launcher=args.launcher)
    runner = Runner.from_cfg(cfg)
    runner.train()
    trained = runner.val()["accuracy/top1"]
    model = runner.model.module if is_model_wrapper(runner.model) else runner.model
    trained_bias = model.head.bias.tolist()
    trained_time = time.perf_counter() - began

    checkpoint = find_latest_checkpoint(runner.work_dir)
    reloaded_runner = Runner.from_cfg(evaluation_config(cfg, checkpoint))
    reloaded = reloaded_runner.val()["accuracy/top1"]

    train_set, val_set = runner.train_dataloader.dataset, runner.val_dataloader.dataset
    shared = image_paths(train_set) & image_paths(val_set)
    if get_rank() == 0:
        print(f"processes: {get_world_size()}")
        print(f"train part {len(train_set)} images, validation part {len(val_set)} images, "
              f"{len(shared)} shared")
        print(f"head bias after training: {[round(float(v), 3) for v in trained_bias]}")
        print(f"validation top-1 accuracy, trained model:     {trained:.2f}% "
              f"({args.epochs} epochs, {trained_time:.1f}s)")
        print(f"validation top-1 accuracy, reloaded checkpoint: {reloaded:.2f}% ({checkpoint})")
        print(f"{time.perf_counter() - began:.1f}s in all")
    return 0 if reloaded == trained and not shared else 1


if __name__ == "__main__":
    sys.exit(main())
