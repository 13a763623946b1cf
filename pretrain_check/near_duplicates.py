"""Groups of images that are the same picture after resizing, recompression
or a crop of a few per cent: linked when both their perceptual hashes
(image_stats.py) are close, the DCT hash within DISTANCE of its 64 bits and
the difference hash within CONFIRM_DISTANCE (the second hash weeds out
different pictures of similar layout that the first lets through).

Pairs are found by splitting the DCT hash into DISTANCE + 1 blocks: two
hashes that close agree exactly on at least one block, so only hashes that
share a block are compared. Equal hash pairs are merged first, so that many
copies of one picture (or many flat images) cost one comparison."""
import numpy as np

DISTANCE = 8
CONFIRM_DISTANCE = 12
BITS_SET = np.array([bin(i).count("1") for i in range(256)], dtype=np.uint8)
ROWS = 512  # hashes compared against a bucket at once: bounds the memory of a large bucket


def hamming(a, b):
    """Bit differences between uint64 arrays a and b (broadcast)."""
    differing = np.ascontiguousarray(a ^ b)
    return BITS_SET[differing.view(np.uint8)].reshape(*differing.shape, 8).sum(axis=-1)


class Components:
    def __init__(self, count):
        self.parent = list(range(count))

    def root(self, item):
        while self.parent[item] != item:
            self.parent[item] = self.parent[self.parent[item]]
            item = self.parent[item]
        return item

    def join(self, a, b):
        self.parent[self.root(a)] = self.root(b)


def close_pairs(hashes, distance):
    """(i, j) index pairs, i < j, of the distinct hashes within distance."""
    bounds = np.linspace(0, 64, distance + 2).astype(np.uint64)
    for low, high in zip(bounds[:-1], bounds[1:]):
        key = (hashes >> low) & ((np.uint64(1) << (high - low)) - np.uint64(1))
        order = np.argsort(key, kind="stable")
        keys = key[order]
        starts = np.flatnonzero(np.r_[True, keys[1:] != keys[:-1]])
        ends = np.r_[starts[1:], len(order)]
        for start, end in zip(starts[ends - starts > 1], ends[ends - starts > 1]):
            members = order[start:end]
            for row in range(0, len(members) - 1, ROWS):
                left = members[row:row + ROWS]
                near = hamming(hashes[left][:, None], hashes[members][None, :]) <= distance
                for i, j in zip(*np.nonzero(near)):
                    if row + i < j:
                        yield int(left[i]), int(members[j])


def near_groups(dct_hashes, difference_hashes):
    """Lists of positions (two or more) whose hashes chain together, each
    with the largest DCT hash distance inside it."""
    both = np.stack([np.asarray(dct_hashes, dtype=np.uint64), np.asarray(difference_hashes, dtype=np.uint64)], 1)
    distinct, which = np.unique(both, axis=0, return_inverse=True)
    which = which.ravel()
    components = Components(len(distinct))
    for i, j in close_pairs(distinct[:, 0], DISTANCE):
        if hamming(distinct[i, 1], distinct[j, 1]) <= CONFIRM_DISTANCE:
            components.join(i, j)
    roots = np.array([components.root(i) for i in range(len(distinct))], dtype=np.int64)[which]
    shared = np.flatnonzero(np.bincount(roots, minlength=len(distinct)) > 1)
    members = {}
    for position in np.flatnonzero(np.isin(roots, shared)):
        members.setdefault(roots[position], []).append(int(position))
    return [(group, spread(np.unique(distinct[which[group], 0]))) for group in members.values()]


def spread(distinct, at_most=ROWS):
    """The largest distance between the hashes (measured from the first one
    when there are more than at_most)."""
    first = distinct if len(distinct) <= at_most else distinct[:1]
    return int(hamming(first[:, None], distinct[None, :]).max())
