"""A compact, read-only trie index of search terms with typo-tolerant queries."""

# The extension first: where it refuses to load (a sub-interpreter), nothing
# else of the package has been imported.
from tessaloom._tessaloom import PrefixSearch

# isort: split
# After _tessaloom, so that a refused import names the module it starts from.
from tessaloom._native import build_index
from tessaloom.builder import IndexArrays, build_arrays
from tessaloom.persist import load, load_titled, save
from tessaloom.searching import Hit, search, search_many
from tessaloom.text import terms
from tessaloom.texts import build_texts
from tessaloom.titles import TitledHit, TitledIndex


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tessaloom")
    except metadata.PackageNotFoundError:  # imported from a tree that was never installed
        return "0+unknown"


def __getattr__(name: str) -> object:
    # The version is read from the package metadata when first asked for:
    # importing that machinery is a good part of the command line's start.
    if name == "__version__":
        version = globals()["__version__"] = _version()
        return version
    # PanicException is created on first need, by the native core, which
    # raises it; asking for it here creates it.
    if name == "PanicException":
        from tessaloom._native import panic_exception

        return panic_exception()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["PrefixSearch", "PanicException", "Hit", "search", "search_many", "IndexArrays", "build_arrays",
           "build_index", "build_texts", "terms", "save", "load", "load_titled", "TitledIndex", "TitledHit",
           "__version__"]
