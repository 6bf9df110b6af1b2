"""``python -m tessaloom``: see ``tessaloom.cli``."""

from tessaloom.cli import run

if __name__ == "__main__":
    run()
