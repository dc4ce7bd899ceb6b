"""The binding itself: declarations against kelvo.h, finding the library,
the wheel installed offline with its model table written from
kelvo_models.h. No units are involved."""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from kelvo import _model_header, raw
from support import required_file, wheel_python

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
SOURCE_ROOT = os.path.dirname(os.path.dirname(PACKAGE_ROOT))
HEADER = os.path.join(SOURCE_ROOT, "library", "include", "kelvo.h")

C_TYPES = {
    "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "uint16_t": ctypes.c_uint16,
    "uint8_t": ctypes.c_uint8, "KELVO_HANDLE": ctypes.c_void_p,
    "KelvoDeviceSummary": raw.DeviceSummary, "KelvoVersionInfo": raw.VersionInfo,
}


def ctype_of(declaration):
    """The ctypes type of a C parameter or result type such as 'const uint8_t* ports'."""
    match = re.fullmatch(r"(?:const\s+)?(\w+)\s*(\*?)\s*\w*", declaration.strip())
    base, pointer = match.group(1), match.group(2)
    if base == "char" and pointer:
        return ctypes.c_char_p
    return ctypes.POINTER(C_TYPES[base]) if pointer else C_TYPES[base]


def run_python(code, **env):
    environment = dict(os.environ, PYTHONPATH=env.pop("PYTHONPATH", PACKAGE_ROOT),
                       PYTHONDONTWRITEBYTECODE="1")
    environment.pop("KELVO_LIBRARY", None)
    environment.update(env)
    return subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True,
                          text=True, timeout=60, cwd=tempfile.gettempdir())


class DeclarationTest(unittest.TestCase):
    def test_declarations_match_the_header(self):
        if not os.path.isfile(HEADER):
            self.skipTest("include/kelvo.h is not beside the package")
        with open(HEADER, encoding="ascii") as f:
            text = f.read()
        prototypes = re.findall(r"KELVO_API\s+(\w+)\s+KELVO_CALL\s+(\w+)\s*\(([^)]*)\);", text)
        self.assertEqual(len(prototypes), 54)
        self.assertEqual({name for _, name, _ in prototypes}, set(raw.PROTOTYPES))

        lib = raw.load(required_file("KELVO_LIBRARY"))
        for result, name, params in prototypes:
            function = getattr(lib, name)
            expected = [] if params.strip() == "void" else [ctype_of(p) for p in params.split(",")]
            self.assertEqual(function.argtypes, expected, name)
            self.assertIs(function.restype, ctype_of(result), name)
            self.assertIs(getattr(raw, name), function)
        # The handle must come back whole on 64-bit Python.
        self.assertIs(lib.Kelvo_Open.restype, ctypes.c_void_p)
        self.assertIs(lib.Kelvo_MemSampleStatusAIO.restype, ctypes.c_uint8)


