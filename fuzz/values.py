"""Wrong, odd and hostile argument values for the fuzzer, drawn from a
seeded random.Random so that a run can be replayed."""
import gc
import os


class Boom(Exception):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingStr:
    def __str__(self):
        raise Boom("str")

    __repr__ = __str__


class RaisingFspath:
    def __fspath__(self):
        raise Boom("fspath")


class BytesFspath:
    def __fspath__(self):
        return b"/tmp"


class RaisingGetattr:
    def __getattr__(self, name):
        raise Boom(name)


class Collecting:
    """Runs the collector whenever it is compared or hashed."""
    def __eq__(self, other):
        gc.collect(0)  # young generation: runs the collector, cheaply
        return False

    def __hash__(self):
        gc.collect(0)  # young generation: runs the collector, cheaply
        return 7


class SneakyStr(str):
    """A str whose comparison empties the shared list it was put in."""
    victims = []

    def __eq__(self, other):
        for v in SneakyStr.victims:
            del v[:]
        gc.collect(0)  # young generation: runs the collector, cheaply
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class BadIndex:
    def __index__(self):
        raise Boom("index")


class BadLen:
    def __len__(self):
        raise Boom("len")

    def __iter__(self):
        raise Boom("iter")


class HostileList(list):
    def __iter__(self):
        self.clear()
        gc.collect(0)  # young generation: runs the collector, cheaply
        return iter(())

    def __contains__(self, item):
        raise Boom("contains")


class HostileDict(dict):
    def __getitem__(self, key):
        raise Boom("getitem")

    def items(self):
        return [(1, 2, 3)]


def scalars(tmp):
    return [
        None, True, 0, -1, 2 ** 70, 1.5, float("nan"), "", "x", "\udcff", "a\x00b", b"bytes",
        bytearray(b"b"), [], {}, (), set(), object(), type, object, Ellipsis, NotImplemented,
        RaisingEq(), RaisingHash(), RaisingStr(), RaisingFspath(), BytesFspath(), RaisingGetattr(),
        Collecting(), SneakyStr("pretrain"), SneakyStr("a"), BadIndex(), BadLen(), HostileList([1]),
        HostileDict(a=1), os, gc, len, lambda *a, **k: None, Boom("value"), Boom,
        tmp, str(tmp), os.path.join(str(tmp), "missing"), os.path.join(str(tmp), "a", "0.png"),
        "pretrain", "pretrain.image", "pretrain.analyzing_tools", "pretrain.nope", "__pycache__",
        "__pycache__.x", "x" * 3000, ".", "pretrain.", ".pretrain",  # no "/": a recursive scan of it never ends
    ]


class Draw:
    """Random values and argument lists over the hostile pool."""

    def __init__(self, rng, tmp, extra=()):
        self.rng = rng
        self.pool = scalars(tmp) + list(extra)

    def value(self):
        r = self.rng.random()
        if r < 0.08:
            return [self.value() for _ in range(self.rng.randrange(3))]
        if r < 0.12:
            return {self.rng.choice(["a", "data_list", "x", 1]): self.value()}
        return self.rng.choice(self.pool)

    def args(self, most=4):
        return tuple(self.value() for _ in range(self.rng.randrange(most + 1)))

    def kwargs(self, names=()):
        names = list(names) + ["x", "self", "callback", "n", "fullname", "path", "unused", "\udcff"]
        return {self.rng.choice(names): self.value() for _ in range(self.rng.randrange(3))}
