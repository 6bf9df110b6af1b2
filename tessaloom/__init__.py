"""A compact, read-only trie index of search terms with typo-tolerant queries."""

from tessaloom._build import build_index
from tessaloom._tessaloom import PrefixSearch
from tessaloom.builder import IndexArrays, build_arrays

__all__ = ["PrefixSearch", "IndexArrays", "build_arrays", "build_index"]
