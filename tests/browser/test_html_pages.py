"""pretrain-check's HTML pages in headless Chromium, for a generated dataset
with planted problems (folder mode) and for a config whose parts leak:
every kind's count and every planted file on the page, every thumbnail
decoded, nothing asked of the network, and a screenshot that is not blank
(kept under build/browser)."""
import json
import os
import shutil

import pytest
from PIL import Image

from conftest import REPO, run_python
from harness.chromium import Chromium, find_chromium
from harness.planted_dataset import plant

pytestmark = pytest.mark.skipif(find_chromium() is None,
                                reason="chromium is not installed (make test-browser installs it)")

SCREENSHOTS = REPO / "build" / "browser"

CONFIG = """
custom_imports = dict(imports=["pretrain.datasets"], allow_failed_imports=False)
default_scope = "mmpretrain"
category_map = {{"class_0": "cat", "class_1": "dog"}}
whole = [dict(type="SplitData", start=0.0, end=1.0)]
train_dataloader = dict(dataset=dict(type="NeuDataset", data_root={train!r}, category_map=category_map,
                                     init_pipeline=whole))
val_dataloader = dict(dataset=dict(type="NeuDataset", data_root={val!r}, category_map=category_map,
                                   init_pipeline=whole))
"""


def long_tail(root, planted, classes):
    """Thins the unplanted files of class c to a 2**(c+1)-th, as in a long-tailed dataset."""
    for c in range(1, classes):
        files = sorted((root / f"class_{c}").glob("0*.jpg"))
        for path in files[len(files) >> (c + 1):]:
            if str(path) not in planted:
                path.unlink()


def check(*arguments, cwd):
    proc = run_python(None, check=False, cwd=cwd,
                      args=["-m", "pretrain_check", *arguments, "--json", "summary.json", "--html", "page.html",
                            "--quiet"])
    assert proc.returncode == 1, proc.stderr
    return json.loads((cwd / "summary.json").read_text()), cwd / "page.html"


@pytest.fixture(scope="module")
def browser():
    with Chromium() as chromium:
        yield chromium


@pytest.fixture(scope="module")
def folder_page(tmp_path_factory):
    work = tmp_path_factory.mktemp("folder")
    planted = plant(work / "photos", per_class=40, classes=6)
    (work / "photos" / "class_1" / "broken.jpg").write_bytes(b"\xff\xd8\xff\xe0 not a picture")
    (work / "photos" / "class_2" / "upper.JPG").write_bytes((work / "photos" / "class_2" / "00001.jpg").read_bytes())
    files = [p for paths in planted.values() for p in paths]
    files = [p for p in files if isinstance(p, str)] + [f for p in files if isinstance(p, list) for f in p]
    long_tail(work / "photos", set(files), 6)
    files += [str(work / "photos" / "class_1" / "broken.jpg"), str(work / "photos" / "class_2" / "upper.JPG")]
    return (*check("photos", "--check", cwd=work), [os.path.relpath(f, work) for f in files])


@pytest.fixture(scope="module")
def config_page(tmp_path_factory):
    work = tmp_path_factory.mktemp("config")
    plant(work / "train", per_class=12, classes=2, problems=False)
    plant(work / "val", per_class=4, classes=2, seed=1, problems=False)
    leaked = [work / "train" / "class_0" / "00003.jpg", work / "train" / "class_1" / "00005.jpg"]
    for n, path in enumerate(leaked):
        shutil.copy(path, work / "val" / "class_0" / f"leak_{n}.jpg")
    (work / "parts.py").write_text(CONFIG.format(train=str(work / "train"), val=str(work / "val")))
    summary, page = check("--config", str(work / "parts.py"), cwd=work)
    return summary, page, [str(p) for p in leaked] + [str(work / "val" / "class_0" / f"leak_{n}.jpg") for n in (0, 1)]


def shown_counts(page):
    return page.evaluate("""Object.fromEntries(Array.from(document.querySelectorAll('tr[data-kind]'))
        .map(row => [row.dataset.kind, row.querySelector('.count').textContent]))""")


def section_counts(page):
    return page.evaluate("""Object.fromEntries(Array.from(document.querySelectorAll('section.kind'))
        .map(section => [section.dataset.kind, section.querySelector('h2 .count').textContent]))""")


@pytest.mark.parametrize("made", ["folder_page", "config_page"])
def test_page_in_a_browser(made, browser, request):
    summary, path, planted = request.getfixturevalue(made)
    page = browser.page()
    try:
        page.load(path, height=1500)
        fetched = [url for url in page.requests() if not url.startswith("data:")]  # thumbnails are inline
        assert fetched == [path.resolve().as_uri()]
        problems = summary["problems"]
        assert shown_counts(page) == {name: str(p["count"]) if p["ran"] else "not run"
                                      for name, p in problems.items()}
        assert section_counts(page) == {name: str(p["count"]) for name, p in problems.items() if p["count"]}
        text = page.evaluate("document.body.textContent")
        assert [f for f in planted if f not in text] == []
        images = page.evaluate("""Promise.all(Array.from(document.images).map(image => {
            image.loading = 'eager';  // the page loads thumbnails as they are scrolled to
            return image.decode().then(() => image.naturalWidth, () => 0); }))""")
        assert images and min(images) > 0
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)
        shot = SCREENSHOTS / f"check-report-{summary['mode']}.png"
        shot.write_bytes(page.screenshot())
        with Image.open(shot) as image:
            assert len(image.convert("RGB").getcolors(1 << 20)) > 50  # text, charts and thumbnails, not blank
    finally:
        page.close()


def test_config_page_shows_the_parts_and_leaks_side_by_side(config_page, browser):
    summary, path, leaked = config_page
    page = browser.page()
    try:
        page.load(path)
        parts = page.evaluate("Array.from(document.querySelectorAll('#parts td:first-child')).map(c => c.textContent)")
        assert parts == list(summary["parts"])
        groups = page.evaluate("""Array.from(document.querySelectorAll('#kind-leakage .group')).map(
            g => [Array.from(g.querySelectorAll('figcaption .path')).map(a => a.textContent), g.textContent])""")
        assert sorted(sorted(files) for files, _ in groups) == sorted(
            sorted(g["files"]) for g in summary["problems"]["leakage"]["groups"])
        assert all("train / val" in text for _, text in groups)
    finally:
        page.close()


def test_filter_shows_only_the_files_asked_for(folder_page, browser):
    summary, path, _ = folder_page
    wanted = summary["problems"]["dark"]["files"][0]["path"]
    page = browser.page()
    try:
        page.load(path)
        shown = page.evaluate(f"""(() => {{
            const filter = document.getElementById('filter');
            filter.value = {json.dumps(wanted)};
            filter.dispatchEvent(new Event('input'));
            return Array.from(document.querySelectorAll('.kind figure'))
                .filter(f => f.offsetParent !== null).map(f => f.querySelector('.path').textContent);
        }})()""")
        assert shown and set(shown) == {wanted}
    finally:
        page.close()
