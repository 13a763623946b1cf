"""What a pip user does with the installed wheels, run by the interpreter of
the user's environment from a folder outside any checkout:

    wheel_user_check.py README WORK_DIR

- `pretrain-sample-data` gives the sample digits; a long-tailed copy of a few
  of them is the dataset (through PRETRAIN_SAMPLE_DATA);
- the README's quick start for this system, the lines between
  `<!-- quickstart: linux -->` (or `windows`) and `<!-- /quickstart -->`, runs
  as it is in an empty folder, with this interpreter's folders first on PATH:
  the stack's own tools train and test the config `pretrain-sample-data
  --config .` writes, train it with tau="auto" and with LogitAdjustedLoss,
  and on two processes through `python -m pretrain_tools.launch`;
- the checkpoints say which adjustment each training made, and head.bias is
  log(prior) of the training part;
- a plain script imports pretrain_tools and the package's modules and trains
  through a Runner, with nothing set by hand;
- `pretrain-check` on a dataset with a broken file and a .JPG exits 1 and
  lists both;
- `mypy --strict` passes on a script that imports both companion packages
  (where mypy is installed).
Prints one line per check and closes with "wheel user: N passed, N failed".
"""
import importlib.util
import json
import math
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import traceback
from pathlib import Path

TRAINING_IMAGES = [24 - 2 * k for k in range(10)]  # of digit k: long-tailed, so the bias is not flat
SYSTEM = "windows" if os.name == "nt" else "linux"
QUICKSTART_RUNS = ("work", "work-auto", "work-loss", "work-2")  # the --work-dir of each training


def run(*args, expect=0, env=None, cwd=None):
    proc = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=3600,
                          env={**os.environ, **(env or {})}, cwd=cwd)
    if proc.returncode != expect:
        raise AssertionError(f"{' '.join(map(str, args))} exited {proc.returncode}, not {expect}:\n"
                             f"{proc.stdout[-4000:]}\n{proc.stderr[-4000:]}")
    return proc


def command(name, module):
    """The console script where pip made one for this interpreter, else `python -m`."""
    script = Path(sysconfig.get_path("scripts"), name + (".exe" if os.name == "nt" else ""))
    return [script] if script.is_file() else [sys.executable, "-m", module]


def quickstart_lines(readme, system):
    """The lines of the README's quick-start block for `system`."""
    text = Path(readme).read_text(encoding="utf-8")
    block = re.search(rf"<!-- quickstart: {system} -->\n```\w*\n(.*?)```\n<!-- /quickstart -->", text, re.S)
    if not block:
        raise AssertionError(f"{readme} has no quick-start block for {system}")
    return block.group(1).splitlines()


def shell_script(folder, lines):
    """The lines as a script of the system's shell that stops at the first
    failing one, and the command that runs it."""
    if os.name == "nt":
        script = folder / "quickstart.bat"
        script.write_text("".join(f"{line}\nif errorlevel 1 exit /b 1\n" for line in lines))
        return ["cmd", "/c", script]
    script = folder / "quickstart.sh"
    script.write_text("set -ex\n" + "".join(f"{line}\n" for line in lines))
    return ["bash", script]


def adjustment_meta(checkpoint):
    import torch

    import pretrain_tools  # noqa: F401  (checkpoints load under weights_only)
    return torch.load(checkpoint, map_location="cpu")["meta"]["logit_adjust"]


