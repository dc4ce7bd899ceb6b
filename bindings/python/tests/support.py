"""What the test modules share: required files named by the environment."""

import os
import subprocess
import sys



def required_file(variable: str) -> str:
    """The existing file named by an environment variable, or a clear error."""
    path = os.environ.get(variable, "")
    if not path or not os.path.isfile(path):
        raise RuntimeError(f"set {variable} to the path of an existing file (now {path!r})")
    return path


def wheel_python() -> str:
    """A Python that can build wheels offline: setuptools and wheel importable
    (Debian's python3-setuptools and python3-wheel)."""
    for candidate in (os.environ.get("KELVO_WHEEL_PYTHON", ""), sys.executable,
                      "/usr/bin/python3"):
        if candidate and os.path.isfile(candidate) and subprocess.run(
                [candidate, "-c", "import setuptools, wheel"],
                capture_output=True).returncode == 0:
            return candidate
    raise RuntimeError("no Python with setuptools and wheel: install python3-setuptools and "
                       "python3-wheel, or set KELVO_WHEEL_PYTHON")
