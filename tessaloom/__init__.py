"""A compact, read-only trie index of search terms with typo-tolerant queries."""

# The extension first: where it refuses to load (a sub-interpreter), nothing
# else of the package has been imported.
from tessaloom._tessaloom import PrefixSearch
# After _tessaloom, so that a refused import names the module it starts from.
from tessaloom._build import build_index  # noqa: I001
from tessaloom.builder import IndexArrays, build_arrays
from tessaloom.persist import load, save
from tessaloom.text import terms


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tessaloom")
    except metadata.PackageNotFoundError:  # imported from a tree that was never installed
        return "0+unknown"


__version__ = _version()

__all__ = ["PrefixSearch", "IndexArrays", "build_arrays", "build_index", "terms", "save", "load", "__version__"]