class Lane:
    def __init__(self, readme, work):
        self.readme, self.work = Path(readme), Path(work)
        self.passed = self.failed = 0
        self.digits = self.work / "digits"
        self.quick = self.work / "quickstart"
        self.config = self.quick / "digits.py"
        self.ran_quickstart = False

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

    def quickstart(self):
        self.quick.mkdir()
        folders = dict.fromkeys([os.path.dirname(sys.executable), sysconfig.get_path("scripts")])
        env = {"PATH": os.pathsep.join([*folders, os.environ["PATH"]]),
               "PRETRAIN_SAMPLE_DATA": str(self.digits)}
        env_without_data_root = {k: v for k, v in os.environ.items() if k != "DATA_ROOT"}
        proc = subprocess.run([str(a) for a in shell_script(self.quick, quickstart_lines(self.readme, SYSTEM))],
                              cwd=self.quick, capture_output=True, text=True, timeout=3600,
                              env={**env_without_data_root, **env})
        (self.work / "quickstart.log").write_text(proc.stdout + proc.stderr)
        assert proc.returncode == 0, f"the quick start exited {proc.returncode}:\n{proc.stdout[-3000:]}\n{proc.stderr[-6000:]}"
        self.ran_quickstart = True
        assert "accuracy/top1" in proc.stdout + proc.stderr, "tools/test.py printed no accuracy"
        missing = [run for run in QUICKSTART_RUNS if not (self.quick / run / "epoch_10.pth").is_file()]
        assert not missing, f"no epoch_10.pth in {missing}"

    def each_training_adjusted_as_asked(self):
        meta = {run: adjustment_meta(self.quick / run / "epoch_10.pth") for run in QUICKSTART_RUNS}
        assert {run: (m["adjusted_by"], m["tau_setting"]) for run, m in meta.items()} == {
            "work": ("bias", 1.0), "work-auto": ("bias", "auto"), "work-loss": ("loss", 1.0),
            "work-2": ("bias", 1.0)}, meta

    def bias_holds_the_adjustment(self):
        import torch
        from mmengine.config import Config
        from mmengine.registry import init_default_scope
        from mmpretrain.registry import DATASETS

        import pretrain_tools  # noqa: F401  (registers what the config names)

        os.environ["DATA_ROOT"] = self.digits.as_posix()
        cfg = Config.fromfile(str(self.config))
        init_default_scope("mmpretrain")
        training = DATASETS.build(cfg.train_dataloader.dataset)
        labels = [training.get_data_info(i)["gt_label"] for i in range(len(training))]
        counts = [labels.count(k) for k in range(10)]
        expected = torch.tensor([math.log(c / len(labels)) for c in counts])
        bias = torch.load(self.quick / "work" / "epoch_10.pth", map_location="cpu")["state_dict"]["head.bias"]
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
        proc = run(sys.executable, script, env={"DATA_ROOT": self.digits.as_posix()})
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

    def typed_companions(self):
        script = self.work / "typed_user.py"
        script.write_text(textwrap.dedent("""\
            from pathlib import Path

            import pretrain_check
            from pretrain_check.example_config import write_example_config
            from pretrain_check.sample_data import main as sample_data
            from pretrain_tools import LogitAdjustedLoss, LogitAdjustHook
            from pretrain_tools.launch import main as launch


            def hooks(tau: float | str) -> list[LogitAdjustHook]:
                return [LogitAdjustHook(tau=tau)]


            def loss(tau: float) -> LogitAdjustedLoss:
                return LogitAdjustedLoss(tau=tau, loss_weight=1.0)


            def two_processes(script: str) -> int:
                return launch(["--nproc", "2", script])


            def example(folder: str) -> Path:
                return write_example_config(folder)


            status: int = sample_data(["--config", "."])
            print(pretrain_check.__name__, status)
            """))
        run(sys.executable, "-m", "mypy", "--strict", "--cache-dir", self.work / "mypy-cache", script)


def main(readme, work):
    lane = Lane(readme, work)
    lane.check("pretrain-sample-data gives the sample digits", lane.sample_digits)
    lane.check(f"the README's quick start runs ({SYSTEM})", lane.quickstart)
    if lane.ran_quickstart:
        lane.check("the quick start's trainings adjusted as asked", lane.each_training_adjusted_as_asked)
        lane.check("the checkpoint's head.bias is log(prior) of the training part", lane.bias_holds_the_adjustment)
        lane.check("a plain script trains through a Runner", lane.user_script_trains)
    lane.check("pretrain-check lists a broken file and a .JPG", lane.check_flawed_dataset)
    if SYSTEM == "linux" or importlib.util.find_spec("mypy"):
        lane.check("mypy --strict passes on a script that imports the companion packages", lane.typed_companions)
    else:
        print("skipped mypy --strict: mypy is not installed in this environment", flush=True)
    print(f"wheel user: {lane.passed} passed, {lane.failed} failed")
    return 1 if lane.failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
