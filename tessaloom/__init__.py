"""A compact, read-only trie index of search terms with typo-tolerant queries."""

from tessaloom._tessaloom import PrefixSearch
# After _tessaloom, so that a refused import names the module it starts from.
from tessaloom._build import build_index  # noqa: I001
from tessaloom.builder import IndexArrays, build_arrays

__all__ = ["PrefixSearch", "IndexArrays", "build_arrays", "build_index"]
