"""The quick start as the README gives it: the example config that
`pretrain-sample-data --config DIR` writes, the README's command blocks for
both systems (which the wheel lanes run as they are), and two processes
through `pretrain_tools.launch` on a machine without a usable GPU."""
import re
import textwrap
from pathlib import Path

import pytest
import torch

from conftest import REPO, run_python
from helpers.lanes import lane_module

quickstart_lines = lane_module("scripts", "wheel_user_check").quickstart_lines


def sample_data(*args, cwd=None, check=True):
    return run_python(None, args=("-m", "pretrain_check.sample_data", *args),
                      env={"PRETRAIN_SAMPLE_DATA": str(REPO / "data" / "digits")}, cwd=cwd, check=check)


def test_config_option_writes_the_example_config_and_still_prints_the_data_folder(tmp_path):
    proc = sample_data("--config", "configs", cwd=tmp_path)
    assert proc.stdout == f"{(REPO / 'data' / 'digits').as_posix()}\n"
    written = tmp_path / "configs" / "digits.py"
    assert written.read_bytes() == (REPO / "pretrain_tools" / "configs" / "digits.py").read_bytes()
    assert proc.stderr == f"wrote {Path('configs', 'digits.py')}\n"
    sample_data("--config", "configs", cwd=tmp_path)  # again over the first copy


def test_config_option_refuses_a_file_before_any_work(tmp_path):
    (tmp_path / "taken").write_text("")
    proc = sample_data("--config", "taken", cwd=tmp_path, check=False)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr.splitlines()[-1] == "pretrain-sample-data: error: --config taken: not a folder"
    assert "Traceback" not in proc.stderr


def commands(system):
    """The block's python command lines, in one spelling for both systems."""
    lines = [line for line in quickstart_lines(REPO / "README.md", system) if line.startswith("python ")]
    return [re.sub(r'"(\$TOOLS|%TOOLS%)[/\\]', '"TOOLS/', line).replace("\\", "/") for line in lines]


def test_the_readme_gives_both_systems_the_same_quick_start():
    linux = commands("linux")
    assert commands("windows")[1:] == linux  # the first finds the tools' folder, as `$(...)` does on Linux
    covered = ['"TOOLS/train.py" digits.py --work-dir work', '"TOOLS/test.py" digits.py work/epoch_10.pth',
               "custom_hooks.0.tau=auto", "model.head.loss.type=LogitAdjustedLoss",
               '-m pretrain_tools.launch --nproc 2 "TOOLS/train.py" digits.py --launcher pytorch']
    assert [part for part in covered if not any(part in line for line in linux)] == []


DISTRIBUTED_SCRIPT = """\
    import os, sys
    import torch, torch.distributed as dist
    from mmengine.dist import init_dist
    from mmengine.model import MMDistributedDataParallel

    if __name__ == "__main__":
        init_dist("pytorch", backend="nccl")  # what the stack does with a GPU config
        model = MMDistributedDataParallel(module=torch.nn.Linear(2, 1), device_ids=[int(os.environ["LOCAL_RANK"])])
        total = torch.tensor([dist.get_rank() + 1.0])
        dist.all_reduce(total)
        # a file per rank: two processes printing to one pipe can interleave mid-line
        with open(os.path.join(os.path.dirname(__file__), f"rank{dist.get_rank()}.txt"), "w") as out:
            out.write(f"rank {dist.get_rank()} of {dist.get_world_size()} over {dist.get_backend()}: "
                      f"sum {total.item():g}, arguments {sys.argv[1:]}, parameters on {next(model.parameters()).device}")
    """


@pytest.mark.skipif(torch.cuda.is_available(), reason="with a usable GPU the launcher runs the command as given")
def test_launch_runs_a_gpu_set_up_on_the_cpu_over_gloo(tmp_path):
    (tmp_path / "distributed_job.py").write_text(textwrap.dedent(DISTRIBUTED_SCRIPT))
    proc = run_python(None, args=("-m", "pretrain_tools.launch", "--nproc", "2", tmp_path / "distributed_job.py",
                                  "--launcher", "pytorch"), env={"OMP_NUM_THREADS": "1"})
    assert [(tmp_path / f"rank{rank}.txt").read_text() for rank in (0, 1)] == [
        f"rank {rank} of 2 over gloo: sum 3, arguments ['--launcher', 'pytorch'], parameters on cpu" for rank in (0, 1)]
    assert "pretrain_tools.launch: no usable GPU: 2 processes on the CPU over gloo" in proc.stderr
