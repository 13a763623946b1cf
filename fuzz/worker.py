"""One fuzzing child. Runs the cases of one group for one seed and writes
the number of the case it is in to a progress file before each case, so
that the parent can name the case that crashed or hung."""
import argparse
import faulthandler
import gc
import os
import random
import sys
import tempfile
import warnings
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import cases  # noqa: E402

CASE_LIMIT = 60  # seconds


def make_dataset(root):
    from PIL import Image
    for folder in ("a", "b"):
        (root / folder).mkdir()
        for n in range(2):
            Image.new("L", (2 + n, 3)).save(root / folder / f"{n}.png")
    (root / "a" / "broken.png").write_bytes(b"not an image")
    (root / "b" / "notes.txt").write_text("x")
    (root / "empty").mkdir()


def group_cases(group, root):
    import __pycache__  # noqa: F401
    import pretrain
    import pretrain.analyzing_tools as at
    if group == "loader":
        return [
            (3, cases.case_finder),
            (1, cases.case_finder_patched),
            (2, cases.case_reader),
            (3, lambda ctx: cases.case_function(ctx, [at])),
            (3, lambda ctx: cases.case_coroutine(ctx, at.ClsAnalyzingTool, root)),
            (3, lambda ctx: cases.case_tool(ctx, at, root)),
        ]
    import pretrain.cls_head as cls_head
    import pretrain.datasets as datasets
    import pretrain.image as image
    from mmpretrain.registry import MODELS
    real = [MODELS.build(dict(type="LinearClsHead", num_classes=3, in_channels=4))]
    del pretrain
    return [
        (3, lambda ctx: cases.case_function(ctx, [at, datasets, image, cls_head])),
        (2, lambda ctx: cases.case_transforms(ctx, datasets)),
        (2, lambda ctx: cases.case_dataset(ctx, datasets, at, root)),
        (2, lambda ctx: cases.case_models(ctx, image, cls_head, real)),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--group", choices=["loader", "stack"], required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--gc-every-allocation", action="store_true")
    parser.add_argument("--progress", required=True)
    parser.add_argument("--only", type=int, default=None, help="run just this case")
    options = parser.parse_args()

    faulthandler.enable()
    warnings.simplefilter("ignore")
    root = Path(tempfile.mkdtemp(prefix="fuzz-"))
    make_dataset(root)
    os.chdir(root)  # relative paths among the values name parts of the dataset
    chosen = group_cases(options.group, root)
    weighted = [case for weight, case in chosen for _ in range(weight)]
    counter = [0]
    progress = os.open(options.progress, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    hostile = None
    if options.gc_every_allocation:
        hostile = cases.HostileCollector(random.Random(options.seed),
                                         cases.native_functions([m for n, m in sys.modules.items()
                                                                 if n.startswith("pretrain.")]))
        gc.callbacks.append(hostile)
        gc.set_threshold(1)
    numbers = [options.only] if options.only is not None else range(options.count)
    for number in numbers:
        os.pwrite(progress, b"%-12d\n" % number, 0)
        # A case that runs this long hangs: its traceback is dumped and the run stops.
        faulthandler.dump_traceback_later(CASE_LIMIT, exit=True)
        rng = random.Random(f"{options.group}:{options.seed}:{number}")
        ctx = cases.Context(rng, root, counter)
        try:
            rng.choice(weighted)(ctx)
        except KeyboardInterrupt:
            raise
        except BaseException:
            pass
        finally:
            ctx.restore()
            if hostile:
                hostile.restore()
    faulthandler.cancel_dump_traceback_later()
    if hostile:
        gc.callbacks.remove(hostile)
    gc.set_threshold(700, 10, 10)
    gc.collect()
    os.pwrite(progress, b"%-12s\n" % b"done", 0)
    print(f"calls {counter[0]}", flush=True)


if __name__ == "__main__":
    main()
