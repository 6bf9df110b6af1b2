"""A plain reference of tessaloom.search: the saved form decoded in Python,
every node's text spelled out, every node's distance to every word computed
by brute force, and the ranking written out step by step. Slow; for small
indexes in the differential tests only."""

from __future__ import annotations

import math
from typing import NamedTuple

import tessaloom
from tessaloom.searching import word_budget  # the rule's one home, tested on its own

K1 = 1.2
B = 0.5
TYPO = 0.25
PREFIX = 0.8
MAX_WORDS = 32


class Saved(NamedTuple):
    shifts: list
    labels: list
    transitions: list
    payloads: list  # per node: None or (total, ids, counts)
    keys: list  # video number -> key as Hit.video gives it
    terminal: bytes


def decode(b: bytes) -> Saved:
    pos = 0

    def varint():
        nonlocal pos
        v = b[pos]
        pos += 1
        if v < 251:
            return v
        width = {251: 2, 252: 4, 253: 8}[v]
        v = int.from_bytes(b[pos:pos + width], "little")
        pos += width
        return v

    def char():
        nonlocal pos
        width = 1 if b[pos] < 0x80 else 2 if b[pos] < 0xE0 else 3 if b[pos] < 0xF0 else 4
        pos += width
        return b[pos - width:pos].decode()

    def vector(item):
        return [item() for _ in range(varint())]

    def payload():
        nonlocal pos
        pos += 1
        if b[pos - 1] == 0:
            return None
        return varint(), vector(varint), vector(varint)

    def uuid():
        nonlocal pos
        pos += 16
        return b[pos - 16:pos]

    shifts, labels, transitions, payloads = vector(varint), vector(char), vector(varint), vector(payload)
    uuids, ints, mode = vector(uuid), vector(varint), varint()
    n = varint()
    keys = ints if mode == 1 else [str(__import__("uuid").UUID(bytes=u)) for u in uuids]
    return Saved(shifts, labels, transitions, payloads, keys, b[pos:pos + n])


def osa(a: str, b: str, transpositions: bool = True) -> int:
    """Optimal string alignment distance (Levenshtein without transpositions)."""
    d = [[i + j if i * j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if transpositions and i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def query_words(text: str, prefix: bool):
    """The distinct words of the text, each with whether it matches as a prefix."""
    words = tessaloom.terms(text)
    if not words:
        return []
    # The text's last word comes last; it is typed on when the text does not
    # end with a separator.
    distinct = [w for w in dict.fromkeys(words) if w != words[-1]] + [words[-1]]
    open_end = prefix and tessaloom.terms(text + "x")[-1] == words[-1] + "x"
    return [(w, open_end and i == len(distinct) - 1) for i, w in enumerate(distinct)]


def closeness_of(d: int, n: int) -> float:
    return 1.0 if d == 0 else TYPO * (1.0 - d / (n + 1))


def sat(x: int) -> int:
    return min(max(x, 0), 0xFFFFFFFF)


class Reference:
    def __init__(self, index):
        self.s = decode(index.to_bytes())
        s = self.s
        n = len(s.labels)
        self.children = []
        for i in range(n):
            end = s.shifts[i + 1] if i + 1 < n else len(s.transitions)
            self.children.append(s.transitions[s.shifts[i]:end])
        self.text = [""] * n
        order = [0]
        for node in order:
            for c in self.children[node]:
                self.text[c] = self.text[node] + s.labels[c]
                order.append(c)
        self.order = order[1:]  # every node but the root
        self.n_videos = len(s.keys)
        # The root's payload counts every term of a video: its length. A
        # video cut from it gets the mean length of the videos cut.
        root = s.payloads[0] if s.payloads and s.payloads[0] else (0, [], [])
        self.length = {}
        for v, c in zip(root[1], root[2]):
            if v < self.n_videos:
                self.length.setdefault(v, c)
        listed = list(self.length.values())
        cut = self.n_videos - len(listed)
        self.rest = max(root[0] - sum(listed), 0) / cut if cut > 0 else 0.0
        self.avg = root[0] / self.n_videos if self.n_videos and root[0] else 1.0

    def idf(self, total: int) -> float:
        return math.log1p(self.n_videos / max(total, 1)) / math.log1p(self.n_videos)

    def word_scores(self, word: str, prefix: bool, k: int, transpositions: bool) -> dict:
        s = self.s
        best: dict = {}
        n = len(word)
        for x in self.order:
            terminal = s.terminal[x] == 1
            if not (terminal or prefix):
                continue
            d = osa(word, self.text[x], transpositions)
            if d > k:
                continue
            p = s.payloads[x]
            if p is None:
                continue
            total, ids, counts = p
            own, own_total = {}, 0
            if terminal:
                below = {}
                below_total = 0
                for c in self.children[x]:
                    if s.payloads[c] is not None:
                        ct, ci, cc = s.payloads[c]
                        below_total += ct
                        for v, cnt in zip(ci, cc):
                            below[v] = below.get(v, 0) + cnt
                own = {v: c - below.get(v, 0) for v, c in zip(ids, counts) if c > below.get(v, 0)}
                own_total = sat(total - below_total)
            closeness = closeness_of(d, n)
            whole = closeness * self.idf(own_total)
            part = closeness * PREFIX * self.idf(total)
            for v, c in zip(ids, counts):
                norm = K1 * (1 - B + B * self.length.get(v, self.rest) / self.avg)
                if v in own:
                    sc = whole * (own[v] * (K1 + 1) / (own[v] + norm)) / (K1 + 1)
                elif prefix:
                    sc = part * (c * (K1 + 1) / (c + norm)) / (K1 + 1)
                else:
                    continue
                if sc > best.get(v, -1.0):
                    best[v] = sc
        return best

    def search(self, text, limit=10, *, max_dist=None, prefix=True, transpositions=True):
        words = query_words(text, prefix)
        if not words:
            return []
        per_word = [self.word_scores(w, p, word_budget(w, max_dist), transpositions) for w, p in words]
        sums: dict = {}
        hits: dict = {}
        for best in per_word:
            for v, sc in best.items():
                sums[v] = sums.get(v, 0.0) + sc
                hits[v] = hits.get(v, 0) + 1
        out = [(hits[v] + sums[v] / (len(words) + 1), v) for v in sums if v < self.n_videos]
        out.sort(key=lambda t: (-t[0], t[1]))
        return [(self.s.keys[v], sc, hits[v]) for sc, v in out[:limit]]
