"""Real catalogues for the search benchmark, read from what Debian installs:
nothing in them was written by this project.

- ``manpages``: the one-line description of every installed manual page
  (``man -k .``), the page's name and its description as the text;
- ``packages``: every package Debian's archive lists (``apt-cache
  dumpavail``), its name and the first line of its description;
- ``pci``: every device of the PCI ID list (package ``pci.ids``), its
  vendor's name and its own. The search benchmark holds it out: the ranking
  was not tuned on it.

Each is a list of (id, text) with ids 0, 1, ... and distinct texts, in the
order the source gives them. ``setup()`` installs what they need (the
manual pages and man-db, and runs ``mandb`` and ``apt-get update`` when
their lists are empty); it needs root or sudo, as the project's other
set-up scripts do.
"""

from __future__ import annotations

import os
import re
import subprocess

_PACKAGES = ["man-db", "manpages", "manpages-dev", "pci.ids"]
_PCI_IDS = "/usr/share/misc/pci.ids"
_MAN_LINE = re.compile(r"^(\S+(?:, \S+)*) \(([^)]*)\)\s+- (.*)$")


def _sudo() -> list[str]:
    return [] if os.geteuid() == 0 else ["sudo"]


def _run(cmd: list[str]) -> str:
    return subprocess.run(cmd, check=True, capture_output=True, text=True, errors="replace").stdout


def setup() -> None:
    """Install and index what the catalogues read, where it is missing."""
    missing = [p for p in _PACKAGES if subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout != "install ok installed"]
    if missing or not _run(["apt-cache", "dumpavail"]).strip():
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run([*_sudo(), "apt-get", "update", "-qq"], check=True, env=env)
        if missing:
            subprocess.run([*_sudo(), "apt-get", "install", "-y", "-qq", *missing], check=True, env=env,
                           stdout=subprocess.DEVNULL)
    if subprocess.run(["man", "-k", "."], capture_output=True).returncode != 0:
        subprocess.run([*_sudo(), "mandb", "-q"], check=True)


def _distinct(texts) -> list[tuple[int, str]]:
    seen: set[str] = set()
    out = []
    for text in texts:
        if text not in seen:
            seen.add(text)
            out.append((len(out), text))
    return out


def manpages() -> list[tuple[int, str]]:
    texts = []
    for line in _run(["man", "-k", "."]).splitlines():
        m = _MAN_LINE.match(line)
        # Pages without a description say "(unknown subject)": nothing to find.
        if m and m.group(3) != "(unknown subject)":
            texts.append(f"{m.group(1)} {m.group(3)}")
    return _distinct(texts)


def packages() -> list[tuple[int, str]]:
    texts = []
    name = None
    for line in _run(["apt-cache", "dumpavail"]).splitlines():
        if line.startswith("Package: "):
            name = line[9:].strip()
        elif line.startswith("Description: ") and name is not None:
            texts.append(f"{name} {line[13:].strip()}")
            name = None
    return _distinct(texts)


def pci() -> list[tuple[int, str]]:
    texts = []
    vendor = None
    with open(_PCI_IDS, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("C "):  # the device classes close the list
                break
            if line and line[0] in "0123456789abcdef" and line[4:6] == "  ":
                vendor = line[6:]
            elif line.startswith("\t") and not line.startswith("\t\t") and vendor is not None:
                texts.append(f"{vendor} {line[7:]}")
    return _distinct(texts)


CATALOGUES = {"manpages": manpages, "packages": packages, "pci": pci}
HELD_OUT = {"pci"}