class LoadingTest(unittest.TestCase):
    def test_import_needs_no_library_and_errors_name_what_was_tried(self):
        result = run_python("import kelvo; print(kelvo.raw.loaded())")
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "False"), result.stderr)

        missing = "/nonexistent/dir/libkelvo.so"
        result = run_python("import kelvo; kelvo.units()", KELVO_LIBRARY=missing)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("LibraryNotFoundError", result.stderr)
        self.assertIn(missing, result.stderr)
        self.assertIn(f"{raw.python_bits()}-bit Python", result.stderr)

        not_a_library = os.path.abspath(__file__)
        result = run_python("from kelvo import raw; raw.lib", KELVO_LIBRARY=not_a_library)
        self.assertIn(f"{not_a_library}: ", result.stderr)
        self.assertNotIn("no such file", result.stderr)  # the loader's own reason

    def test_windows_dll_of_the_python_s_width_comes_first(self):
        for bits, mine, other in ((64, "x64", "x86"), (32, "x86", "x64")):
            order = raw.search_order(True, bits, os.path.join("C:", "py", "kelvo"))
            self.assertEqual(order[0], os.path.join("C:", "py", "kelvo", mine, "KelvoDLL.dll"))
            self.assertFalse(any(os.sep + other + os.sep in path for path in order))
            hint = raw.bitness_hint(True, bits)
            self.assertIn("x86\\KelvoDLL.dll (32-bit)", hint)
            self.assertIn("x64\\KelvoDLL.dll (64-bit)", hint)
            self.assertIn(f"{bits}-bit Python needs the {mine} one", hint)

    def test_library_next_to_the_package_is_found(self):
        with tempfile.TemporaryDirectory() as root:
            shutil.copytree(os.path.join(PACKAGE_ROOT, "kelvo"), os.path.join(root, "kelvo"))
            with open(os.path.join(root, "kelvo", "_models.py"), "w", encoding="ascii") as f:
                f.write(_model_header.module_text(_model_header.HEADER_IN_TREE))  # as built
            inside = os.path.join(root, "kelvo", "libkelvo.so")
            shutil.copy(required_file("KELVO_LIBRARY"), inside)
            result = run_python("import kelvo; print(kelvo.library_version().library_date);"
                                "print(kelvo.raw.lib._name)", PYTHONPATH=root)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.split("\n")[1], inside)


class PackagingTest(unittest.TestCase):
    def test_wheel_carries_the_library_and_installs_offline(self):
        with open(os.path.join(SOURCE_ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
            version = re.search(r"project\(kelvo VERSION ([0-9.]+)", f.read()).group(1)
        pip = ["-m", "pip", "--disable-pip-version-check", "--no-cache-dir"]
        with tempfile.TemporaryDirectory() as work:
            dist, venv = os.path.join(work, "dist"), os.path.join(work, "venv")
            built = subprocess.run(
                [wheel_python(), *pip, "wheel", "--no-index", "--no-build-isolation",
                 "--no-deps", "-q", "-w", dist, PACKAGE_ROOT], cwd=work,
                env=dict(os.environ, KELVO_WHEEL_LIBRARY=required_file("KELVO_LIBRARY")),
                capture_output=True, text=True, timeout=300)
            self.assertEqual(built.returncode, 0, built.stdout + built.stderr)
            wheels = os.listdir(dist)
            self.assertEqual(len(wheels), 1, wheels)
            self.assertRegex(wheels[0], rf"^kelvo-{re.escape(version)}-py3-none-linux_\w+\.whl$")

            subprocess.run([sys.executable, "-m", "venv", venv], check=True, timeout=300)
            python = os.path.join(venv, "bin", "python")
            installed = subprocess.run(
                [python, *pip, "install", "--no-index", "-q", os.path.join(dist, wheels[0])],
                capture_output=True, text=True, timeout=300)
            self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
            environment = {k: v for k, v in os.environ.items()
                           if k not in ("KELVO_LIBRARY", "PYTHONPATH")}
            result = subprocess.run(
                [python, "-c", "import kelvo, kelvo.testing; print(kelvo.library_version()); "
                               "print(kelvo.__version__); print(kelvo.raw.lib._name); "
                               "from kelvo import _models, models; "
                               "print(models.model(3), len(models.MODELS))"],
                cwd=work, env=environment, capture_output=True, text=True, timeout=60)
            self.assertEqual(result.returncode, 0, result.stderr)
            printed = result.stdout.splitlines()
            self.assertIn("library_version=(1, 0)", printed[0])
            self.assertEqual(printed[1], version)
            self.assertTrue(printed[2].startswith(venv), printed[2])
            # The model table was written from the header into the package.
            self.assertEqual(printed[3], "Model(code=3, name='KV-103', kind=3, total=2, "
                                         "inputs=1, outputs=1, bits=8) 20")
            shown = subprocess.run([python, *pip, "show", "kelvo"], env=environment,
                                   capture_output=True, text=True, timeout=60).stdout
            self.assertIn(f"Version: {version}", shown)
            self.assertIn("License: Proprietary", shown)


if __name__ == "__main__":
    unittest.main()
