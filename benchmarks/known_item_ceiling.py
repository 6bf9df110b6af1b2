"""The best success any ranking can expect on the search benchmark's known-item
queries: the exact posterior of each item given the typed text, under the very
process that made the queries (search_benchmark.known_item_queries).

A query is made by picking an item uniformly, then k of its m distinct words of
4 or more letters (k uniform in 1..min(3, m), in random order); a word of 5 or
more letters gets one typo (deletion, insertion or substitution of a letter, or
a swap of two neighbours, at a uniform position); the last word loses 0 to 2
characters. P(text | item) follows from that exactly, and ranking the items by
it is the Bayes-optimal ranking for these queries: no ranking can expect more.
Items of equal posterior are counted in a random order (expected success).

It is a diagnostic of the benchmark, not a ranking: it knows the query maker's
rules, which no search of real queries can.

``Ceiling(items, within_rules=True)`` gives up what search's ranking rules and
its index cannot know: an exact match is taken as 10 times as likely as each
one-typo spelling (the query maker never leaves a word of 5 or more letters
as it is, but search ranks an exact match above a typo), an item's length is
its count of terms (as the index holds it) rather than its count of distinct
words of 4 or more letters, and the last word's cut is not known, each
further character half as likely. What that reaches is about the most a
ranking within search's rules can expect on these queries.

``budget=True`` (with either) also gives up what search's typo budget cannot
reach: a typed word stands only for the words within its budget
(``word_budget``: no edit for 1 to 3 characters, 1 for 4 to 7, 2 for 8 or
more), the last word for those beginning with something within it. The query
maker does not keep to the budget (a word of 5 letters with a typo, cut to 3,
keeps its typo), so some items cannot be reached through every typed word;
search can still rank them below the items that match every word, which this
ceiling does not count.
"""

from __future__ import annotations

import bisect
import math
from collections import Counter, defaultdict

import tessaloom
from tessaloom.searching import word_budget

LETTERS = "abcdefghijklmnopqrstuvwxyz"


def typos(word):
    """The distribution of the texts one typo of a word of 5 or more letters gives."""
    out = Counter()
    n = len(word)
    for i in range(n):
        out[word[:i] + word[i + 1:]] += 1 / (4 * n)
        for c in LETTERS:
            out[word[:i] + c + word[i:]] += 1 / (4 * n * 26)
        subs = [c for c in LETTERS if c != word[i]]
        for c in subs:
            out[word[:i] + c + word[i + 1:]] += 1 / (4 * n * len(subs))
        j = min(i, n - 2)
        out[word[:j] + word[j + 1] + word[j] + word[j + 2:]] += 1 / (4 * n)
    return out


def osa(a, b):
    """Optimal string alignment distance: edits with swaps of neighbours."""
    prev2, prev = None, list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        row = [i] + [0] * len(b)
        for j in range(1, len(b) + 1):
            row[j] = min(prev[j] + 1, row[j - 1] + 1, prev[j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                row[j] = min(row[j], prev2[j - 2] + 1)
        prev2, prev = prev, row
    return prev[-1]


def within_budget(typed, word, last):
    """Whether search's typo budget lets the typed word stand for word."""
    k = word_budget(typed)
    if not last:
        return osa(typed, word) <= k
    return any(osa(typed, word[:i]) <= k for i in range(max(1, len(typed) - k), len(typed) + k + 1))


class Ceiling:
    def __init__(self, items, within_rules=False, budget=False):
        self.within_rules = within_rules
        self.budget = budget
        self.length = {video: len(tessaloom.terms(text)) for video, text in items}
        self.words = {}
        self.postings = defaultdict(set)
        for video, text in items:
            words = [w for w in dict.fromkeys(tessaloom.terms(text)) if len(w) >= 4]
            if words:
                self.words[video] = set(words)
                for w in words:
                    self.postings[w].add(video)
        self.vocabulary = sorted(self.postings)
        self.alphabet = sorted({c for w in self.vocabulary for c in w})
        self._typed = {}

    def typed(self, word):
        if word not in self._typed:
            if len(word) < 5:
                self._typed[word] = {word: 1.0}
            elif self.within_rules:
                self._typed[word] = {t: 1.0 if t == word else 0.1 for t in self.within_one(word)}
            else:
                self._typed[word] = typos(word)
        return self._typed[word]

    def within_one(self, t):
        out = {t}
        for i in range(len(t) + 1):
            for c in self.alphabet:
                out.add(t[:i] + c + t[i:])
                if i < len(t):
                    out.add(t[:i] + c + t[i + 1:])
            if i < len(t):
                out.add(t[:i] + t[i + 1:])
            if i < len(t) - 1:
                out.add(t[:i] + t[i + 1] + t[i] + t[i + 2:])
        return out

    def sources(self, t, last):
        """{word: P(t | word)} over the words that can give the typed word t."""
        out = self._sources(t, last)
        if self.budget:
            out = {w: p for w, p in out.items() if within_budget(t, w, last)}
        return out

    def _sources(self, t, last):
        out = {}
        if not last:
            for w in self.within_one(t):
                if w in self.postings and self.typed(w).get(t):
                    out[w] = self.typed(w)[t]
            return out
        seen = set()
        for u in self.within_one(t):
            k = bisect.bisect_left(self.vocabulary, u)
            while k < len(self.vocabulary) and self.vocabulary[k].startswith(u):
                w = self.vocabulary[k]
                k += 1
                if w in seen or len(w) > len(u) + 4:
                    continue
                seen.add(w)
                if self.within_rules:
                    p = sum(q * 0.5 ** (len(x) - len(t)) for x, q in self.typed(w).items() if x.startswith(t))
                else:
                    p = sum(q / 3 for x, q in self.typed(w).items() for cut in (0, 1, 2)
                            if (x[:-cut] if cut and len(x) > cut else x) == t)
                if p:
                    out[w] = p
        return out

    def likelihood(self, video, sources):
        words = self.words[video]
        m, k = len(words), len(sources)
        if self.within_rules:
            norm = self.length[video] ** k
        elif k > min(3, m):
            return 0.0
        else:
            norm = min(3, m) * math.prod(range(m - k + 1, m + 1))

        def assign(i, used):
            if i == k:
                return 1.0
            return sum(p * assign(i + 1, used | {w}) for w, p in sources[i].items() if w in words and w not in used)

        return assign(0, frozenset()) / norm

    def expected(self, queries):
        """Expected success@1, success@10 and MRR of the Bayes-optimal ranking."""
        s1 = s10 = rr = 0.0
        for video, text in queries:
            typed = text.split(" ")
            sources = [self.sources(t, i == len(typed) - 1) for i, t in enumerate(typed)]
            candidates = set().union(*(self.postings[w] for w in sources[-1]))
            score = {v: self.likelihood(v, sources) for v in candidates}
            mine = score.get(video, 0.0)
            if mine == 0.0:
                continue
            above = sum(s > mine * (1 + 1e-9) for s in score.values())
            ties = sum(abs(s - mine) <= mine * 1e-9 for s in score.values())
            s1 += 1 / ties if above == 0 else 0.0
            s10 += min(1.0, max(0.0, (10 - above) / ties))
            rr += sum(1 / (above + r) for r in range(1, ties + 1)) / ties
        n = len(queries)
        return 100 * s1 / n, 100 * s10 / n, rr / n
