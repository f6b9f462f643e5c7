"""Builds velmo with the project's own CMake build for the interpreter running this file.

The metadata lives in pyproject.toml, except what python_versions.txt and
machines.txt decide (requires-python, the classifiers, the wheels that the long
description names) and the licence, whose form depends on
the setuptools at hand (licence_metadata). Building runs CMake in setuptools'
build folder under build-pip/ (tests and benchmarks off), then installs the CMake
project's `module` component, which holds the module and its stubs, where
setuptools collects the wheel. VELMO_CMAKE_ARGS adds arguments to the
configure step, e.g. VELMO_CMAKE_ARGS=-DCMAKE_BUILD_TYPE=RelWithDebInfo, for
that build only.
"""

from __future__ import annotations

import gzip
import os
import re
import shlex
import shutil
import sys
import sysconfig
import tarfile
from pathlib import Path

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install
from setuptools.command.sdist import sdist

ROOT = Path(__file__).resolve().parent

# The supported CPython versions, oldest first, from the project's one list.
VERSIONS = [line for line in (ROOT / "python_versions.txt").read_text().split()
            if re.fullmatch(r"\d+\.\d+", line)]
OLDEST, NEWEST = VERSIONS[0], VERSIONS[-1]
MAJOR, NEWEST_MINOR = (int(part) for part in NEWEST.split("."))
SUPPORTED = "CPython " + " and ".join(filter(None, (", ".join(VERSIONS[:-1]), NEWEST)))

# The wheels, from the test matrix's rows that have a wheel policy
# (machines.txt): the long description names them where DESCRIPTION.md
# leaves its mark, so that the index page and the matrix cannot disagree.
WHEEL_MARK = "<!-- the wheels of machines.txt -->"
WHEELS = [row.split()[:2] for row in (ROOT / "machines.txt").read_text().splitlines()
          if len(row.split()) == 5 and not row.startswith("#") and row.split()[1] != "-"]


def long_description() -> str:
    """DESCRIPTION.md with its mark replaced by a line per wheel's machine."""
    lines = []
    for machine, policy in WHEELS:
        glibc = ".".join(policy.split("_")[1:3])
        lines.append(f"- Linux {machine}, glibc {glibc} or newer (`{policy}`)")
    text = (ROOT / "DESCRIPTION.md").read_text()
    assert WHEEL_MARK in text, f"DESCRIPTION.md has lost its mark {WHEEL_MARK}"
    return text.replace(WHEEL_MARK, "\n".join(lines))


# The licence, as an SPDX expression, and the files that hold its text.
LICENCE = "MIT"
LICENCE_FILES = ["LICENSE"]


def licence_metadata() -> dict[str, object]:
    """The licence in the newest form that this setuptools writes.

    setuptools 77 and later write PEP 639's License-Expression and License-File
    fields (and deprecate the older forms); older ones, such as Debian 12's 66
    and the 65 and 67 that the pyenv interpreters carry, know only the free-text
    License field and reject an SPDX string in pyproject.toml, which is why the
    licence is dynamic there and set here.
    """
    major = int(re.match(r"\d+", setuptools.__version__).group())  # type: ignore[union-attr]
    if major >= 77:
        return {"license_expression": LICENCE, "license_files": LICENCE_FILES}
    return {"license": LICENCE, "license_files": LICENCE_FILES}


def refusal() -> str | None:
    """Why velmo cannot be built for this interpreter, or None when it can."""
    version = "%d.%d" % sys.version_info[:2]
    implementation = {"cpython": "CPython"}.get(sys.implementation.name, sys.implementation.name)
    if implementation != "CPython" or version not in VERSIONS:
        return f"velmo supports {SUPPORTED}; this is {implementation} {version}"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        return (f"velmo needs the standard build of CPython {version}, with the GIL;"
                " this one is free-threaded")
    return None


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[])


