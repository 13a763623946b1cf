"""Groups of images that are the same picture after resizing, recompression
or a crop of a few per cent.

Candidates come from the perceptual hashes (image_stats.py): the DCT hash
within DISTANCE of its 64 bits and the difference hash within
CONFIRM_DISTANCE (it weeds out different pictures of similar layout). The
difference hash of an image smaller than the hashes' 32 x 32 grid
(thumbnails, digits) flips with any recompression, so there only the DCT
hash counts. Sixty-four bits cannot tell small or simple pictures apart
(two writers' sevens), so every candidate pair is confirmed on the pixels:
the structural similarity of the two grey 16 x 16 thumbnails, the best over
crops of up to 3 % a side of either, at least SAME. A group is a set of
images every two of which are confirmed: pairs are never chained further.

Every candidate pair is found without comparing all pairs: the DCT hash is
cut into four blocks of 16 bits, and two hashes within 7 bits of each other
differ in at most one bit on at least one block. So for each block, each
hash looks up (in a table of the 65,536 block values) the hashes whose block
equals its own or its own with one bit flipped, and only those are compared.
That is about 70 x N / 65,536 comparisons per hash: 47 s for 1,000,000
random hashes, 0.9 s for 100,000. Images with equal hashes are compared once
as one, then split on their pixels.

Every numpy call over all the hashes works on one integer column (sorts of
rows took seconds on a million hashes) or on a bounded piece: Ctrl-C waits
for the call under way."""
from collections import defaultdict

import numpy as np

from .image_stats import HASH_SIDE, thumbnails

DISTANCE = 7
CONFIRM_DISTANCE = 12
SAME = 0.995
BLOCK = 16
PROBES = [0] + [1 << bit for bit in range(BLOCK)]
KEY = np.min_scalar_type((1 << BLOCK) - 1)  # 16 bits: numpy sorts them by radix, in one pass per byte
PAIRS_AT_ONCE = 1_000_000  # candidate pairs compared at once: bounds the memory of crowded blocks
PICTURES_AT_ONCE = 8192  # thumbnail pairs compared at once
# the constants of the structural similarity for grey levels of 0 to 255
LUMINANCE_C, CONTRAST_C = (0.01 * 255) ** 2, (0.03 * 255) ** 2


def hamming(a, b):
    """Bit differences between uint64 arrays a and b (broadcast): the bits
    counted in place, pairs, then nibbles, then bytes summed by a multiply."""
    x = a ^ b
    x = x - ((x >> np.uint64(1)) & np.uint64(0x5555555555555555))
    x = (x & np.uint64(0x3333333333333333)) + ((x >> np.uint64(2)) & np.uint64(0x3333333333333333))
    x = (x + (x >> np.uint64(4))) & np.uint64(0x0F0F0F0F0F0F0F0F)
    return (x * np.uint64(0x0101010101010101)) >> np.uint64(56)


def slices(counts):
    """Ranges of rows whose candidate counts add up to about PAIRS_AT_ONCE."""
    ends = np.searchsorted(np.cumsum(counts), np.arange(PAIRS_AT_ONCE, counts.sum(), PAIRS_AT_ONCE))
    bounds = [0, *np.unique(ends + 1).tolist(), len(counts)]
    return [(low, high) for low, high in zip(bounds[:-1], bounds[1:]) if low < high]


def candidates(keys, order, starts, counts, probe):
    """(left, right) of the rows whose key equals each row's key ^ probe."""
    wanted = keys ^ probe
    low, counts = starts[wanted], counts[wanted]
    for start, end in slices(counts):
        part = counts[start:end]
        total = int(part.sum())
        if not total:
            continue
        left = np.repeat(np.arange(start, end), part)
        offsets = np.arange(total) - np.repeat(np.cumsum(part) - part, part)
        yield left, order[np.repeat(low[start:end], part) + offsets]


