"""Builds the wheel of the Python package morvane through CMake.

Debian 12 has no CMake build backend for setuptools, so build_ext below runs
CMake itself: a Release build of the SDK library, the host program, the
OBJ_Quenlo module and the extension, installed into a staging prefix laid
out as the package is:

    morvane/_core.*.so                  the extension (run path $ORIGIN/lib)
    morvane/bin/mhost                   the host program ($ORIGIN/../lib)
    morvane/lib/libmorvane.so.9         the SDK library, by its SONAME
    morvane/lib/mhost/libmhost_http.so  mhost edit's HTTP server
    morvane/lib/morvane/modules/*.so    the default module folder

Only these are copied into the wheel: the SDK's headers and CMake files are
for module authors, who install the SDK with cmake --install. CMAKE_ARGS
passes more options to CMake. MORVANE_CMAKE_BUILD_DIR names a CMake build
folder to use instead of a new one: a Release build of this tree (CI's) is
configured again with the options below, and only what they change is built.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version() -> str:
    """The version CMakeLists.txt gives the project (mhost --version)."""
    text = (ROOT / "CMakeLists.txt").read_text()
    found = re.search(r"project\(\w+ VERSION ([0-9.]+)", text)
    if not found:
        sys.exit("setup.py: no project(... VERSION ...) in CMakeLists.txt")
    return found.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        temp = Path(self.build_temp).resolve()
        stage = temp / "stage"
        build = Path(os.environ.get("MORVANE_CMAKE_BUILD_DIR") or temp / "cmake").resolve()
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
             "-DCMAKE_BUILD_TYPE=Release", "-DQUENLO_TESTS=OFF", "-DQUENLO_BENCH=OFF",
             "-DQUENLO_PYTHON=ON",
             f"-DPython3_EXECUTABLE={sys.executable}",
             "-DCMAKE_INSTALL_BINDIR=morvane/bin", "-DCMAKE_INSTALL_LIBDIR=morvane/lib",
             "-DMORVANE_PYTHON_INSTALL_DIR=.", *shlex.split(os.environ.get("CMAKE_ARGS", ""))],
            check=True)
        subprocess.run(["cmake", "--build", str(build)], check=True)
        shutil.rmtree(stage, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build), "--prefix", str(stage)], check=True,
                       stdout=subprocess.DEVNULL)

        staged = stage / "morvane"
        package = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        package.mkdir(parents=True, exist_ok=True)
        shutil.copy2(next(staged.glob("_core.*.so")), Path(self.get_ext_fullpath(ext.name)))
        (package / "bin").mkdir(exist_ok=True)
        shutil.copy2(staged / "bin" / "mhost", package / "bin" / "mhost")
        # The library once, under the name the loader looks for (a wheel
        # would turn each symbolic link into another copy).
        library = (staged / "lib" / "libmorvane.so").resolve()
        soname = next(p.name for p in (staged / "lib").glob("libmorvane.so.*")
                      if p.is_symlink() and p.resolve() == library)
        (package / "lib").mkdir(exist_ok=True)
        shutil.copy2(library, package / "lib" / soname)
        shutil.copytree(staged / "lib" / "morvane" / "modules", package / "lib" / "morvane" / "modules",
                        dirs_exist_ok=True)
        shutil.copytree(staged / "lib" / "mhost", package / "lib" / "mhost", dirs_exist_ok=True)


setup(
    version=project_version(),
    ext_modules=[Extension("morvane._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    # Out of the way of build/, the CMake build folder of the README.
    options={"build": {"build_base": "build-wheel"}},
)
