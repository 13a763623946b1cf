"""Groups of images that are the same picture after resizing, recompression
or a crop of a few per cent: linked when both their perceptual hashes
(image_stats.py) are close, the DCT hash within DISTANCE of its 64 bits and
the difference hash within CONFIRM_DISTANCE (the second hash weeds out
different pictures of similar layout that the first lets through). Images
smaller than the hashes' 32 x 32 grid (thumbnails, 8 x 8 digits) carry too
little for that: a pair with such an image must agree within TINY_DISTANCE
and TINY_CONFIRM_DISTANCE.

Every such pair is found without comparing all pairs: the DCT hash is cut
into four blocks of 16 bits, and two hashes within 7 bits of each other
differ in at most one bit on at least one block. So for each block, each
hash looks up (in a table of the 65,536 block values) the hashes whose block
equals its own or its own with one bit flipped, and only those are compared.
That is about 70 x N / 65,536 comparisons per hash: 47 s for 1,000,000
random hashes, 0.9 s for 100,000. Equal hash pairs are merged first, so that
many copies of one picture (or many flat images) cost one comparison."""
import numpy as np

DISTANCE = 7
CONFIRM_DISTANCE = 12
TINY_DISTANCE = 3
TINY_CONFIRM_DISTANCE = 6
BLOCK = 16
PROBES = [0] + [1 << bit for bit in range(BLOCK)]
PAIRS_AT_ONCE = 1_000_000  # candidate pairs compared at once: bounds the memory of crowded blocks


def hamming(a, b):
    """Bit differences between uint64 arrays a and b (broadcast): the bits
    counted in place, pairs, then nibbles, then bytes summed by a multiply."""
    x = a ^ b
    x = x - ((x >> np.uint64(1)) & np.uint64(0x5555555555555555))
    x = (x & np.uint64(0x3333333333333333)) + ((x >> np.uint64(2)) & np.uint64(0x3333333333333333))
    x = (x + (x >> np.uint64(4))) & np.uint64(0x0F0F0F0F0F0F0F0F)
    return (x * np.uint64(0x0101010101010101)) >> np.uint64(56)


class Components:
    """Union-find over the items that were joined; any other item is its own
    root (so a million hashes with a few near pairs cost a few entries)."""

    def __init__(self):
        self.parent = {}

    def root(self, item):
        parent = self.parent
        while (above := parent.get(item, item)) != item:
            parent[item] = parent.get(above, above)
            item = above
        return item

    def join(self, a, b):
        a, b = self.root(a), self.root(b)
        if a != b:
            self.parent[a] = b


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
    """(i, j) pairs, i < j, of rows whose two hashes are both close; closer
    when either row is `tiny`."""
    found = []
    for shift in range(0, 64, BLOCK):
        keys = ((dct >> np.uint64(shift)) & np.uint64((1 << BLOCK) - 1)).astype(np.int64)
        order = np.argsort(keys, kind="stable")
        counts = np.bincount(keys, minlength=1 << BLOCK)
        starts = np.cumsum(counts) - counts
        for probe in PROBES:
            for left, right in candidates(keys, order, starts, counts, probe):
                kept = (left < right) & (hamming(dct[left], dct[right]) <= DISTANCE)
                left, right = left[kept], right[kept]
                small = tiny[left] | tiny[right]
                close = ((hamming(dct[left], dct[right]) <= np.where(small, TINY_DISTANCE, DISTANCE))
                         & (hamming(difference[left], difference[right])
                            <= np.where(small, TINY_CONFIRM_DISTANCE, CONFIRM_DISTANCE)))
                found.append(np.stack([left[close], right[close]], axis=1))
    return np.unique(np.concatenate(found), axis=0) if found else np.empty((0, 2), dtype=np.int64)


def near_groups(dct_hashes, difference_hashes, tiny):
    """Lists of positions (two or more) whose hashes chain together, each
    with the largest DCT hash distance inside it; `tiny` marks the images
    smaller than the hash grid."""
    rows = np.stack([np.asarray(dct_hashes, dtype=np.uint64), np.asarray(difference_hashes, dtype=np.uint64),
                     np.asarray(tiny, dtype=np.uint64)], 1)
    distinct, which = np.unique(rows, axis=0, return_inverse=True)
    which = which.ravel()
    components = Components()
    pairs = close_pairs(distinct[:, 0].copy(), distinct[:, 1].copy(), distinct[:, 2].astype(bool))
    for i, j in pairs.tolist():
        components.join(i, j)
    roots = np.arange(len(distinct), dtype=np.int64)
    joined = list(components.parent)
    roots[joined] = [components.root(i) for i in joined]
    roots = roots[which]
    shared = np.flatnonzero(np.bincount(roots, minlength=len(distinct)) > 1)
    members = {}
    for position in np.flatnonzero(np.isin(roots, shared)):
        members.setdefault(roots[position], []).append(int(position))
    return [(group, spread(np.unique(distinct[which[group], 0]))) for group in members.values()]


def spread(distinct, at_most=512):
    """The largest distance between the hashes (measured from the first one
    when there are more than at_most)."""
    first = distinct if len(distinct) <= at_most else distinct[:1]
    return int(hamming(first[:, None], distinct[None, :]).max())
