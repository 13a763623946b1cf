"""The check's findings as one HTML page that opens from disk with nothing
fetched (thumbnails embedded, style and script inline), drawn from the
summary document alone: the dataset (or the config's parts), its classes as
a chart, formats and sizes, then a section per kind that found something,
in the kinds' order, its worst items first."""
from html import escape

from ..arguments import EXIT_STATUSES
from .chart import RARE, class_chart, rare_classes
from .items import figure, kind_section, pictured_paths
from .style import SCRIPT, STYLE
from ..progress import Reporter
from ..thumbnails import Thumbnails

SIZES_SHOWN = 20
RAREST_SHOWN = 12


def counts_table(counts, key):
    rows = "".join(f'<tr><td>{escape(str(name))}</td><td class="count">{count}</td></tr>'
                   for name, count in counts)
    return f'<table><tr><th>{key}</th><th class="count">images</th></tr>{rows}</table>'


def ratio_text(ratio):
    return "none" if ratio is None else f"{ratio:.2f}"


def kind_row(name, entry):
    label = escape(entry["label"])
    if not entry["ran"]:
        return f'<tr data-kind="{escape(name)}"><td>{label}</td><td class="count">not run</td></tr>'
    if entry["count"]:
        label = f'<a href="#kind-{escape(name)}">{label}</a>'
    return (f'<tr class="{"found" if entry["count"] else "clean"}" data-kind="{escape(name)}">'
            f'<td>{label}</td><td class="count">{entry["count"]}</td></tr>')


def overview(summary):
    status = summary["exit_status"]
    facts = [("images", summary["images"]), ("classes", len(summary["classes"])),
             ("imbalance ratio", ratio_text(summary["imbalance_ratio"]))]
    rows = "".join(f"<tr><th>{name}</th><td>{escape(str(value))}</td></tr>" for name, value in facts)
    problems = summary["problems"]
    ran = "".join(kind_row(name, entry) for name, entry in problems.items() if entry["ran"])
    idle = [kind_row(name, entry) for name, entry in problems.items() if not entry["ran"]]
    idle_table = (f'<details><summary>{len(idle)} kinds not checked in this run</summary><table class="idle">'
                  f'{"".join(idle)}</table></details>' if idle else "")
    return (f'<p class="status{status}" id="status">exit status {status}: {escape(EXIT_STATUSES[status])}</p>'
            f'<table id="facts">{rows}</table>'
            f'<table id="kinds"><tr><th>problems</th><th class="count">found</th></tr>{ran}</table>{idle_table}')


def classes_section(classes):
    if not classes:
        return ""
    rare = rare_classes(classes)
    rarest = sorted(rare, key=lambda name: (classes[name], name))[:RAREST_SHOWN]
    chart = f'<h2>images per class</h2>{class_chart(classes)}'
    if not rare:
        return chart
    named = ", ".join(f"{escape(name)} {classes[name]}" for name in rarest)
    legend = (f'<p class="legend"><i></i>{len(rare)} rare class{"" if len(rare) == 1 else "es"} '
              f'(at most {RARE:.0%} of the largest class): {named}{" ..." if len(rare) > len(rarest) else ""}</p>')
    return chart + legend


def parts_section(parts):
    if not parts:
        return ""
    rows = []
    for part, found in parts.items():
        if found["same_as"]:
            rows.append(f"<tr><td>{part}</td><td colspan=4>the same dataset as {escape(found['same_as'])}</td></tr>")
            continue
        classes = ", ".join(f"{name} {count}" for name, count in found["classes"].items())
        rows.append(f'<tr><td>{part}</td><td class="count">{found["images"]}</td><td class="count">'
                    f'{len(found["classes"])}</td><td>{ratio_text(found["imbalance_ratio"])}</td>'
                    f'<td>{escape(classes)}</td></tr>')
    return ('<h2>parts</h2><table id="parts"><tr><th>part</th><th class="count">images</th>'
            '<th class="count">classes</th><th>imbalance ratio</th><th>images per class</th></tr>'
            + "".join(rows) + "</table>")


def formats_section(summary):
    sizes = summary["sizes"]
    shown = [(f"{s['size'][0]} x {s['size'][1]}", s["count"]) for s in sizes[:SIZES_SHOWN]]
    more = f"<p class=more>{len(sizes)} sizes in all</p>" if len(sizes) > len(shown) else ""
    return ('<h2>formats and sizes</h2><div class="row">'
            + counts_table(summary["formats"].items(), "format")
            + f'<div>{counts_table(shown, "width x height")}{more}</div></div>')


def samples_section(samples, thumbnails):
    if not samples["files"]:
        return ""
    cards = "".join(figure(s["path"], thumbnails, f'<span class="field"><b>class</b> {escape(s["class"])}</span>')
                    for s in samples["files"])
    return f'<h2>random samples</h2><p class="about">{escape(samples["how"])}</p><div class="gallery">{cards}</div>'


def thumbnails_of(summary, reporter):
    """{path: data URI or None} for every file the page shows."""
    paths = [s["path"] for s in summary["samples"]["files"]]
    for name, entry in summary["problems"].items():
        paths += pictured_paths(name, entry)
    paths = list(dict.fromkeys(paths))
    make = Thumbnails()
    progress = reporter.step("thumbnails", len(paths))
    made = {}
    for path in paths:
        made[path] = make(path)
        progress.advance()
    progress.finish()
    return made


def render(summary, thumbnails):
    kinds = "".join(kind_section(name, entry, thumbnails)
                    for name, entry in summary["problems"].items() if entry["count"])
    place = f"dataset {summary['dataset']}" if summary["mode"] == "folder" else f"config {summary['config']}"
    return ("<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
            f"<title>pretrain-check: {escape(place)}</title>"
            f'<meta name=viewport content="width=device-width"><style>{STYLE}</style></head><body>'
            f"<h1>pretrain-check: {escape(place)}</h1>"
            f'<div class="top"><div>{overview(summary)}</div><div>{classes_section(summary["classes"])}'
            f'{formats_section(summary)}</div></div>'
            + parts_section(summary["parts"])
            + (f'<h2>what was found</h2><input id="filter" placeholder="show only files whose path has...">'
               f'{kinds}' if kinds else "")
            + samples_section(summary["samples"], thumbnails)
            + f'<p class="about">{escape(summary["note"])}. pretrain-check {escape(summary["version"])}, '
              f'schema version {summary["schema_version"]}.</p>'
            + f"<script>{SCRIPT}</script></body></html>\n")


def write_html(summary, target, reporter=None):
    page = render(summary, thumbnails_of(summary, reporter or Reporter(quiet=True)))
    with open(target, "w", encoding="utf-8") as out:
        out.write(page)
