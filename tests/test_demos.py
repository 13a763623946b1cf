"""The training demonstrations, shortened: one or two epochs on a few images
of each digit, each in its own interpreter as a user starts it."""
import re
import shutil

import pytest

from conftest import REPO, run_python

EXAMPLES = REPO / "examples"
IMAGES_PER_DIGIT = 10


@pytest.fixture(scope="module")
def few_digits(tmp_path_factory):
    root = tmp_path_factory.mktemp("few_digits")
    for folder in sorted((REPO / "data" / "digits").iterdir()):
        (root / folder.name).mkdir()
        for image in sorted(folder.iterdir())[:IMAGES_PER_DIGIT]:
            shutil.copy(image, root / folder.name)
    return root


def run_demo(few_digits, *args):
    # one thread per process: several times faster on a machine shared with other jobs
    env = {"PRETRAIN_SAMPLE_DATA": str(few_digits), "OMP_NUM_THREADS": "1"}
    return run_python(None, args=[str(a) for a in args], env=env).stdout


def accuracies(out):
    return re.findall(r"accuracy, (?:trained model|reloaded checkpoint): +([\d.]+)%", out)


def test_train_save_reload_and_evaluate(few_digits, tmp_path):
    out = run_demo(few_digits, EXAMPLES / "train_digits.py", "--epochs", "1", "--work-dir", tmp_path)
    assert "processes: 1" in out
    assert "train part 80 images, validation part 20 images, 0 shared" in out
    trained, reloaded = accuracies(out)
    assert trained == reloaded
    assert (tmp_path / "epoch_1.pth").is_file()


def test_two_processes_over_gloo(few_digits, tmp_path):
    out = run_demo(few_digits, "-m", "pretrain_tools.launch", "--nproc", "2",
                   EXAMPLES / "train_digits.py", "--launcher", "pytorch", "--epochs", "1", "--work-dir", tmp_path)
    assert out.count("processes: 2") == 1  # rank 0 reports
    assert "0 shared" in out
    trained, reloaded = accuracies(out)
    assert trained == reloaded


def test_long_tailed_training_with_logit_adjustment(few_digits, tmp_path):
    out = run_demo(few_digits, EXAMPLES / "train_digits_lt.py", "--epochs", "2", "--largest", "8",
                   "--ratio", "4", "--work-dir", tmp_path)
    assert "imbalance ratio 4; balanced validation part: 20 images" in out
    rows = re.findall(r"^ +(\d) +(\d+) +(\d+) +[\d.]+ +[\d.]+$", out, re.MULTILINE)
    assert [(digit, val) for digit, _, val in rows] == [(str(d), "2") for d in range(10)]
    assert [int(train) for _, train, _ in rows] == [int(8 * 4 ** (-k / 9)) for k in range(10)]
    assert "gain from logit adjustment (tau=1.0)" in out


def test_long_tail_benchmark_reduced(few_digits, tmp_path):
    out = run_demo(few_digits, REPO / "bench" / "longtail.py", "--epochs", "1", "--seeds", "0",
                   "--ratios", "4", "--largest", "5", "--work-dir", tmp_path)
    assert "imbalance ratio 4: test accuracy in % over seeds [0]" in out
    rows = re.findall(r"^(.+?) +([\d.]+) ± [\d.]+ +([\d.]+) ± [\d.]+$", out, re.MULTILINE)
    assert [name for name, _, _ in rows] == ["cross-entropy (tau=0)", "post-hoc tau=1", 'post-hoc tau="auto"',
                                             "logit-adjusted loss tau=1"]
    assert "2 trainings" in out
