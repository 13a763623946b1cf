"""pretrain-check: analyse a class-per-folder image dataset with the package's
ClsAnalyzingTool.

Prints the classes and their image counts, the imbalance ratio, the file
formats and image sizes, and a few balanced random samples; `--report` also
draws them on one page (PNG), `--json` writes the summary as JSON. Files that
Image.open rejects are listed and left out of the rest; `--check` also
reports what the tool's scan leaves out and the exact duplicates, `--decode`
the files whose pixel data cannot be loaded. The exit status is 1 when a
problem was found. Progress goes to standard error.

    pretrain-check DIR [--check] [--decode] [--json FILE] [--report FILE.png]
        [--workers N] [--samples N] [--seed N] [--quiet]
"""
import argparse
import importlib
import asyncio
import json
import os
import random
import sys
from pathlib import Path

from pretrain import analyzing_tools
from pretrain.analyzing_tools import ClsAnalyzingTool

from .duplicates import SHOWN_GROUPS, exact_duplicates
from .file_checks import open_and_decode, undecoded
from .image_checks import image_checks
from .left_out import walk
from .problems import LABELS, file_list, found_any, ordered
from .progress import Reporter
from .sizes import readable_sizes
from .workers import Workers, cores

SHOWN_FILES = 20  # of a kind whose files carry a score; every file of the others is listed

SCAN_ORDER_NOTE = ("files are listed in the file system's directory order, so a seeded split "
                   "of this dataset is reproducible on this file system but may differ on another")


def decode_all(paths, workers, progress):
    """(readable, unreadable, undecodable) after opening and loading every file."""
    bad = {}
    names = [os.fspath(p) for p in paths]
    for start, found in workers.map_chunks(open_and_decode, names, progress, lost=undecoded):
        for position, kind, message in found:
            bad[start + position] = (kind, message)
    readable = [p for i, p in enumerate(paths) if i not in bad]
    of_kind = {kind: [(paths[i], m) for i, (k, m) in bad.items() if k == kind]
               for kind in ("unreadable", "undecodable")}
    return readable, of_kind["unreadable"], of_kind["undecodable"]


async def analyse(root, samples, check=False, decode=False, workers=None, reporter=None):
    reporter = reporter or Reporter(quiet=True)
    tool = ClsAnalyzingTool(str(root))
    paths = await tool.get_path_list()
    problems, unreadable = {}, []
    if check:
        problems.update(walk(root, analyzing_tools.img_ext,
                             reporter.step("looking for what the scan leaves out", len(paths))))
    if decode:
        paths, unreadable, undecodable = decode_all(
            paths, workers, reporter.step("opening and decoding every file", len(paths)))
        problems["undecodable"] = file_list(undecodable)
    sizes, readable, rejected, lengths = readable_sizes(
        paths, workers, reporter.step("reading image sizes", len(paths)), with_bytes=check)
    problems["unreadable"] = file_list(unreadable + rejected)

    by_class, formats, picks = {}, {}, []
    if readable:  # an empty path_list would make the tool scan the disk again
        tool.path_list = readable
        counts = await tool.get_category_distribution(reporter.step("grouping files by class", len(readable)))
        by_class = {c: counts[c] for c in tool.classes}
        formats = dict((await tool.get_image_format_distribution()).most_common())
        picks = await tool.get_random_images(n=samples)
    if check:
        problems["duplicates"] = exact_duplicates(
            readable, lengths, root, workers, lambda total: reporter.step("looking for exact duplicates", total))
        problems.update(image_checks(readable, root, problems["duplicates"]["groups"], workers,
                                     reporter.step("measuring every image", len(readable))))
    return {
        "dataset": str(root),
        "images": len(readable),
        "classes": by_class,
        "imbalance_ratio": max(by_class.values()) / min(by_class.values()) if by_class else None,
        "formats": formats,
        "sizes": dict(sizes.most_common()),
        "samples": [{"class": p.relative_to(root).parts[0], "path": str(p)} for p in picks],
        "problems": ordered(problems),
        "note": SCAN_ORDER_NOTE,
    }


