"""The binding itself: declarations against kelvo.h, finding the library,
installing the package offline. No units are involved."""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from kelvo import raw
from simulator import required_file

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
HEADER = os.path.join(PACKAGE_ROOT, os.pardir, "include", "kelvo.h")

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
                          text=True, timeout=60)


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

    def test_library_next_to_the_package_is_found(self):
        with tempfile.TemporaryDirectory() as root:
            shutil.copytree(os.path.join(PACKAGE_ROOT, "kelvo"), os.path.join(root, "kelvo"))
            inside = os.path.join(root, "kelvo", "libkelvo.so")
            shutil.copy(required_file("KELVO_LIBRARY"), inside)
            result = run_python("import kelvo; print(kelvo.library_version().library_date);"
                                "print(kelvo.raw.lib._name)", PYTHONPATH=root)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout.split("\n")[1], inside)


class PackagingTest(unittest.TestCase):
    def test_pip_installs_without_network(self):
        with tempfile.TemporaryDirectory() as target:
            result = subprocess.run(
                [sys.executable, "-m", "pip", "install", "--no-index", "--no-build-isolation",
                 "--no-cache-dir", "--disable-pip-version-check", "--quiet", "--target",
                 target, PACKAGE_ROOT],
                capture_output=True, text=True, timeout=300)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertTrue(os.path.isfile(os.path.join(target, "kelvo", "py.typed")))
            self.assertTrue(os.path.isdir(os.path.join(target, "kelvo-1.0.0.dist-info")))
            result = run_python("import kelvo; print(kelvo.__file__)", PYTHONPATH=target)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(result.stdout.startswith(target), result.stdout)


if __name__ == "__main__":
    unittest.main()
