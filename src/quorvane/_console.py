"""The ``quorvane`` console script.

pip installs the script with the core package, but the command itself is built on the
``server`` extra (click, the service, its stores). Without that extra the script says which
extra to install, instead of ending in a traceback about a module the user never asked for.
"""

from __future__ import annotations

import sys

SERVER_EXTRA_HINT = "pip install 'quorvane[server]'"


def main() -> None:
    try:
        from .cli import main as command
    except ModuleNotFoundError as exc:
        # Only a missing outside module is a missing extra; a broken quorvane is a fault.
        if exc.name is None or exc.name.partition(".")[0] == "quorvane":
            raise
        sys.exit(
            f"quorvane: the command needs the server extra ({exc.name} is not installed).\n"
            f"Install it with: {SERVER_EXTRA_HINT}"
        )
    command()
