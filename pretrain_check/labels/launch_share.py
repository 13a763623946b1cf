"""The check started as several copies by `python -m pretrain_tools.launch`:
the copies share the K folds of --label-issues (fold_claims.py); the first
one (rank 0) does the whole check and all its output, the others train
their share of the folds and nothing else."""
import os
import sys


def rank():
    """This copy's rank in a launch of several processes, else None."""
    try:
        return int(os.environ["RANK"]) if int(os.environ.get("WORLD_SIZE", "1")) > 1 else None
    except (KeyError, ValueError):
        return None


def progress(quiet):
    """Progress lines to standard error, each with the copy's rank under a launch."""
    if quiet:
        return lambda line: None
    prefix = "" if rank() is None else f"rank {rank()}: "
    return lambda line: print(prefix + line, file=sys.stderr, flush=True)


def share(args, config):
    """A copy other than the first: trains folds until every fold is saved
    (none without K-fold training); the exit status."""
    from .cross_validation import FoldPlan, WrappedPart, train_folds, trained_here
    trained = []
    if config is not None and args.label_issues and not (args.checkpoint or args.predictions):
        try:
            plan = FoldPlan.of(config, args.folds, args.epochs, args.work_dir)
        except WrappedPart:
            return 2  # the first copy says why
        trained = train_folds(plan, progress(args.quiet))
    print(f"pretrain-check rank {rank()}: {trained_here(trained)}; the check and its output are rank 0's",
          file=sys.stderr, flush=True)
    return 0