def print_summary(summary):
    classes = summary["classes"]
    print(f"dataset {summary['dataset']}: {summary['images']} images in {len(classes)} classes")
    if classes:
        largest, smallest = max(classes, key=classes.get), min(classes, key=classes.get)
        print(f"imbalance ratio {summary['imbalance_ratio']:.2f} (largest class {largest!r}: "
              f"{classes[largest]}, smallest {smallest!r}: {classes[smallest]})")
    width = max([len("class")] + [len(c) for c in classes])
    print(f"  {'class':<{width}}  images")
    for name, count in classes.items():
        print(f"  {name:<{width}}  {count}")
    print("formats: " + ", ".join(f"{k} {v}" for k, v in summary["formats"].items()))
    print("sizes (width, height): " + ", ".join(f"{k} {v}" for k, v in list(summary["sizes"].items())[:10])
          + (" ..." if len(summary["sizes"]) > 10 else ""))
    print("balanced random samples:")
    for sample in summary["samples"]:
        print(f"  {sample['class']}: {sample['path']}")
    print_problems(summary["problems"])
    print(f"note: {summary['note']}")


def print_problems(problems):
    if not found_any(problems):
        print("no problems found")
        return
    print("problems:")
    for kind, found in problems.items():
        if not found["count"]:
            continue
        print(f"  {LABELS[kind]}: {found['count']}")
        if "groups" in found:
            print(f"    {found['files']} files; groups across classes (label noise): {found['across_classes']}")
            for group in found["groups"][:SHOWN_GROUPS]:
                noise = " (label noise)" if group["label_noise"] else ""
                print(f"    {', '.join(group['classes'])}{noise}: {', '.join(group['files'])}")
            if found["count"] > SHOWN_GROUPS:
                print(f"    ... ({found['count'] - SHOWN_GROUPS} more groups in the JSON summary)")
        elif "files" in found:
            scored = "score" in found["files"][0]
            shown = found["files"][:SHOWN_FILES] if scored else found["files"]
            for file in shown:
                print(f"    {file['path']}: {'score ' + str(file['score']) if scored else file['error']}")
            if len(shown) < found["count"]:
                print(f"    ... ({found['count'] - len(shown)} more in the JSON summary)")
        else:
            more = " ..." if found["count"] > len(found["examples"]) else ""
            print(f"    e.g. {', '.join(found['examples'])}{more}")


def main(argv=None):
    try:
        return checked(argv)
    except KeyboardInterrupt:
        print("pretrain-check: interrupted", file=sys.stderr)
        return 130


def checked(argv):
    parser = argparse.ArgumentParser(prog="pretrain-check", description=__doc__.split("\n\n")[0].split(": ", 1)[1])
    parser.add_argument("dataset", type=Path, nargs="?", help="directory with one sub-directory per class")
    parser.add_argument("--config", type=Path,
                        help="instead of a directory: an mmengine config whose training, validation and test "
                             "datasets are built and checked for leakage between them (imports the stack)")
    parser.add_argument("--report", type=Path, help="write a one-page PNG report here")
    parser.add_argument("--json", type=Path, help="write the summary as JSON here")
    parser.add_argument("--samples", type=int, default=24, help="balanced random samples to show")
    parser.add_argument("--seed", type=int, default=0, help="seed of the random samples")
    parser.add_argument("--check", action="store_true",
                        help="also report what the scan leaves out and the exact duplicates")
    parser.add_argument("--decode", action="store_true",
                        help="also load the pixel data of every file (finds truncated files)")
    parser.add_argument("--workers", type=int, default=None,
                        help="processes that open, decode and hash files (default: every core, "
                             "for datasets large enough to repay starting them)")
    parser.add_argument("--quiet", action="store_true", help="show no progress on standard error")
    args = parser.parse_args(argv)
    if (args.dataset is None) == (args.config is None):
        parser.error("give either a dataset directory or --config CONFIG.py")
    if args.config:
        return config_main(args)

    random.seed(args.seed)  # the tool draws from the shared generator
    with Workers(args.workers or cores(), small_in_process=args.workers is None) as workers:
        summary = asyncio.run(analyse(args.dataset, args.samples, args.check, args.decode, workers,
                                      Reporter(quiet=args.quiet)))
    print_summary(summary)
    return finish(summary, args, "report", "draw_report")


def finish(summary, args, report_module, draw):
    """Writes the JSON and the report asked for; the exit status."""
    if args.json:
        args.json.write_text(json.dumps(summary, indent=2, ensure_ascii=False))
        print(f"summary written to {args.json}")
    if args.report:
        # matplotlib only when a report is asked for
        module = importlib.import_module(f".{report_module}", __package__)
        getattr(module, draw)(summary, args.report)
        print(f"report written to {args.report}")
    return 1 if found_any(summary["problems"]) else 0


def config_main(args):
    from .config_check import check_config, print_config_summary
    with Workers(args.workers or cores(), small_in_process=args.workers is None) as workers:
        summary = check_config(args.config, workers, Reporter(quiet=args.quiet))
    print_config_summary(summary)
    return finish(summary, args, "report_config", "draw_config_report")
