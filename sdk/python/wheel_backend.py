"""The package's build backend: a wheel of brindle_server (and, for `pip install -e`, one that
points at this folder), made with the standard library alone. Its name and version are
pyproject.toml's."""

import base64
import hashlib
import os
import pathlib
import tomllib
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
PACKAGE = "brindle_server"


def _project():
    with open(HERE / "pyproject.toml", "rb") as file:
        return tomllib.load(file)["project"]


def _names():
    project = _project()
    return project["name"].replace("-", "_"), project["version"], project


def _metadata(project):
    return (f"Metadata-Version: 2.1\nName: {project['name']}\nVersion: {project['version']}\n"
            f"Summary: {project['description']}\nRequires-Python: {project['requires-python']}\n")


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _write_wheel(directory, files):
    """files: (name in the wheel, bytes). Returns the wheel's file name."""
    distribution, version, project = _names()
    info = f"{distribution}-{version}.dist-info"
    files = list(files) + [
        (f"{info}/METADATA", _metadata(project).encode()),
        (f"{info}/WHEEL", b"Wheel-Version: 1.0\nGenerator: wheel_backend\nRoot-Is-Purelib: true\nTag: py3-none-any\n"),
    ]
    wheel_name = f"{distribution}-{version}-py3-none-any.whl"
    record = "".join(_record_line(name, data) for name, data in files) + f"{info}/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            wheel.writestr(name, data)
        wheel.writestr(f"{info}/RECORD", record)
    return wheel_name


def _sources():
    for path in sorted((HERE / PACKAGE).rglob("*.py")):
        yield path.relative_to(HERE).as_posix(), path.read_bytes()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _sources())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(f"{PACKAGE}.pth", f"{HERE}\n".encode())])
