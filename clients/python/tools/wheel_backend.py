"""The build backend of this package (PEP 517 and PEP 660), standard library only.

pip builds a package in an isolated environment into which it installs the backend named in
pyproject.toml, from the network. A lab machine often has none; this backend lives in the
source tree and needs nothing, so that ``pip install ./clients/python`` works offline. It
builds a pure-Python wheel of the `vuzaravarede` folder, an sdist, and an editable wheel (a
.pth file that points at this folder), with the metadata of pyproject.toml's [project] table.
"""

import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "vuzaravarede"
# Files of the source tree that go into the sdist besides the package.
SDIST_FILES = ["pyproject.toml", "README.md", "tools/wheel_backend.py"]


def _read_project():
    """The [project] table of pyproject.toml and its optional dependencies. Uses tomllib where
    the interpreter has it (3.11+); elsewhere reads the plain subset this file is written in:
    tables, and keys with a string or a one-line list of strings (no comment after a value)."""
    path = os.path.join(HERE, "pyproject.toml")
    try:
        import tomllib
    except ImportError:
        tomllib = None
    if tomllib is not None:
        with open(path, "rb") as f:
            project = tomllib.load(f)["project"]
        return project
    tables, table = {}, None
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            header = re.fullmatch(r"\[([\w.-]+)\]", line)
            if header:
                table = tables.setdefault(header.group(1), {})
                continue
            key, _, value = (part.strip() for part in line.partition("="))
            if table is None or not key:
                continue
            if value.startswith("["):
                table[key] = re.findall(r'"([^"]*)"', value)
            else:
                table[key] = value.strip('"')
    project = dict(tables.get("project", {}))
    extras = tables.get("project.optional-dependencies")
    if extras:
        project["optional-dependencies"] = extras
    return project


def _metadata():
    project = _read_project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project.get('description', '')}",
    ]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    for requirement in project.get("dependencies", []):
        lines.append(f"Requires-Dist: {requirement}")
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        for requirement in requirements:
            lines.append(f'Requires-Dist: {requirement}; extra == "{extra}"')
    text = "\n".join(lines) + "\n"
    readme = project.get("readme")
    if readme:
        with open(os.path.join(HERE, readme), encoding="utf-8") as f:
            text += "Description-Content-Type: text/markdown\n\n" + f.read()
    return project["name"], project["version"], text


def _dist_info(name, version):
    return f"{name}-{version}.dist-info"


def _dist_info_files(name, version):
    _, _, metadata = _metadata()
    wheel = ("Wheel-Version: 1.0\nGenerator: wheel_backend\nRoot-Is-Purelib: true\n"
             "Tag: py3-none-any\n")
    return {"METADATA": metadata.encode("utf-8"), "WHEEL": wheel.encode("ascii"),
            "top_level.txt": (PACKAGE + "\n").encode("ascii")}


def _package_files():
    """(path in the wheel, bytes) of every file of the package, in a fixed order."""
    files = []
    root = os.path.join(HERE, PACKAGE)
    for folder, dirs, names in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(names):
            if name.endswith((".py", ".typed")):
                full = os.path.join(folder, name)
                with open(full, "rb") as f:
                    files.append((os.path.relpath(full, HERE).replace(os.sep, "/"), f.read()))
    return files


def _write_wheel(directory, files):
    name, version, _ = _metadata()
    info = _dist_info(name, version)
    entries = list(files)
    entries += [(f"{info}/{k}", v) for k, v in _dist_info_files(name, version).items()]
    record = []
    for path, data in entries:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    entries.append((f"{info}/RECORD", ("\n".join(record) + "\n").encode("utf-8")))
    filename = f"{name.replace('-', '_')}-{version}-py3-none-any.whl"
    stamp = time.localtime(_source_date())[:6]
    with zipfile.ZipFile(os.path.join(directory, filename), "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in entries:
            entry = zipfile.ZipInfo(path, stamp)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return filename


def _source_date():
    # Reproducible archives where the build asks for it; zip cannot hold dates before 1980.
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", time.time())), 315532800)


# --- PEP 517 ----------------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    name, version, _ = _metadata()
    info = _dist_info(name, version)
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    for filename, data in _dist_info_files(name, version).items():
        with open(os.path.join(metadata_directory, info, filename), "wb") as f:
            f.write(data)
    return info


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel whose only content is a .pth file that puts this source folder on the path."""
    pth = (HERE + "\n").encode("utf-8")
    return _write_wheel(wheel_directory, [(f"__editable__.{PACKAGE}.pth", pth)])


def build_sdist(sdist_directory, config_settings=None):
    name, version, metadata = _metadata()
    base = f"{name}-{version}"
    filename = f"{base}.tar.gz"
    members = [(path, None) for path in SDIST_FILES] + _package_files()
    members.append(("PKG-INFO", metadata.encode("utf-8")))
    path = os.path.join(sdist_directory, filename)
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for path, data in members:
            if data is None:
                with open(os.path.join(HERE, path), "rb") as f:
                    data = f.read()
            entry = tarfile.TarInfo(f"{base}/{path}")
            entry.size = len(data)
            entry.mtime = _source_date()
            entry.mode = 0o644
            tar.addfile(entry, io.BytesIO(data))
    return filename
