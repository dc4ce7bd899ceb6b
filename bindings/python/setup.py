"""Build steps that pyproject.toml cannot state: the version and the library.

The version is the library's own, the ``project(kelvo VERSION ...)`` of the
project's CMakeLists.txt (PKG-INFO when building from an sdist); it is also
written into the package as ``kelvo/_version.py``. The model table of
``library/include/kelvo_models.h`` goes into the package as
``kelvo/_models.py`` (a source checkout reads the header at import instead).

``KELVO_WHEEL_LIBRARY=path/to/libkelvo.so`` (or ``KelvoDLL.dll``) ships that
library inside the package and makes the wheel a platform wheel
(``py3-none-<platform>``: the binding itself is plain Python on ctypes).
CMake's ``kelvo_wheel`` target does this with the library it built.
"""

import atexit
import importlib.util
import os
import re
import shutil
import tempfile

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # no wheel package: sdists and legacy installs only
    bdist_wheel = None

HERE = os.path.dirname(os.path.abspath(__file__))
LIBRARY = os.environ.get("KELVO_WHEEL_LIBRARY", "")


def library_version():
    cmake = os.path.join(HERE, os.pardir, os.pardir, "CMakeLists.txt")
    if os.path.isfile(cmake):
        with open(cmake, encoding="utf-8") as f:
            found = re.search(r"project\(\s*kelvo\s+VERSION\s+([0-9.]+)", f.read())
        if found:
            return found.group(1)
    pkg_info = os.path.join(HERE, "PKG-INFO")
    if os.path.isfile(pkg_info):
        with open(pkg_info, encoding="utf-8") as f:
            found = re.search(r"^Version: (\S+)$", f.read(), re.MULTILINE)
        if found:
            return found.group(1)
    raise SystemExit("kelvo: no version: build from the Kelvo source tree (CMakeLists.txt)")


VERSION = library_version()


def model_table_module(target):
    """Writes ``target`` (kelvo/_models.py) from the project's kelvo_models.h,
    read by the package's own reader (loaded by path: the package itself
    is not imported here)."""
    spec = importlib.util.spec_from_file_location(
        "kelvo_model_header", os.path.join(HERE, "kelvo", "_model_header.py"))
    reader = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reader)
    if not os.path.isfile(reader.HEADER_IN_TREE):
        raise SystemExit("kelvo: no library/include/kelvo_models.h: build from the Kelvo "
                         "source tree")
    with open(target, "w", encoding="utf-8") as f:
        f.write(reader.module_text(reader.HEADER_IN_TREE))


class BuildPy(build_py):
    def run(self):
        super().run()
        package = os.path.join(self.build_lib, "kelvo")
        with open(os.path.join(package, "_version.py"), "w", encoding="utf-8") as f:
            f.write(f'version = "{VERSION}"\n')
        model_table_module(os.path.join(package, "_models.py"))
        if LIBRARY:
            if not os.path.isfile(LIBRARY):
                raise SystemExit(f"kelvo: KELVO_WHEEL_LIBRARY={LIBRARY}: no such file")
            # Under the name the binding looks for, whatever the build called
            # the file (libkelvo.so.1.0.26.1208, say).
            name = "KelvoDLL.dll" if LIBRARY.lower().endswith(".dll") else "libkelvo.so"
            shutil.copy2(LIBRARY, os.path.join(package, name))


class PlatformDistribution(Distribution):
    def has_ext_modules(self):
        return bool(LIBRARY)


commands = {"build_py": BuildPy}
if bdist_wheel is not None:

    class BdistWheel(bdist_wheel):
        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = not LIBRARY

        def get_tag(self):
            python, abi, platform = super().get_tag()
            return ("py3", "none", platform) if LIBRARY else (python, abi, platform)

    commands["bdist_wheel"] = BdistWheel

# Build in a fresh directory each time, never in the source tree: a build
# directory left over from a wheel with the library would slip the library
# into the next wheel built without it.
WORK = tempfile.mkdtemp(prefix="kelvo-build-")
atexit.register(shutil.rmtree, WORK, True)

setup(version=VERSION, cmdclass=commands, distclass=PlatformDistribution,
      options={"build": {"build_base": os.path.join(WORK, "build")},
               "egg_info": {"egg_base": WORK}})
