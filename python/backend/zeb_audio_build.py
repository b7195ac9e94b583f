"""Builds the package's wheel and source archive with the standard library
alone, so that `pip install` needs no download: the package is plain Python.
The name, version and summary come from pyproject.toml's [project] table."""
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "zeb_audio"
SDIST_PARTS = ["pyproject.toml", "backend", "zeb_audio", "examples", "tests"]


def _project():
    with open(os.path.join(HERE, "pyproject.toml"), encoding="utf-8") as source:
        text = source.read()
    table = text.split("[project]", 1)[1].split("\n[", 1)[0]
    return dict(re.findall(r'^([a-z-]+)\s*=\s*"([^"]*)"', table, re.M))


def _metadata(project):
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\nRequires-Python: %s\n"
            % (project["name"], project["version"], project.get("description", ""),
               project.get("requires-python", ">=3")))


def _sources():
    folder = os.path.join(HERE, PACKAGE)
    return sorted(name for name in os.listdir(folder) if name.endswith(".py"))


def _hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "sha256=%s,%d" % (digest, len(data))


def _write_wheel(directory, files):
    """files: archive name -> bytes; adds the dist-info and RECORD."""
    project = _project()
    stem = "%s-%s" % (PACKAGE, project["version"])
    info = stem + ".dist-info/"
    files[info + "METADATA"] = _metadata(project).encode()
    files[info + "WHEEL"] = b"Wheel-Version: 1.0\nGenerator: zeb_audio_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"
    record = "".join("%s,%s\n" % (name, _hash(data)) for name, data in files.items()) + info + "RECORD,,\n"
    files[info + "RECORD"] = record.encode()
    wheel_name = stem + "-py3-none-any.whl"
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files.items():
            wheel.writestr(name, data)
    return wheel_name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files = {}
    for name in _sources():
        with open(os.path.join(HERE, PACKAGE, name), "rb") as source:
            files["%s/%s" % (PACKAGE, name)] = source.read()
    return _write_wheel(wheel_directory, files)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    """A wheel whose .pth file puts this folder on the path: edits take effect at once."""
    return _write_wheel(wheel_directory, {PACKAGE + "_editable.pth": (HERE + "\n").encode()})


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    stem = "%s-%s" % (PACKAGE, project["version"])
    name = stem + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as archive:
        for part in SDIST_PARTS:
            path = os.path.join(HERE, part)
            if os.path.exists(path):
                archive.add(path, arcname="%s/%s" % (stem, part),
                            filter=lambda item: None if "__pycache__" in item.name else item)
        info = tarfile.TarInfo(stem + "/PKG-INFO")
        data = _metadata(project).encode()
        info.size = len(data)
        archive.addfile(info, io.BytesIO(data))
    return name
