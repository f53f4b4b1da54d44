"""Build the native engine ``quorvane._orrin32`` in place.

Configures and builds the CMake project into ``build/inplace`` and copies the compiled module
next to ``src/quorvane/__init__.py``, so that ``PYTHONPATH=src python -c "import
quorvane._orrin32"`` works without installing the package. Needs cmake, a C++17 compiler and
nanobind importable by the running interpreter (``pip install nanobind``).
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / "build" / "inplace"
PACKAGE_DIR = ROOT / "src" / "quorvane"


def _run(cmd: list[str]) -> None:
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, cwd=ROOT)


def _built_module() -> Path:
    suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
    found = sorted(BUILD_DIR.rglob(f"_orrin32{suffix}"))
    if not found:
        raise SystemExit(f"build finished but no _orrin32{suffix} was found under {BUILD_DIR}")
    return found[0]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-type", default="Release", help="CMake build type")
    parser.add_argument("--jobs", type=int, default=2, help="parallel compile jobs")
    args = parser.parse_args(argv)

    try:
        import nanobind  # noqa: F401
    except ImportError:
        print("nanobind is missing: run `python -m pip install nanobind` first", file=sys.stderr)
        return 1
    if shutil.which("cmake") is None:
        print("cmake is missing: install it (e.g. `python -m pip install cmake`)", file=sys.stderr)
        return 1

    _run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(BUILD_DIR),
            f"-DCMAKE_BUILD_TYPE={args.build_type}",
            f"-DPython_EXECUTABLE={sys.executable}",
        ]
    )
    _run(["cmake", "--build", str(BUILD_DIR), "--parallel", str(args.jobs)])
    module = _built_module()
    target = PACKAGE_DIR / module.name
    shutil.copy2(module, target)
    print(f"installed {target.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
