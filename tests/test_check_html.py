"""pretrain-check --html: one page that needs nothing but itself (every
picture a data: URI, every link a file or an anchor), drawn from the
summary alone, each kind's items shown from their fields, the first
GALLERY of a kind as thumbnails and the rest as rows."""
import base64
import io
import json
import re

import pytest
from PIL import Image

from conftest import run_python
from harness.planted_dataset import plant
from helpers.summaries import load_summary
from pretrain_check.html.items import GALLERY
from pretrain_check.html import write_html


@pytest.fixture(scope="module")
def checked(tmp_path_factory):
    work = tmp_path_factory.mktemp("html")
    planted = plant(work / "photos", per_class=25, classes=3)
    (work / "photos" / "class_1" / "broken.jpg").write_bytes(b"\xff\xd8\xff\xe0 not a picture")
    proc = run_python(None, check=False, cwd=work, args=["-m", "pretrain_check", str(work / "photos"), "--check",
                                                         "--json", "summary.json", "--html", "page.html"])
    assert proc.returncode == 1, proc.stderr
    assert "page written to page.html" in proc.stdout and "thumbnails:" in proc.stderr
    return work, planted, load_summary(work / "summary.json"), (work / "page.html").read_text()


def sections(page):
    return dict(re.findall(r'<section class="kind" id="kind-(\w+)".*?>(.*?)</section>', page, re.S))


def thumbnail_of(section, path):
    """The image of the figure captioned `path` in a section, decoded."""
    found = re.search(r'<img loading="lazy" src="data:image/jpeg;base64,([^"]+)"[^>]*></a><figcaption><a class="path" '
                      rf'href="[^"]+">{re.escape(path)}</a>', section)
    assert found, path
    return Image.open(io.BytesIO(base64.b64decode(found.group(1))))


def test_page_needs_nothing_but_itself(checked):
    _, _, _, page = checked
    sources = re.findall(r'\ssrc="([^"]*)"', page)
    assert sources and all(s.startswith("data:image/jpeg;base64,") for s in sources)
    assert all(link.startswith(("#", "file:///")) for link in re.findall(r'\shref="([^"]*)"', page))
    assert not re.search(r"<link|@import|url\(|<iframe|fetch\(|XMLHttpRequest", page)


def test_every_kind_found_has_its_section_and_items(checked):
    work, planted, summary, page = checked
    shown = sections(page)
    found = {name: p for name, p in summary["problems"].items() if p["count"]}
    assert set(shown) == set(found)
    for name, problem in found.items():
        assert f'<span class="count">{problem["count"]}</span>' in shown[name]
    for kind in ("blurry", "dark", "light", "grayscale", "odd_size", "odd_aspect_ratio"):
        median = summary["problems"][kind]["median"]
        for item in summary["problems"][kind]["files"]:
            assert f"{item['score']:g} (median {median:g})" in shown[kind]
            with thumbnail_of(shown[kind], item["path"]) as image:
                assert 0 < max(image.size) <= 96
    for pair in planted["near_duplicates"]:
        assert all(thumbnail_of(shown["near_duplicates"], path) for path in pair)
    assert shown["near_duplicates"].count('<span class="mark">label noise</span>') == len(planted["near_duplicates"])
    broken = summary["problems"]["unreadable"]["files"][0]
    assert broken["path"] in shown["unreadable"] and broken["message"] in shown["unreadable"]
    assert "<img" not in shown["unreadable"]


def test_page_is_the_summary_drawn_again(checked, tmp_path):
    """A fresh interpreter drawing the JSON file makes the same page."""
    work, _, _, page = checked
    run_python(f"""
        import json
        from pretrain_check.html import write_html
        write_html(json.load(open({str(work / 'summary.json')!r})), {str(tmp_path / 'again.html')!r})
        """, cwd=work)
    assert (tmp_path / "again.html").read_text() == page


def test_many_items_and_unknown_fields(checked, tmp_path):
    """Past GALLERY items a kind is a table; a file gone since the check is a
    placeholder; a kind this code does not know is shown from its fields."""
    work, _, summary, _ = checked
    real = [item["path"] for item in summary["problems"]["dark"]["files"]]
    gone = str(work / "photos" / "class_0" / "gone.jpg")
    summary["problems"]["dark"]["files"] = [{"path": p, "score": 0.1} for p in [gone] + real * GALLERY]
    summary["problems"]["dark"]["count"] = len(summary["problems"]["dark"]["files"])
    summary["problems"]["wrong_class"] = {"label": "files filed under another class", "ran": True, "count": 1,
                                          "files": [{"path": real[0], "given": "class_0", "suggested": "class_2",
                                                     "score": 0.93}]}
    write_html(summary, tmp_path / "page.html")
    shown = sections((tmp_path / "page.html").read_text())
    dark = shown["dark"]
    assert dark.count("<figure>") == GALLERY and dark.count("<img") == GALLERY - 1
    assert re.search(r'cannot be shown</span></a><figcaption><a class="path" [^>]+>' + re.escape(gone), dark)
    rows = re.findall(r"<tr><td>(.*?)</td></tr>", dark.split("<tbody>")[1])
    assert len(rows) == summary["problems"]["dark"]["count"] - GALLERY
    wrong = shown["wrong_class"]
    assert thumbnail_of(wrong, real[0])
    assert all(f"<b>{field}</b> {value}" in wrong for field, value in
               (("given", "class_0"), ("suggested", "class_2"), ("score", "0.93")))
