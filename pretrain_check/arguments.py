"""The command line of pretrain-check, and every check of it that can be made
before any work starts: a mistake ends the run at once with status 2 and one
line on standard error."""
import argparse
import importlib
import os
import textwrap
from pathlib import Path

from .summary import version

DESCRIPTION = """\
Check a class-per-folder image dataset (one sub-folder per class) before
training: the classes and their image counts, the imbalance ratio, formats,
sizes and random samples, as the package's ClsAnalyzingTool sees them, and
the files Image.open rejects. --check adds what the scan leaves out (suffixes
in another case, hidden files, empty class folders...), exact and near
duplicates, and the image checks (blurry, dark, light, little information,
grey images in a colour dataset, odd sizes and aspect ratios). --config checks
the training, validation and test datasets of an mmengine config instead, and
the files that leak between them. --label-issues looks for files whose label
(folder) is probably wrong, from out-of-sample class probabilities: trained
K-fold through the config, a checkpoint's, or a user's own (--predictions).
Progress goes to standard error."""

EXIT_STATUSES = {
    0: "no problem found",
    1: "problems found (listed on standard output and in the JSON summary)",
    2: "a mistake in the command line (a missing folder or config, an output folder that does not exist, "
       "a number out of range): nothing was checked",
    130: "interrupted (Ctrl-C)",
}

EPILOG = "exit status:\n" + "\n".join(
    textwrap.fill(meaning, 79, initial_indent=f"{status:>3}  ", subsequent_indent="     ")
    for status, meaning in EXIT_STATUSES.items())


class UsageError(Exception):
    """A mistake of the user's, found before any work."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def count(minimum):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{value} is less than {minimum}")
        return value
    return parse


def parser():
    p = Parser(prog="pretrain-check", description=DESCRIPTION, epilog=EPILOG,
               formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("dataset", type=Path, nargs="?", help="folder with one sub-folder per class")
    p.add_argument("--config", type=Path,
                   help="instead of a folder: an mmengine config whose training, validation and test "
                        "datasets are built and checked for leakage between them (imports the stack)")
    p.add_argument("--check", action="store_true",
                   help="also report what the scan leaves out, exact and near duplicates, and the image checks")
    p.add_argument("--decode", action="store_true",
                   help="also load the pixel data of every file (finds truncated files)")
    p.add_argument("--json", type=Path, metavar="FILE", help="write the summary as JSON here")
    p.add_argument("--report", type=Path, metavar="FILE.png", help="write a one-page PNG report here (matplotlib)")
    p.add_argument("--html", type=Path, metavar="FILE.html",
                   help="write a page of the findings with thumbnails here (one file, opens from disk offline)")
    p.add_argument("--samples", type=count(0), default=24, help="random samples to show (default 24)")
    p.add_argument("--seed", type=int, default=0, help="seed of the random samples")
    p.add_argument("--workers", type=count(1), default=None,
                   help="processes that open, decode and hash files (default: every core, "
                        "for datasets large enough to repay starting them)")
    p.add_argument("--quiet", action="store_true", help="show no progress on standard error")
    labels = p.add_argument_group("wrong labels (confident learning on out-of-sample probabilities)")
    labels.add_argument("--label-issues", action="store_true",
                        help="find the files whose label is probably wrong; with --config the config's model "
                             "is trained K times on K-1 folds of the training part, each predicting the rest")
    labels.add_argument("--folds", type=count(2), default=5, help="K of the K-fold training (default 5)")
    labels.add_argument("--epochs", type=count(1), default=None,
                        help="epochs of each fold's training (default: the config's max_epochs)")
    labels.add_argument("--work-dir", type=Path, metavar="DIR",
                        help="where the folds' probabilities are kept and reused (default: the config's "
                             "work_dir, else work_dirs/CONFIG_NAME, under label_issues/)")
    labels.add_argument("--predictions", type=Path, metavar="FILE.npy",
                        help="out-of-sample probabilities you already have (N x C, rows in the order of "
                             "--list-files, columns in the order of its classes): no training")
    labels.add_argument("--checkpoint", type=Path, metavar="CKPT",
                        help="with --config: judge the validation and test parts with this checkpoint, "
                             "trained on the training part")
    labels.add_argument("--list-files", type=Path, metavar="FILE",
                        help="write the judged files (path, tab, class; sorted by path) after a first line "
                             "giving the class of each column of --predictions")
    labels.add_argument("--write-relabel", type=Path, metavar="FILE.csv",
                        help="write path, given, suggested, score of every suspect for review "
                             "(no file is ever moved or edited)")
    p.add_argument("--version", action="version", version=f"pretrain-check {version()}")
    return p


# Options naming files the run writes, checked before any work.
OUTPUTS = ("json", "report", "html", "list_files", "write_relabel")


def check_folder(path):
    if not path.exists():
        raise UsageError(f"{path}: no such folder")
    if not path.is_dir():
        raise UsageError(f"{path}: not a folder")
    try:
        with os.scandir(path):
            pass
    except OSError as error:
        raise UsageError(f"{path}: cannot be listed ({error.strerror})") from None


def check_config_file(path):
    if not path.exists():
        raise UsageError(f"{path}: no such config file")
    if not path.is_file():
        raise UsageError(f"{path}: not a file")
    if not os.access(path, os.R_OK):
        raise UsageError(f"{path}: cannot be read")


def check_output(option, path):
    folder = path.parent
    if path.is_dir():
        raise UsageError(f"--{option} {path}: is a folder")
    if not folder.is_dir():
        raise UsageError(f"--{option} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise UsageError(f"--{option} {path}: cannot be written")


def check_label_options(args):
    """--predictions and --checkpoint imply --label-issues; the training
    options need a config to train."""
    args.label_issues = args.label_issues or bool(args.predictions or args.checkpoint)
    if args.predictions and args.checkpoint:
        raise UsageError("give either --predictions or --checkpoint, not both")
    if args.checkpoint and args.config is None:
        raise UsageError("--checkpoint needs --config (the parts it judges and the model it loads)")
    if args.label_issues and args.config is None and args.predictions is None:
        # --list-files alone writes the list the predictions are made for
        raise UsageError("--label-issues on a folder needs --predictions FILE.npy (or --config to train)")
    for option in ("predictions", "checkpoint"):
        path = getattr(args, option)
        if path is not None and not path.is_file():
            raise UsageError(f"--{option} {path}: no such file")
    if args.write_relabel is not None and not args.label_issues:
        raise UsageError("--write-relabel goes with --label-issues")


def parse(argv=None):
    """The options, checked; raises UsageError."""
    args = parser().parse_args(argv)
    if (args.dataset is None) == (args.config is None):
        raise UsageError("give either a dataset folder or --config CONFIG.py")
    if args.config is None:
        check_folder(args.dataset)
    else:
        check_config_file(args.config)
    for option in OUTPUTS:
        if getattr(args, option) is not None:
            check_output(option.replace("_", "-"), getattr(args, option))
    check_label_options(args)
    if args.report is not None:
        try:
            importlib.import_module("matplotlib")
        except ImportError as error:
            raise UsageError(f"--report needs matplotlib, which cannot be imported ({error}); "
                             "pip install matplotlib") from None
    return args
