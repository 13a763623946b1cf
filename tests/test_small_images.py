"""The image checks on small, simple pictures (handwriting-like strokes of
28 x 28, as in digit datasets), where perceptual hashes cannot tell
pictures apart: only true copies are grouped as near duplicates, a group
never chains pictures that are not alike, and the thin strokes of a class
are not flagged as low information or blurry while a blank image and an
enlarged one are."""
import numpy as np
import pytest
from PIL import Image, ImageDraw

from conftest import run_python
from harness.planted_dataset import save
from helpers.summaries import load_summary

SIDE = 28


BARS = [(top, bottom, start) for top in range(6, 23, 2) for bottom in range(6, 23, 2) for start in (3, 7)]


def strokes(rng, bar=None):
    """A white-on-black handwriting-like picture: a thin slanted bar (top and
    bottom x, top y), or a few joined thicker strokes."""
    image = Image.new("L", (SIDE, SIDE))
    draw = ImageDraw.Draw(image)
    if bar:
        top, bottom, start = bar
        draw.line([(top, start), (bottom, 24)], fill=int(rng.integers(200, 256)), width=2)
    else:
        points = [tuple(rng.uniform(5, 23, 2)) for _ in range(int(rng.integers(3, 6)))]
        draw.line(points, fill=int(rng.integers(200, 256)), width=3, joint="curve")
    return image


@pytest.fixture(scope="module")
def handwriting(tmp_path_factory):
    """300 pictures in three classes (one of thin bars), a blank one, and
    copies of two pictures in another class: enlarged twice (PNG) and
    recompressed (JPEG)."""
    root = tmp_path_factory.mktemp("handwriting")
    rng = np.random.default_rng(5)
    kept = {}
    bars = rng.permutation(len(BARS))
    for name in ("one", "two", "three"):
        (root / name).mkdir()
        for n in range(100):
            image = strokes(rng, BARS[bars[n]] if name == "one" else None)
            save(image, root / name / f"{n:03d}.png")
            kept[f"{name}/{n:03d}.png"] = image
    Image.new("L", (SIDE, SIDE)).save(root / "two" / "blank.png")
    save(kept["two/007.png"].resize((2 * SIDE, 2 * SIDE), Image.Resampling.LANCZOS), root / "three" / "copy_a.png")
    save(kept["three/042.png"].convert("RGB"), root / "one" / "copy_b.jpg", quality=75)
    return root


def test_only_copies_are_grouped_and_thin_strokes_are_not_low_information(handwriting, tmp_path):
    summary = tmp_path / "summary.json"
    run_python(None, check=False, args=["-m", "pretrain_check", str(handwriting), "--check", "--quiet",
                                        "--json", str(summary)])
    problems = load_summary(summary)["problems"]
    groups = [sorted(str(handwriting / name) for name in pair)
              for pair in (("two/007.png", "three/copy_a.png"), ("three/042.png", "one/copy_b.jpg"))]
    assert sorted(sorted(g["files"]) for g in problems["near_duplicates"]["groups"]) == sorted(groups)
    assert [f["path"] for f in problems["low_information"]["files"]] == [str(handwriting / "two" / "blank.png")]
    # the enlarged copy is softer than the rest: the only blurry one
    assert [f["path"] for f in problems["blurry"]["files"]] == [str(handwriting / "three" / "copy_a.png")]


def test_groups_hold_only_pictures_alike_pairwise():
    """Three pictures with equal hashes, the middle one alike both others,
    the outer two not alike: the middle one joins one of them, never both."""
    run_python("""
        import numpy as np
        from pretrain_check.image_stats import THUMBNAIL_CROPS
        from pretrain_check.near_duplicates import near_groups, similarity, SAME
        rng = np.random.default_rng(0)
        first = rng.uniform(30, 220, 256)
        third = np.clip(first + rng.normal(0, 8, 256), 0, 255)
        middle = (first + third) / 2
        pictures = np.stack([first, middle, third]).round().astype(np.uint8)
        pictures = np.repeat(pictures[:, None], len(THUMBNAIL_CROPS), 1)
        alike = [similarity(pictures[[a]], pictures[[b]])[0] >= SAME for a, b in ((0, 1), (1, 2), (0, 2))]
        assert alike == [True, True, False], alike
        groups = near_groups([7, 7, 7], [1, 1, 1], [True] * 3,
                             lambda positions: (pictures[positions], np.ones(3, bool)))
        assert [sorted(g) for g, _ in groups] in ([[0, 1]], [[1, 2]]), groups
    """)


def test_outliers_are_judged_against_the_datasets_own_spread():
    """A blur that leaves a picture at a third of the median sharpness stands
    out among siblings that all sit within 0.84 to 1.2 of it, while a long
    tail of thin strokes (a whole class of low entropy) does not."""
    run_python("""
        import numpy as np
        from pretrain_check.kinds.looks import blurry, entropy
        from pretrain_check.image_stats import MEASURES
        rng = np.random.default_rng(1)
        measures = np.zeros(1001, MEASURES)
        measures["entropy"] = 7.0
        measures["sharpness"][:1000] = np.exp(rng.uniform(np.log(0.84), np.log(1.2), 1000))
        measures["sharpness"][1000] = 0.32
        measured = np.ones(1001, bool)
        assert np.flatnonzero(blurry(measures, measured)[1]).tolist() == [1000]
        measures["entropy"] = np.r_[rng.normal(1.8, 0.35, 900), rng.uniform(0.7, 1.3, 100), 0.0]
        assert np.flatnonzero(entropy(measures, measured)[1]).tolist() == [1000]
    """)
