"""The labels stage: out-of-sample probabilities for the judged files (the
user's --predictions, a --checkpoint's for the validation and test parts,
or the K-fold training through the config), then confident learning on
them (findings.py). Writes --list-files and --write-relabel.

The probabilities judged are the model's own ones, before logit adjustment:
on the long-tailed bench the adjusted ones found no more wrong labels in the
rare classes and fewer elsewhere (bench/label_issues.py, README)."""
import numpy as np

from ..arguments import UsageError
from .findings import judged, naming_mistakes, write_relabel
from .launch_share import progress
from .predictions_file import PredictionsError, load_predictions, write_file_list

# "model": the probabilities as the model gives them without the head's
# bias; "adjusted": with tau * log(training prior) taken off.
PROBABILITIES = "model"


def folder_files(facts):
    """(sorted paths, labels, class names) of a folder's readable files."""
    paths = sorted(str(p) for p in facts.readable)
    classes = sorted(set(facts.class_of.values()))
    position = {name: k for k, name in enumerate(classes)}
    return paths, np.array([position[facts.class_of[p]] for p in paths], dtype=np.int64), classes


def run_labels(facts, args, config=None):
    """Fills facts.labels (and marks the stage run) when --label-issues asks."""
    from .cross_validation import WrappedPart
    try:
        judge_labels(facts, args, config)
    except WrappedPart as error:
        raise UsageError(f"--label-issues: {error}") from None


def judge_labels(facts, args, config):
    if config is None:
        paths, labels, classes = folder_files(facts)
    elif not args.checkpoint:
        from .cross_validation import training_files
        paths, labels, classes = training_files(config)
    if args.list_files and not args.checkpoint:
        write_file_list(args.list_files, paths, labels, classes)
        print(f"file list written to {args.list_files}")
    if not args.label_issues:
        return
    if args.checkpoint:
        facts.labels = checkpoint_findings(config, args)
    else:
        facts.labels = judged(paths, labels, classes, probabilities(paths, labels, classes, config, args))
    facts.ran.add("labels")
    if args.write_relabel:
        write_relabel(args.write_relabel, facts.labels["files"])
        print(f"files to review written to {args.write_relabel}")


def probabilities(paths, labels, classes, config, args):
    if args.predictions:
        try:
            return load_predictions(args.predictions, labels, classes)
        except PredictionsError as error:
            raise UsageError(f"--predictions {error}") from None
    from .cross_validation import out_of_sample
    found = out_of_sample(config, args.folds, args.epochs, args.work_dir, say=progress(args.quiet))
    return found.adjusted if PROBABILITIES == "adjusted" else found.probs


def checkpoint_findings(config, args):
    """The validation and test parts judged together, each file with its part."""
    from .checkpoint_scores import scored_parts
    found = [judged(paths, labels, classes, adjusted if PROBABILITIES == "adjusted" else probs, part=part)
             for part, (paths, labels, classes, probs, adjusted) in scored_parts(config, args.checkpoint,
                                                                                 args.work_dir).items()]
    per_class = {}
    for part in found:
        for name, counts in part["per_class"].items():
            total = per_class.setdefault(name, {"files": 0, "suspects": 0})
            total["files"] += counts["files"]
            total["suspects"] += counts["suspects"]
    files = sorted((f for part in found for f in part["files"]), key=lambda f: f["score"])
    return {"files": files, "per_class": per_class, "naming_mistakes": naming_mistakes(per_class)}

