"""A compact, read-only trie index of search terms with typo-tolerant queries."""

from importlib import metadata as _metadata

from tessaloom._tessaloom import PrefixSearch
from tessaloom.builder import IndexArrays, build_arrays
from tessaloom.persist import load, save
from tessaloom.text import terms

try:
    __version__ = _metadata.version("tessaloom")
except _metadata.PackageNotFoundError:  # imported from a tree that was never installed
    __version__ = "0+unknown"

__all__ = ["PrefixSearch", "IndexArrays", "build_arrays", "terms", "save", "load", "__version__"]
