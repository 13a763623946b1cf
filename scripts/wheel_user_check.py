"""What a pip user does with the installed wheels, run by the interpreter of
the user's environment from a folder outside any checkout:

    wheel_user_check.py CONFIG WORK_DIR

- `pretrain-sample-data` gives the sample digits; a long-tailed copy of a few
  of them is the dataset;
- the stack's own tools/train.py trains CONFIG (which imports pretrain_tools
  and uses LogitAdjustHook) and tools/test.py tests the checkpoint it wrote;
- the checkpoint's head.bias is log(prior) of the training part;
- a plain script imports pretrain_tools and the package's modules and trains
  through a Runner, with nothing set by hand;
- `pretrain-check` on a dataset with a broken file and a .JPG exits 1 and
  lists both.
Prints one line per check and closes with "wheel user: N passed, N failed".
"""
import json
import math
import os
import shutil
import subprocess
import sys
import textwrap
import traceback
from pathlib import Path

TRAINING_IMAGES = [24 - 2 * k for k in range(10)]  # of digit k: long-tailed, so the bias is not flat
EPOCHS = "2"


def run(*args, expect=0, env=None):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=1800,
                          env={**os.environ, **(env or {})})
    if proc.returncode != expect:
        raise AssertionError(f"{' '.join(map(str, args))} exited {proc.returncode}, not {expect}:\n"
                             f"{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}")
    return proc


def command(name, module):
    """The console script where pip made one for this interpreter, else `python -m`."""
    script = Path(sys.executable).with_name(name + (".exe" if os.name == "nt" else ""))
    return [script] if script.is_file() else [sys.executable, "-m", module]


def stack_tool(name):
    import mmpretrain
    return Path(mmpretrain.__file__).parent / ".mim" / "tools" / name


class Lane:
    def __init__(self, config, work):
        self.config, self.work = Path(config), Path(work)
        self.passed = self.failed = 0
        self.digits = self.work / "digits"
        # as pretrain-sample-data prints it: a backslash would be an escape in mmengine's substitution
        self.data_root = {"DATA_ROOT": self.digits.as_posix()}
        self.checkpoint = None

    def check(self, name, step):
        try:
            step()
        except Exception:
            self.failed += 1
            print(f"FAILED {name}\n{textwrap.indent(traceback.format_exc(), '  ')}", flush=True)
        else:
            self.passed += 1
            print(f"ok {name}", flush=True)

    def sample_digits(self):
        folder = Path(run(*command("pretrain-sample-data", "pretrain_check.sample_data")).stdout.strip())
        assert sorted(p.name for p in folder.iterdir()) == [str(d) for d in range(10)], folder
        for digit, count in enumerate(TRAINING_IMAGES):
            target = self.digits / str(digit)
            target.mkdir(parents=True)
            for image in sorted((folder / str(digit)).iterdir())[:count]:
                shutil.copy(image, target)

    def train_with_stack_tools(self):
        proc = run(sys.executable, stack_tool("train.py"), self.config, "--work-dir", self.work / "train",
                   "--cfg-options", f"train_cfg.max_epochs={EPOCHS}", f"train_cfg.val_interval={EPOCHS}",
                   f"default_hooks.checkpoint.interval={EPOCHS}", env=self.data_root)
        assert "LogitAdjustHook" in proc.stdout + proc.stderr
        self.checkpoint = self.work / "train" / f"epoch_{EPOCHS}.pth"
        assert self.checkpoint.is_file()

    def test_with_stack_tools(self):
        proc = run(sys.executable, stack_tool("test.py"), self.config, self.checkpoint,
                   "--work-dir", self.work / "test", env=self.data_root)
        assert "accuracy/top1" in proc.stdout + proc.stderr

    def bias_holds_the_adjustment(self):
        import torch
        from mmengine.config import Config
        from mmengine.registry import init_default_scope
        from mmpretrain.registry import DATASETS

        import pretrain_tools  # noqa: F401  (checkpoints load under weights_only)

        os.environ.update(self.data_root)
        cfg = Config.fromfile(str(self.config))
        init_default_scope("mmpretrain")
        training = DATASETS.build(cfg.train_dataloader.dataset)
        labels = [training.get_data_info(i)["gt_label"] for i in range(len(training))]
        counts = [labels.count(k) for k in range(10)]
        expected = torch.tensor([math.log(c / len(labels)) for c in counts])
        bias = torch.load(self.checkpoint, map_location="cpu")["state_dict"]["head.bias"]
        assert torch.allclose(bias.double(), expected.double(), atol=1e-5), (bias, expected)

    def user_script_trains(self):
        script = self.work / "my_training.py"
        script.write_text(textwrap.dedent(f"""\
            import pretrain_tools
            import pretrain.cls_head, pretrain.datasets, pretrain.image
            from mmengine.config import Config
            from mmengine.runner import Runner

            cfg = Config.fromfile({str(self.config)!r})
            cfg.work_dir = {str(self.work / "script")!r}
            cfg.train_cfg.max_epochs = cfg.train_cfg.val_interval = 1
            runner = Runner.from_cfg(cfg)
            runner.train()
            print("top-1", runner.val()["accuracy/top1"])
            """))
        proc = run(sys.executable, script, env=self.data_root)
        assert "top-1" in proc.stdout

    def check_flawed_dataset(self):
        flawed = self.work / "flawed"
        for cls in ("a", "b"):
            (flawed / cls).mkdir(parents=True)
            for image in sorted((self.digits / "0").iterdir())[:3]:
                shutil.copy(image, flawed / cls / f"{cls}_{image.name}")
        (flawed / "a" / "broken.png").write_bytes(b"not an image")
        shutil.copy(next((self.digits / "1").iterdir()), flawed / "b" / "IMG_1.JPG")
        summary = self.work / "summary.json"
        run(*command("pretrain-check", "pretrain_check"), flawed, "--check", "--json", summary, expect=1)
        problems = json.loads(summary.read_text())["problems"]
        assert [f["path"] for f in problems["unreadable"]["files"]] == [str(flawed / "a" / "broken.png")]
        assert [f["path"] for f in problems["suffix_case"]["files"]] == [str(flawed / "b" / "IMG_1.JPG")]


def main(config, work):
    lane = Lane(config, work)
    lane.check("pretrain-sample-data gives the sample digits", lane.sample_digits)
    lane.check("tools/train.py trains the config", lane.train_with_stack_tools)
    if lane.checkpoint:
        lane.check("tools/test.py tests the checkpoint", lane.test_with_stack_tools)
        lane.check("the checkpoint's head.bias is log(prior) of the training part", lane.bias_holds_the_adjustment)
    lane.check("a plain script trains through a Runner", lane.user_script_trains)
    lane.check("pretrain-check lists a broken file and a .JPG", lane.check_flawed_dataset)
    print(f"wheel user: {lane.passed} passed, {lane.failed} failed")
    return 1 if lane.failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
