"""The items of one kind on the HTML page, drawn from their fields alone:
a file item {"path", ...} becomes a captioned thumbnail, a group item
{"files": [...], ...} a row of them; every other field is shown beside it
(true flags as marks, lists joined, a score with the kind's median). The
first GALLERY items of a kind get thumbnails, the rest rows of a table."""
import os
from html import escape
from pathlib import Path

from ..kinds import all_kinds

GALLERY = 200
GROUP_PICTURES = 8  # thumbnails per group; its other files are listed
TABLE_ROWS_AT_MOST = 10_000
ENTRY_KEYS = ("label", "ran", "count", "files", "groups")  # the rest of an entry is the kind's own fields


def items_of(entry):
    return entry["groups"] if "groups" in entry else entry["files"]


def pictures(name):
    """Whether the kind's items are images worth thumbnails (unknown kinds: yes)."""
    return next((k.pictures for k in all_kinds() if k.name == name), True)


def gallery_items(name, entry):
    return items_of(entry)[:GALLERY] if pictures(name) else []


def pictured_paths(name, entry):
    """The files the kind's gallery shows, in order."""
    for item in gallery_items(name, entry):
        yield from item["files"][:GROUP_PICTURES] if "files" in item else [item["path"]]


def kind_fields(entry):
    return {key: value for key, value in entry.items() if key not in ENTRY_KEYS}


def file_link(path):
    return escape(Path(os.path.abspath(path)).as_uri())


def text_of(value):
    if isinstance(value, float):
        return f"{value + 0.0:g}"  # no "-0"
    if isinstance(value, list):
        return " / ".join(text_of(v) for v in value)
    if isinstance(value, dict):  # {class: {"files": 12, "suspects": 1}} -> "class: files 12, suspects 1"
        nested = any(isinstance(v, dict) for v in value.values())
        return ("; " if nested else ", ").join(f"{k}{':' if nested else ''} {text_of(v)}" for k, v in value.items())
    return str(value)


def words(key):
    return key.replace("_", " ")


def fields_html(item, entry):
    """The fields of an item other than its files, as small spans."""
    shown = []
    for key, value in item.items():
        if key in ("path", "files") or value is False or value is None:
            continue
        if value is True:
            shown.append(f'<span class="mark">{escape(words(key))}</span>')
            continue
        text = text_of(value)
        if key == "score" and entry.get("median") is not None:
            text += f" (median {text_of(entry['median'])})"
        shown.append(f'<span class="field"><b>{escape(words(key))}</b> {escape(text)}</span>')
    return "".join(shown)


def figure(path, thumbnails, extra=""):
    uri, link = thumbnails.get(path), file_link(path)
    # lazy: a page of thousands of thumbnails decodes only those scrolled to
    picture = f'<img loading="lazy" src="{uri}" alt="">' if uri else '<span class="none">cannot be shown</span>'
    return (f'<figure><a href="{link}">{picture}</a><figcaption><a class="path" href="{link}">'
            f'{escape(path)}</a>{extra}</figcaption></figure>')


def card(item, entry, thumbnails):
    if "files" not in item:
        return figure(item["path"], thumbnails, fields_html(item, entry))
    files = item["files"]
    rest = "".join(f'<a class="path" href="{file_link(f)}">{escape(f)}</a>' for f in files[GROUP_PICTURES:])
    noise = any(value is True for value in item.values())
    return (f'<div class="group{" flagged" if noise else ""}"><div class="files">'
            + "".join(figure(f, thumbnails) for f in files[:GROUP_PICTURES])
            + f'</div><p>{fields_html(item, entry)}{rest}</p></div>')


def table(items, entry):
    if not items:
        return ""
    columns = list(dict.fromkeys(key for item in items for key in item))
    shown = items[:TABLE_ROWS_AT_MOST]
    rows = []
    for item in shown:
        cells = []
        for key in columns:
            value = item.get(key)
            if key == "path":
                cells.append(f'<a class="path" href="{file_link(value)}">{escape(value)}</a>')
            elif key == "files":
                cells.append("<br>".join(f'<a class="path" href="{file_link(f)}">{escape(f)}</a>' for f in value))
            else:
                cells.append("" if value is None else escape(text_of(value)))
        rows.append("<tr><td>" + "</td><td>".join(cells) + "</td></tr>")
    more = (f'<p class="more">and {len(items) - len(shown)} more: every item is in the JSON summary (--json)</p>'
            if len(items) > len(shown) else "")
    head = "".join(f"<th>{escape(words(c))}</th>" for c in columns)
    return f'<table class="items"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>{more}'


def kind_section(name, entry, thumbnails):
    gallery = gallery_items(name, entry)
    items = items_of(entry)
    own = kind_fields(entry)
    about = ", ".join(f"{words(k)} {text_of(v)}" for k, v in own.items() if v is not None)
    cards = "".join(card(item, entry, thumbnails) for item in gallery)
    rest = items[len(gallery):]
    return (f'<section class="kind" id="kind-{escape(name)}" data-kind="{escape(name)}">'
            f'<h2>{escape(entry["label"])} <span class="count">{entry["count"]}</span></h2>'
            + (f'<p class="about">{escape(about)}</p>' if about else "")
            + (f'<div class="gallery">{cards}</div>' if cards else "")
            + (f'<h3>the other {len(rest)}</h3>' if cards and rest else "")
            + table(rest, entry) + "</section>")
