"""The companion packages as configs and users reach them: what importing
pretrain_tools does to the process, and pretrain-check's command line,
start-up and progress output."""
import json
import os
import pty
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from conftest import run_python


@pytest.fixture(scope="module")
def small_dataset(tmp_path_factory):
    root = tmp_path_factory.mktemp("small")
    rng = np.random.default_rng(1)
    for cls, count in (("cat", 6), ("dog", 4)):
        (root / cls).mkdir()
        for i in range(count):
            Image.fromarray(rng.integers(0, 256, (12, 16), dtype=np.uint8)).save(root / cls / f"{i}.png")
    return root


def test_importing_pretrain_tools_registers_the_hook_and_allows_exactly_the_checkpoint_globals():
    out = run_python("""
        import os, torch
        import mmengine.hooks, mmengine.logging, mmengine.registry, mmengine.model, mmengine.dist  # what the package imports
        import mmpretrain.models, mmpretrain.registry
        before = list(torch.serialization.get_safe_globals())
        import pretrain_tools
        from mmengine.registry import HOOKS
        from pretrain_tools.checkpoints import CHECKPOINT_GLOBALS
        added = [g for g in torch.serialization.get_safe_globals() if g not in before]
        print(HOOKS.get("LogitAdjustHook") is pretrain_tools.LogitAdjustHook)
        print(sorted(map(repr, added)) == sorted(map(repr, CHECKPOINT_GLOBALS)))
        print(os.environ.get("DISTUTILS_USE_SDK"))
    """, env={"DISTUTILS_USE_SDK": None}).stdout.split()
    assert out == ["True", "True", "1" if os.name == "nt" else "None"]


def test_a_checkpoint_with_history_buffers_loads_under_weights_only(tmp_path):
    run_python(f"""
        import numpy as np, torch
        from mmengine.logging import HistoryBuffer
        buffer = HistoryBuffer()
        buffer.update(np.float64(1.5))
        torch.save({{"message_hub": {{"loss": buffer}}, "x": np.arange(3)}}, {str(tmp_path / "c.pth")!r})
        try:
            torch.load({str(tmp_path / "c.pth")!r})
        except Exception as error:
            print("refused without pretrain_tools:", type(error).__name__)
        else:
            raise SystemExit("loaded without the allow-list")
        import pretrain_tools
        loaded = torch.load({str(tmp_path / "c.pth")!r})
        assert loaded["message_hub"]["loss"].current() == 1.5
    """)


def test_the_check_imports_neither_torch_nor_the_mm_stack(small_dataset):
    out = run_python(f"""
        import sys
        from pretrain_check.cli import main
        status = main([{str(small_dataset)!r}, "--check", "--quiet", "--samples", "2"])
        heavy = sorted(m for m in ("torch", "mmengine", "mmcv", "mmpretrain", "matplotlib") if m in sys.modules)
        print("status", status, "heavy", heavy)
    """).stdout
    assert out.splitlines()[-1] == "status 0 heavy []"


def check(root, *flags, stderr=subprocess.PIPE):
    return subprocess.run([sys.executable, "-m", "pretrain_check", str(root), *flags],
                          stdout=subprocess.PIPE, stderr=stderr, text=True, timeout=300,
                          env={**os.environ, "PYTHONPATH": os.environ.get("PYTHONPATH", "")})


def test_progress_goes_to_standard_error_as_lines_when_it_is_not_a_terminal(small_dataset, tmp_path):
    proc = check(small_dataset, "--check", "--json", str(tmp_path / "s.json"))
    assert proc.returncode == 0, proc.stderr
    assert "\r" not in proc.stdout and "\r" not in proc.stderr
    assert proc.stdout.startswith(f"dataset {small_dataset}: 10 images in 2 classes\n")
    assert "reading image sizes: 10 files\n" in proc.stderr and "reading image sizes: 100% (10/10)\n" in proc.stderr
    assert json.loads((tmp_path / "s.json").read_text())["classes"] == {"cat": 6, "dog": 4}
    quiet = check(small_dataset, "--check", "--quiet")
    assert quiet.stderr == "" and quiet.stdout == proc.stdout.replace(f"summary written to {tmp_path / 's.json'}\n", "")


def test_progress_is_a_bar_redrawn_in_place_on_a_terminal(small_dataset):
    main, child = pty.openpty()
    try:
        proc = check(small_dataset, "--check", stderr=child)
        os.close(child)
        child = None
        shown = b""
        while True:
            try:
                data = os.read(main, 4096)
            except OSError:
                break
            if not data:
                break
            shown += data
    finally:
        os.close(main)
        if child is not None:
            os.close(child)
    assert proc.returncode == 0
    assert b"\rreading image sizes [" in shown and b"] 10/10" in shown
    assert "[" not in proc.stdout.split("problems")[0].split("sizes")[0]


def test_help_names_the_command_and_every_option():
    proc = subprocess.run([sys.executable, "-m", "pretrain_check", "--help"], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0 and proc.stdout.startswith("usage: pretrain-check ")
    for option in ("--check", "--decode", "--json", "--report", "--workers", "--samples", "--seed", "--quiet"):
        assert option in proc.stdout
