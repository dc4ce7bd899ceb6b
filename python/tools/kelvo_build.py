"""Build backend of the kelvo package (PEP 517 and PEP 660), standard library only.

It needs nothing beyond Python itself, so ``pip install --no-index ./python``
works offline, with or without build isolation. It packs the ``kelvo``
directory as it stands: a ``libkelvo.so`` or ``KelvoDLL.dll`` copied into
``kelvo/`` before the build is shipped in the wheel, and the wheel is then
tagged for this platform instead of ``any``.
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile
from typing import Dict, List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "kelvo"
LIBRARIES = ("libkelvo.so", "KelvoDLL.dll")
ZIP_DATE = (1980, 1, 1, 0, 0, 0)  # fixed, so that a rebuild gives the same bytes
SDIST_PARTS = ("pyproject.toml", "README.md", "CMakeLists.txt", PACKAGE, "tools", "tests",
               "examples")


def _project() -> Dict[str, str]:
    """The simple string keys of pyproject.toml's [project] table."""
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    table = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', table, re.MULTILINE))


def _metadata() -> str:
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project.get('description', '')}",
        f"Requires-Python: {project.get('requires-python', '>=3')}",
        "Description-Content-Type: text/markdown",
        "",
    ]
    readme = os.path.join(ROOT, project.get("readme", "README.md"))
    body = open(readme, encoding="utf-8").read() if os.path.exists(readme) else ""
    return "\n".join(lines) + "\n" + body


def _package_files() -> List[Tuple[str, str]]:
    """(path in the wheel, path on disk) for every file of the package."""
    files = []
    for folder, dirs, names in os.walk(os.path.join(ROOT, PACKAGE)):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            if name.endswith((".pyc", ".pyo")):
                continue
            disk = os.path.join(folder, name)
            files.append((os.path.relpath(disk, ROOT).replace(os.sep, "/"), disk))
    return files


def _tag(files: List[Tuple[str, str]]) -> str:
    if any(os.path.basename(arc) in LIBRARIES for arc, _ in files):
        return "py3-none-" + re.sub(r"[^\w]", "_", sysconfig.get_platform())
    return "py3-none-any"


def _names() -> Tuple[str, str]:
    project = _project()
    return re.sub(r"[-_.]+", "_", project["name"]), project["version"]


class _Wheel:
    def __init__(self, path: str) -> None:
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.record: List[str] = []

    def add(self, arcname: str, data: bytes, executable: bool = False) -> None:
        info = zipfile.ZipInfo(arcname, ZIP_DATE)
        info.external_attr = (0o755 if executable else 0o644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        self.record.append(f"{arcname},sha256={digest.decode()},{len(data)}")

    def close(self, dist_info: str) -> None:
        record = f"{dist_info}/RECORD"
        self.record.append(f"{record},,")
        info = zipfile.ZipInfo(record, ZIP_DATE)
        info.external_attr = 0o644 << 16
        self.zip.writestr(info, "\n".join(self.record) + "\n")
        self.zip.close()


def _dist_info(wheel: _Wheel, tag: str) -> str:
    name, version = _names()
    dist_info = f"{name}-{version}.dist-info"
    wheel.add(f"{dist_info}/METADATA", _metadata().encode("utf-8"))
    wheel_file = (f"Wheel-Version: 1.0\nGenerator: kelvo_build\n"
                  f"Root-Is-Purelib: {'true' if tag.endswith('-any') else 'false'}\nTag: {tag}\n")
    wheel.add(f"{dist_info}/WHEEL", wheel_file.encode())
    wheel.add(f"{dist_info}/top_level.txt", f"{PACKAGE}\n".encode())
    return dist_info


def _build(wheel_directory: str, editable: bool) -> str:
    files = _package_files()
    tag = "py3-none-any" if editable else _tag(files)
    name, version = _names()
    filename = f"{name}-{version}-{tag}.whl"
    wheel = _Wheel(os.path.join(wheel_directory, filename))
    if editable:
        # A path entry to the source tree: edits take effect without reinstalling.
        wheel.add(f"_{name}_editable.pth", (ROOT + "\n").encode())
    else:
        for arcname, disk in files:
            with open(disk, "rb") as f:
                wheel.add(arcname, f.read(), executable=os.access(disk, os.X_OK)
                          and arcname.endswith(LIBRARIES))
    wheel.close(_dist_info(wheel, tag))
    return filename


# -- PEP 517 / PEP 660 hooks ----------------------------------------------------


def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: Optional[dict] = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: Optional[dict] = None) -> List[str]:
    return []


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    return _build(wheel_directory, editable=False)


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    return _build(wheel_directory, editable=True)


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    name, version = _names()
    base = f"{name}-{version}"
    filename = f"{base}.tar.gz"

    def clean(info: tarfile.TarInfo) -> Optional[tarfile.TarInfo]:
        if "__pycache__" in info.name or info.name.endswith(".pyc"):
            return None
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mtime = 0
        return info

    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz") as tar:
        for part in SDIST_PARTS:
            path = os.path.join(ROOT, part)
            if os.path.exists(path):
                tar.add(path, arcname=f"{base}/{part}", filter=clean)
        pkg_info = _metadata().encode("utf-8")
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(pkg_info)
        tar.addfile(info, io.BytesIO(pkg_info))
    return filename
