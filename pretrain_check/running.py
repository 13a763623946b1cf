"""The stages of a folder check: the tool's scan and size scan, then what
the flags ask for (the walk for what the scan leaves out, decoding every
file, hashing for exact duplicates, measuring every image). Each stage fills
its part of the facts (facts.py) that the kinds judge."""
import os
import random

from pretrain import analyzing_tools
from pretrain.analyzing_tools import ClsAnalyzingTool

from .coroutines import drive
from .duplicates import same_content
from .facts import Facts
from .file_checks import open_and_decode, undecoded
from .image_stats import measure_files
from .left_out import walk
from .near_duplicates import same_pictures
from .sizes import readable_sizes


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


def run_folder(root, options, workers, reporter):
    """(facts, overview): the facts of every stage asked for, and what the
    tool reports of the readable files (classes, formats, sizes, samples)."""
    facts = Facts("folder", root)
    random.seed(options.seed)  # the tool draws from the shared generator
    tool = ClsAnalyzingTool(str(root))
    paths = drive(tool.get_path_list())
    if options.check:
        facts.left_out = walk(root, analyzing_tools.img_ext,
                              reporter.step("looking for what the scan leaves out", len(paths)))
        facts.ran.add("walk")
    if options.decode:
        paths, facts.unreadable, facts.undecodable = decode_all(
            paths, workers, reporter.step("opening and decoding every file", len(paths)))
        facts.ran.add("decode")
    sizes, facts.readable, rejected, lengths = readable_sizes(
        paths, workers, reporter.step("reading image sizes", len(paths)), with_bytes=options.check)
    facts.unreadable += rejected
    facts.ran.add("sizes")

    overview = {"classes": {}, "formats": {}, "sizes": sizes, "samples": []}
    if facts.readable:  # an empty path_list would make the tool scan the disk again
        tool.path_list = facts.readable
        counts = drive(tool.get_category_distribution(
            reporter.step("grouping files by class", len(facts.readable))))
        overview["classes"] = {c: counts[c] for c in tool.classes}
        overview["formats"] = dict(drive(tool.get_image_format_distribution()).most_common())
        overview["samples"] = [{"class": p.relative_to(root).parts[0], "path": str(p)}
                               for p in drive(tool.get_random_images(n=options.samples))]
        facts.class_of = {str(p): c for c, files in tool.category_image_map.items() for p in files}
    if options.check:
        facts.same_bytes = list(same_content(facts.readable, lengths, workers,
                                             lambda total: reporter.step("looking for exact duplicates", total)))
        facts.ran.add("bytes")
        measure_stage(facts, [str(p) for p in facts.readable], workers, reporter, "measuring every image")
    return facts, overview


def measure_stage(facts, names, workers, reporter, title):
    """Measures every image of names, then finds those that show the same
    picture (their hashes close, confirmed on their pixels)."""
    facts.names = names
    facts.measures, facts.measured, failures = measure_files(names, workers, reporter.step(title, len(names)))
    facts.failures = [(names[i], text) for i, text in failures]
    facts.alike = same_pictures(names, facts.measures, facts.measured, workers, lambda total: reporter.step(
        "comparing the pixels of near-duplicate candidates", total))
    facts.ran.add("measures")
