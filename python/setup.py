"""Packaging of dirov410. The metadata is in pyproject.toml; this file adds
the shared library to the wheel when DIROV410_WHEEL_LIBRARY names it
(scripts/wheel.sh does): the wheel is then a platform wheel with
libdirov410.so (dirov410.dll on Windows) beside the package's modules, which
the package loads first. Without it the package is pure Python and uses an
installed library."""

import os
import shutil
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

LIBRARY = os.environ.get("DIROV410_WHEEL_LIBRARY")
WINDOWS = bool(LIBRARY) and LIBRARY.lower().endswith(".dll")
TARGET = "dirov410.dll" if WINDOWS else "libdirov410.so"


class BuildWithLibrary(build_py):
    def run(self) -> None:
        super().run()
        if LIBRARY:
            if not Path(LIBRARY).is_file():
                sys.exit(f"DIROV410_WHEEL_LIBRARY: no such file: {LIBRARY}")
            # The file itself, under the name the loader looks for (symbolic
            # links, such as the soname's, do not survive in a wheel).
            shutil.copyfile(os.path.realpath(LIBRARY),
                            Path(self.build_lib) / "dirov410" / TARGET)


class LibraryDistribution(Distribution):
    def has_ext_modules(self) -> bool:
        # A wheel that carries a native library is tied to its platform.
        return bool(LIBRARY)


cmdclass = {"build_py": BuildWithLibrary}
try:
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):
        def get_tag(self):  # type: ignore[no-untyped-def]
            _, _, plat = super().get_tag()
            # ctypes, no extension module: any Python 3 on the library's
            # platform (the 64-bit DLL is cross-built here).
            return ("py3", "none", "win_amd64" if WINDOWS else plat) if LIBRARY else super().get_tag()

    cmdclass["bdist_wheel"] = PlatformWheel
except ImportError:
    pass

setup(cmdclass=cmdclass, distclass=LibraryDistribution)