def close_pairs(dct, difference, tiny):
    """(i, j) pairs, i < j, of rows whose hashes are close (the DCT hash
    alone when either row is `tiny`)."""
    found = []
    for shift in range(0, 64, BLOCK):
        keys = ((dct >> np.uint64(shift)) & np.uint64((1 << BLOCK) - 1)).astype(KEY)
        order = np.argsort(keys, kind="stable")
        counts = np.bincount(keys, minlength=1 << BLOCK)
        starts = np.cumsum(counts) - counts
        for probe in PROBES:
            for left, right in candidates(keys, order, starts, counts, probe):
                kept = (left < right) & (hamming(dct[left], dct[right]) <= DISTANCE)
                left, right = left[kept], right[kept]
                close = (tiny[left] | tiny[right]
                         | (hamming(difference[left], difference[right]) <= CONFIRM_DISTANCE))
                found.append(np.stack([left[close], right[close]], axis=1))
    if not found:
        return np.empty((0, 2), dtype=np.int64)
    pairs = np.concatenate(found)
    codes = np.unique(pairs[:, 0] * len(dct) + pairs[:, 1])
    return np.stack([codes // len(dct), codes % len(dct)], axis=1)


def distinct_rows(columns):
    """(first, which) for the rows of the integer columns: the position of
    the first of each distinct row, in the rows' order, and which distinct
    row each row is. Each column is replaced by its rank among its values,
    and the ranks make one key."""
    key = np.zeros(len(columns[0]), dtype=np.int64)
    for column in columns:
        values, rank = np.unique(column, return_inverse=True)
        key = key * len(values) + rank.ravel()  # under len(columns[0]) ** len(columns)
    _, first, which = np.unique(key, return_index=True, return_inverse=True)
    return first, which.ravel()


def similarity(first, second):
    """Structural similarity (luminance times structure, over the whole
    thumbnail) of the pictures of two stacks of cropped thumbnails
    (image_stats.thumbnails), each pair at its best alignment: either
    picture uncropped against every crop of the other."""
    first, second = first.astype(np.float32), second.astype(np.float32)
    best = np.maximum(structural(first[:, :1], second), structural(first, second[:, :1]))
    return best.max(axis=1)


def structural(a, b):
    mean_a, mean_b = a.mean(axis=-1), b.mean(axis=-1)
    a, b = a - mean_a[..., None], b - mean_b[..., None]
    variance_a, variance_b, covariance = (a * a).mean(axis=-1), (b * b).mean(axis=-1), (a * b).mean(axis=-1)
    return ((2 * mean_a * mean_b + LUMINANCE_C) / (mean_a ** 2 + mean_b ** 2 + LUMINANCE_C)
            * (2 * covariance + CONTRAST_C) / (variance_a + variance_b + CONTRAST_C))


def alike(pictures, readable, left, right):
    """Whether the thumbnails at left and right (position arrays) show the
    same picture."""
    same = np.zeros(len(left), dtype=bool)
    for start in range(0, len(left), PICTURES_AT_ONCE):
        a, b = left[start:start + PICTURES_AT_ONCE], right[start:start + PICTURES_AT_ONCE]
        same[start:start + len(a)] = (similarity(pictures[a], pictures[b]) >= SAME) & readable[a] & readable[b]
    return same


def copies(members, pictures, readable):
    """Splits images of equal hashes (their thumbnail positions) into lists
    of the same picture, each alike its first image."""
    left = np.asarray(members)
    while len(left):
        same = alike(pictures, readable, np.repeat(left[:1], len(left)), left)
        same[0] = True
        yield left[same]
        left = left[~same]


def cliques(edges):
    """Sets of nodes every two of which are joined by one of the edges
    ((a, b) pairs), covering every joined node: the best-joined node not yet
    taken, with each of its neighbours (best-joined first) that is joined to
    every node taken into the set so far."""
    neighbours = defaultdict(set)
    for a, b in edges:
        neighbours[a].add(b)
        neighbours[b].add(a)
    by_degree = sorted(neighbours, key=lambda node: (-len(neighbours[node]), node))
    taken, found = set(), []
    for node in by_degree:
        if node in taken:
            continue
        clique = [node]
        for other in sorted(neighbours[node] - taken, key=lambda n: (-len(neighbours[n]), n)):
            if all(other in neighbours[member] for member in clique[1:]):
                clique.append(other)
        taken.update(clique)
        found.append(clique)
    return found


def every_pair(first, count, pairs):
    """(left, right): every pair of a unit of row i and a unit of row j for
    the (i, j) pairs, where row r has the units first[r] to first[r] +
    count[r] - 1."""
    i, j = pairs[:, 0], pairs[:, 1]
    many = count[i] * count[j]
    i, j, per_left = np.repeat(i, many), np.repeat(j, many), np.repeat(count[j], many)
    offsets = np.arange(many.sum()) - np.repeat(np.cumsum(many) - many, many)
    return first[i] + offsets // per_left, first[j] + offsets % per_left


def near_groups(dct_hashes, difference_hashes, tiny, thumbnails_of):
    """Lists of positions (two or more) that show the same picture, each with
    the largest DCT hash distance inside it; `tiny` marks the images smaller
    than the hash grid; `thumbnails_of(positions)` gives (thumbnails,
    readable) of those positions (image_stats.thumbnails)."""
    rows = np.stack([np.asarray(dct_hashes, dtype=np.uint64), np.asarray(difference_hashes, dtype=np.uint64),
                     np.asarray(tiny, dtype=np.uint64)], 1)
    first, which = distinct_rows(rows.T)
    distinct = rows[first]
    pairs = close_pairs(distinct[:, 0].copy(), distinct[:, 1].copy(), distinct[:, 2].astype(bool))
    counts = np.bincount(which, minlength=len(distinct))
    wanted = np.zeros(len(distinct), dtype=bool)
    wanted[pairs.ravel()] = True
    wanted |= counts > 1
    positions = np.flatnonzero(wanted[which])
    positions = positions[np.argsort(which[positions], kind="stable")]
    if not len(positions):
        return []
    pictures, readable = thumbnails_of(positions.tolist())
    # units: images of one hash row that show the same picture, led by their first
    rows_here = which[positions]
    row_starts = np.flatnonzero(np.r_[True, np.diff(rows_here) != 0])
    units, first_unit, unit_count = [], np.zeros(len(distinct), np.int64), np.zeros(len(distinct), np.int64)
    for members in np.split(np.arange(len(positions)), row_starts[1:]):
        row = rows_here[members[0]]
        first_unit[row] = len(units)
        units.extend(copies(members, pictures, readable) if len(members) > 1 else [members])
        unit_count[row] = len(units) - first_unit[row]
    leaders = np.array([unit[0] for unit in units])
    left, right = every_pair(first_unit, unit_count, pairs)
    joined = np.stack([left, right], 1)[alike(pictures, readable, leaders[left], leaders[right])]
    sets = cliques(joined.tolist())
    in_sets = {n for members in sets for n in members}
    sets += [[n] for n, unit in enumerate(units) if len(unit) > 1 and n not in in_sets]
    groups = []
    for members in sets:
        images = np.concatenate([units[n] for n in members])
        if len(images) > 1:
            hashes = np.unique(distinct[np.unique(rows_here[images]), 0])
            groups.append((sorted(positions[images].tolist()), spread(hashes)))
    return groups


def spread(distinct, at_most=512):
    """The largest distance between the hashes (measured from the first one
    when there are more than at_most)."""
    first = distinct if len(distinct) <= at_most else distinct[:1]
    return int(hamming(first[:, None], distinct[None, :]).max())


def tiny(measures):
    """Images smaller than the perceptual hashes' grid."""
    return np.minimum(measures["width"], measures["height"]) < HASH_SIDE


def same_pictures(names, measures, measured, workers, make_progress=None):
    """([name, ...], distance) of each group of near duplicates among the
    measured files; the workers read the candidates' thumbnails, with the
    progress make_progress(count) gives."""
    kept = np.flatnonzero(measured)
    kept_names = [names[i] for i in kept]
    found = measures[kept]

    def thumbnails_of(positions):
        progress = make_progress(len(positions)) if make_progress else None
        parts = [part for _, part in workers.map_chunks(thumbnails, [kept_names[i] for i in positions], progress,
                                                         lost=unread_thumbnails)]
        return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])

    return [([kept_names[i] for i in group], distance)
            for group, distance in near_groups(found["phash"], found["dhash"], tiny(found), thumbnails_of)]


def unread_thumbnails(chunk):
    """What stands for the thumbnails of a chunk whose worker died: none readable."""
    pictures, _ = thumbnails([])
    return np.zeros((len(chunk), *pictures.shape[1:]), np.uint8), np.zeros(len(chunk), dtype=bool)
