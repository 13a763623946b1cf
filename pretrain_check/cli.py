"""pretrain-check: check a class-per-folder image dataset, or the datasets of
an mmengine config, before training (arguments.py says what it does).

    pretrain-check DIR [--check] [--decode] [--json FILE] [--report FILE.png]
        [--html FILE.html] [--workers N] [--samples N] [--seed N] [--quiet]
    pretrain-check --config CONFIG.py [--json FILE] [--report FILE.png] ...
    pretrain-check --config CONFIG.py --label-issues [--folds K] [--epochs N] [--work-dir DIR]
        [--checkpoint CKPT] [--write-relabel FILE.csv]
    pretrain-check DIR [--list-files FILE] [--predictions FILE.npy [--write-relabel FILE.csv]]

Under `python -m pretrain_tools.launch` only the first copy checks; the
others share its K folds (labels/launch_share.py).

Exit status: 0 no problem, 1 problems found, 2 a mistake in the command line,
130 interrupted."""
import importlib
import sys

from . import arguments, interrupts
from .labels import launch_share
from .labels.stage import run_labels
from .output import print_summary
from .progress import Reporter
from .summary import summarise, write_json
from .workers import Workers, cores

REPORTS = {"folder": ("report", "draw_report"), "config": ("report_config", "draw_config_report")}


def usage_error(message):
    print(f"pretrain-check: {' '.join(str(message).splitlines())}", file=sys.stderr)
    return 2


def main(argv=None):
    try:
        return interrupts.exit_status("pretrain-check", checked, argv)
    except arguments.UsageError as error:
        return 2 if launch_share.rank() else usage_error(error)  # one line, from the first copy


def checked(argv):
    args = arguments.parse(argv)
    config = load_config(args.config) if args.config else None
    if launch_share.rank():
        return launch_share.share(args, config)
    reporter = Reporter(quiet=args.quiet)
    with Workers(args.workers or cores(), small_in_process=args.workers is None) as workers:
        if config is None:
            from .running import run_folder
            facts, overview = run_folder(args.dataset, args, workers, reporter)
            run_labels(facts, args)
            summary = summarise(facts, overview, dataset=args.dataset)
        else:
            from .config_check import run_config
            facts, overview, parts = run_config(config, workers, reporter)
            run_labels(facts, args, config)
            summary = summarise(facts, overview, config=args.config, parts=parts)
    print_summary(summary)
    if args.json:
        write_json(summary, args.json)
        print(f"summary written to {args.json}")
    if args.report:
        module, draw = REPORTS[summary["mode"]]
        getattr(importlib.import_module(f".{module}", __package__), draw)(summary, args.report)
        print(f"report written to {args.report}")
    if args.html:
        from .html import write_html
        write_html(summary, args.html, reporter)
        print(f"page written to {args.html}")
    return summary["exit_status"]


def load_config(path):
    """The config, loaded (its custom_imports run); a config that does not
    load is the user's mistake."""
    from .config_check import load_config as load
    try:
        return load(path)
    except Exception as error:
        raise arguments.UsageError(f"{path}: cannot be loaded as a config ({type(error).__name__}: {error})") \
            from None