class BuildWithCMake(build_ext):
    def build_extension(self, ext: Extension) -> None:
        # pip has already refused other versions (requires-python); this is for
        # --ignore-requires-python, a direct setup.py run and a free-threaded
        # build, before anything is compiled.
        if (reason := refusal()) is not None:
            raise SystemExit(reason)
        cmake = shutil.which("cmake")
        if cmake is None:
            raise SystemExit("velmo: building needs CMake 3.18 or newer on PATH")
        work = Path(self.build_temp).resolve()
        if getattr(self, "editable_mode", False):
            # An editable install gets a new temporary build_temp each time;
            # the folder of a regular build keeps its rebuilds incremental.
            work = ROOT / "build-pip" / f"temp.{sysconfig.get_platform()}-{sys.implementation.cache_tag}"
        build_dir = work / "cmake"
        stage = work / "stage"
        # The module's directory in the wheel, or the source folder for --inplace.
        target = Path(self.get_ext_fullpath(ext.name)).resolve()

        configure = [
            cmake, "-S", str(ROOT), "-B", str(build_dir),
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DVELMO_BUILD_TESTS=OFF",
            "-DVELMO_BUILD_BENCHMARKS=OFF",
            "-DVELMO_INSTALL_DIR=.",
            *shlex.split(os.environ.get("VELMO_CMAKE_ARGS", "")),
        ]
        # CMake keeps a -D setting in its cache for every later configure, so
        # a VELMO_CMAKE_ARGS given once would stick; other arguments than last
        # time get a fresh cache (the objects stay, and rebuild as needed).
        stamp = build_dir / "velmo-configure-args"
        if not stamp.is_file() or stamp.read_text() != "\n".join(configure):
            (build_dir / "CMakeCache.txt").unlink(missing_ok=True)
        self.spawn(configure)
        stamp.write_text("\n".join(configure))
        # --config: a multi-configuration generator (Visual Studio, on Windows)
        # would otherwise build Debug, against the interpreter's debug build.
        build = [cmake, "--build", str(build_dir), "--config", "Release", "--target", "velmo"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["--parallel", str(self.parallel or os.cpu_count() or 1)]
        self.spawn(build)
        # A fresh stage, so that nothing from an earlier build rides along.
        shutil.rmtree(stage, ignore_errors=True)
        self.spawn([cmake, "--install", str(build_dir), "--config", "Release", "--prefix", str(stage),
                    "--component", "module"])

        module = stage / target.name
        if not module.is_file():
            found = sorted(p.name for p in stage.iterdir())
            raise SystemExit(f"velmo: CMake installed {found}, not {target.name}")
        for path in sorted(stage.rglob("*")):
            # An in-place build only needs the module: the stub is already there.
            if path.is_dir() or (self.inplace and path != module):
                continue
            destination = target.parent / path.relative_to(stage)
            self.mkpath(str(destination.parent))
            self.copy_file(str(path), str(destination))


class InstallAnyLayout(install):
    """Debian's setuptools asks the install command for `install_layout` and
    `prefix_option`, options that only the distutils of Debian's own
    interpreters define; under any other (pyenv's, python.org's) it would fail
    with "AttributeError: install_layout". Left unset, they change nothing."""

    install_layout = None
    prefix_option = None


class ReproducibleSdist(sdist):
    """With SOURCE_DATE_EPOCH set, the .tar.gz is the same bytes on every run:
    members in name order with that time, no owner, modes 644 or 755, and a
    gzip header without a time or file name. Otherwise setuptools' own."""

    def make_archive(self, base_name: str, format: str, root_dir: str | None = None,  # noqa: A002
                     base_dir: str | None = None, owner: str | None = None, group: str | None = None) -> str:
        epoch = os.environ.get("SOURCE_DATE_EPOCH")
        if format != "gztar" or epoch is None or root_dir is not None or base_dir is None:
            return super().make_archive(base_name, format, root_dir, base_dir, owner, group)
        mtime = int(epoch)
        archive = base_name + ".tar.gz"
        self.mkpath(os.path.dirname(archive) or ".")
        paths = [base_dir, *sorted(str(p) for p in Path(base_dir).rglob("*"))]
        with open(archive, "wb") as raw, \
                gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=mtime) as compressed, \
                tarfile.open(fileobj=compressed, mode="w", format=tarfile.PAX_FORMAT) as tar:
            for path in paths:
                info = tar.gettarinfo(path)
                info.mtime = mtime
                info.uid = info.gid = 0
                info.uname = info.gname = ""
                info.mode = 0o755 if info.isdir() or info.mode & 0o100 else 0o644
                if info.isfile():
                    with open(path, "rb") as content:
                        tar.addfile(info, content)
                else:
                    tar.addfile(info)
        return archive


setup(
    long_description=long_description(),
    long_description_content_type="text/markdown",
    python_requires=f">={OLDEST},<{MAJOR}.{NEWEST_MINOR + 1}",
    classifiers=[
        "Operating System :: POSIX :: Linux",
        "Programming Language :: C++",
        "Programming Language :: Python :: 3",
        *(f"Programming Language :: Python :: {version}" for version in VERSIONS),
        "Programming Language :: Python :: 3 :: Only",
        "Programming Language :: Python :: Implementation :: CPython",
        "Typing :: Typed",
    ],
    ext_modules=[CMakeExtension("velmo")],
    # The module and its stubs come from CMake's install rule; setuptools'
    # package discovery would otherwise pick up the test folders.
    py_modules=[],
    packages=[],
    zip_safe=False,
    **licence_metadata(),
    cmdclass={"build_ext": BuildWithCMake, "install": InstallAnyLayout, "sdist": ReproducibleSdist},
    # Not build/: that is where the CMake build of the tests lives.
    options={"build": {"build_base": "build-pip"}},
)
