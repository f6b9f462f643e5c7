"""Checks velmo as users get it: installed by pip into a fresh virtual environment.

  install   copy the source tree; `python -m build` makes the sdist (what it
            holds) and the wheel from it (tag and contents); then in a new
            venv, README's routes: that wheel installed from a package index
            (`pip install velmo`), used from outside the tree and
            `pip uninstall`ed (nothing may stay behind); `pip install .` with
            the index (an isolated build) and offline (--no-build-isolation);
            the CMake route with VELMO_STRIP off (the module keeps its
            symbols), taken back by the `uninstall` target (nothing may stay
            behind), after which the folder refuses another interpreter. The
            index is a local one (file://) holding the build requirements and
            that wheel. The venv is left with the offline install for `types`.
  types     mypy and pyright check typed_usage.py against the stub installed
            in that venv, finding it the way they find any installed
            distribution's types.
  stub      the same checks of velmo.pyi in the source tree, beside the
            built module, and the example run with that module.
  stubtest  mypy's stubtest compares velmo.pyi with the built module; it runs
            under the module's own interpreter, since it imports the module.

Everything works offline: pip's build requirements come from the wheels that
CPython ships for its own tests (3.12 and later), else from --wheels when that
folder holds them (Debian's python3-setuptools-whl and python3-wheel-whl), from
the package index otherwise. `build` is Debian's python3-build, taken from
--tools. Exit status 77 means skipped.
"""

from __future__ import annotations

import argparse
import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

SKIPPED = 77
ALLOWLIST = Path(__file__).resolve().parent / "stubtest_allowlist.txt"
# Never copied into the test's source tree: build output and caches.
IGNORED = ("build", "build-*", "dist", "*.egg-info", "__pycache__", ".git", ".pytest_cache",
           ".hypothesis", "*.so", "compile_commands.json")


def run(*command: object, cwd: Path | None = None, env: dict[str, str] | None = None,
        capture: bool = False) -> str:
    args = [str(part) for part in command]
    print("+", " ".join(args), flush=True)
    result = subprocess.run(args, cwd=cwd, env=env, text=True,
                            stdout=subprocess.PIPE if capture else None)
    if result.returncode != 0:
        sys.exit(f"failed with status {result.returncode}: {' '.join(args)}")
    return result.stdout if capture else ""


def copy_sources(source: Path, destination: Path) -> None:
    """Copies what a fresh clone would hold, plus uncommitted work; without a
    checkout of its own (an unpacked sdist), the tree less build output."""
    try:
        top = subprocess.run(["git", "-C", str(source), "rev-parse", "--show-toplevel"],
                             check=True, capture_output=True, text=True).stdout.strip()
        if not Path(top).samefile(source):
            raise OSError(f"{source} is not a checkout's top")
        listed = subprocess.run(
            ["git", "-C", str(source), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
            check=True, capture_output=True, text=True).stdout.split("\0")
    except (OSError, subprocess.CalledProcessError):
        shutil.copytree(source, destination, ignore=shutil.ignore_patterns(*IGNORED), dirs_exist_ok=True)
        return
    for name in filter(None, listed):
        path = source / name
        if path.is_file():
            (destination / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(path, destination / name)


def run_refused(*command: object, cwd: Path, expected: str) -> None:
    """Runs a command that must fail and say `expected`."""
    args = [str(part) for part in command]
    print("+", " ".join(args), "(must fail)", flush=True)
    result = subprocess.run(args, cwd=cwd, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    # CMake wraps its messages' lines.
    if result.returncode == 0 or " ".join(expected.split()) not in " ".join(result.stdout.split()):
        sys.exit(f"{' '.join(args)} ended with status {result.returncode} without saying "
                 f"{expected!r}:\n{result.stdout}")


def venv_paths(python: Path) -> tuple[str, str]:
    """The venv interpreter's version (X.Y) and its platform-specific site-packages."""
    out = run(python, "-c", "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); "
              "print(sysconfig.get_path('platlib'))", capture=True).split("\n")
    return out[0], out[1]


def files_under(root: Path) -> set[str]:
    # pip's own bytecode comes and goes with its runs; it is not velmo's.
    return {str(p.relative_to(root)) for p in root.rglob("*")
            if p.is_file() and "__pycache__" not in p.parts}


def use_installed(python: Path, site_packages: str, example: Path) -> None:
    """Runs the typed example outside the source tree; the module must come from the venv."""
    with tempfile.TemporaryDirectory() as where:
        shutil.copy2(example, where)
        loaded = run(python, example.name, cwd=Path(where), capture=True).strip()
    if Path(loaded).parent != Path(site_packages):
        sys.exit(f"velmo was loaded from {loaded}, not from the venv's {site_packages}")


def check_sdist(sdist: Path) -> None:
    """What building and scripts/test.sh need is there; no build output.
    (tests/package/check_dist.py compares a release sdist with a whole clone.)"""
    names = {name.split("/", 1)[1] for name in tarfile.open(sdist).getnames() if "/" in name}
    needed = {"LICENSE", "CMakeLists.txt", "setup.py", "pyproject.toml", "velmo.pyi", "common/python_compat.h",
              "scripts/test.sh", "tests/CMakeLists.txt", "CHANGELOG.md", "SECURITY.md"}
    stray = sorted(n for n in names if n.split("/")[0].startswith("build") or n.endswith((".so", ".debug")))
    if not needed <= names or stray:
        sys.exit(f"sdist lacks {sorted(needed - names)} or holds {stray}")


def local_index(folder: Path, files: list[Path]) -> str:
    """A package index (PEP 503's simple layout, read through file://) that
    holds `files`; its URL for pip's --index-url."""
    projects: dict[str, list[Path]] = {}
    for file in files:
        projects.setdefault(file.name.split("-")[0].lower().replace("_", "-"), []).append(file)
    for project, held in projects.items():
        (folder / project).mkdir(parents=True)
        for file in held:
            shutil.copy2(file, folder / project / file.name)
        links = "".join(f'<a href="{file.name}">{file.name}</a>\n' for file in held)
        (folder / project / "index.html").write_text(f"<!DOCTYPE html><html><body>\n{links}</body></html>\n")
    links = "".join(f'<a href="{project}/">{project}</a>\n' for project in projects)
    (folder / "index.html").write_text(f"<!DOCTYPE html><html><body>\n{links}</body></html>\n")
    return folder.as_uri()


def has_symbols(module: Path) -> bool:
    """Whether the ELF module keeps its symbol table (section names live in
    .shstrtab, which stripping rewrites without it)."""
    return b"\0.symtab\0" in module.read_bytes()


def cmake_route(python: Path, source: Path, work: Path, before: set[str], venv: Path) -> None:
    """README's CMake commands with VELMO_STRIP off; the `uninstall` target
    leaves nothing behind; the folder refuses another interpreter."""
    build = work / "cmake-build"
    run("cmake", "-S", source, "-B", build, f"-DPython3_EXECUTABLE={python}", "-DVELMO_STRIP=OFF",
        "-DVELMO_BUILD_TESTS=OFF", "-DVELMO_BUILD_BENCHMARKS=OFF")
    run("cmake", "--build", build, "--target", "velmo")
    run("cmake", "--install", build)
    modules = [venv / name for name in files_under(venv) - before if name.endswith(".so")]
    if len(modules) != 1 or not has_symbols(modules[0]) or any(name.endswith(".debug") for name in files_under(venv)):
        sys.exit(f"with VELMO_STRIP off the module keeps its symbols, with no .debug file: {modules}")
    run("cmake", "--build", build, "--target", "uninstall")
    left = {str(p.relative_to(venv)) for p in venv.rglob("*velmo*")}
    if left or (files_under(venv) != before):
        sys.exit(f"the uninstall target left behind: {sorted(left | (files_under(venv) - before))}")
    run_refused("cmake", "-S", source, "-B", build, f"-DPython3_EXECUTABLE={sys.executable}", cwd=work,
                expected=f"is configured for {python}")


def build_tool(tools: Path, work: Path) -> Path | None:
    """A folder with Debian's `build` and what it imports, and nothing else from
    that folder: its setuptools must not shadow the venv's."""
    if not (tools / "build" / "__main__.py").is_file():
        return None
    folder = work / "build-tool"
    folder.mkdir()
    for name in ("build", "pep517", "pyproject_hooks", "packaging", "tomli"):
        if (tools / name).exists():
            (folder / name).symlink_to(tools / name)
    return folder


def refuses_unlisted_version(pip: list[object], python: Path, version: str, source: Path) -> None:
    """With python_versions.txt naming only versions on one side of this one,
    every way in refuses it before compiling: pip (requires-python), setup.py
    when pip is told to ignore that, and the build's search for Python."""
    trimmed = source.parent / "trimmed"
    shutil.copytree(source, trimmed, ignore=shutil.ignore_patterns(*IGNORED))
    listed = trimmed / "python_versions.txt"
    lines = listed.read_text().splitlines()
    versions = [line for line in lines if line[:1].isdigit()]
    key = [int(part) for part in version.split(".")]
    newer = [v for v in versions if [int(part) for part in v.split(".")] > key]
    kept = newer or [v for v in versions if v != version]
    listed.write_text("\n".join(line for line in lines if not line[:1].isdigit() or line in kept) + "\n")
    supported = "velmo supports CPython " + " and ".join(filter(None, (", ".join(kept[:-1]), kept[-1])))

    run_refused(*pip, "install", "--no-build-isolation", ".", cwd=trimmed, expected="requires a different Python")
    run_refused(*pip, "install", "--no-build-isolation", "--ignore-requires-python", ".", cwd=trimmed,
                expected=supported)
    if (configured := sorted(str(p) for p in trimmed.rglob("CMakeCache.txt"))):
        sys.exit(f"refused, yet CMake ran: {configured}")
    run_refused("cmake", f"-DPython3_EXECUTABLE={python}", "-P", "cmake/FindVelmoPython.cmake", cwd=trimmed,
                expected=supported)


def check_wheel(wheel: Path, version: str) -> None:
    tag = "cp" + version.replace(".", "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    if not wheel.name.endswith(f"-{tag}-{tag}-{platform}.whl"):
        sys.exit(f"wheel {wheel.name} lacks the tag {tag}-{tag}-{platform}")
    names = zipfile.ZipFile(wheel).namelist()
    shipped = sorted(n for n in names if ".dist-info/" not in n)
    module = [n for n in shipped if n.startswith("velmo.") and n.endswith(".so")]
    if len(module) != 1 or shipped != sorted(module + ["velmo.pyi", "velmo-stubs/__init__.pyi"]):
        sys.exit(f"wheel holds {shipped}; expected the module, velmo.pyi and velmo-stubs/__init__.pyi")
    metadata = zipfile.ZipFile(wheel).read(next(n for n in names if n.endswith(".dist-info/METADATA")))
    for line in ("Requires-Python: >=", f"Classifier: Programming Language :: Python :: {version}\n"):
        if line not in metadata.decode():
            sys.exit(f"the wheel's metadata lacks {line!r}")


def build_requirements(wheels: Path | None) -> Path | None:
    """The first folder that holds both setuptools and wheel wheels: --wheels
    (Debian's, which docs/releasing.md names), else those that CPython ships for its own
    tests (3.12 and later).

    Debian's setuptools asks for options of Debian's own distutils, which
    setup.py gives it under any interpreter. 3.10's and 3.11's venvs hold a
    setuptools already, which pip keeps.
    """
    tests = Path(sysconfig.get_path("stdlib")) / "test"
    for folder in (wheels, tests / "wheeldata", tests):
        if folder and any(folder.glob("setuptools-*.whl")) and any(folder.glob("wheel-*.whl")):
            return folder
    return None


def install(args: argparse.Namespace) -> int:
    # Only the venv may provide velmo (and the venv's own interpreter its stdlib).
    for name in ("PYTHONPATH", "PYTHONHOME"):
        os.environ.pop(name, None)
    work: Path = args.work
    shutil.rmtree(work, ignore_errors=True)
    source = work / "source"
    source.mkdir(parents=True)
    copy_sources(args.source, source)

    venv = work / "venv"
    run(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    version, site_packages = venv_paths(python)
    pip = [python, "-m", "pip", "--disable-pip-version-check", "--no-input"]
    wheels = build_requirements(args.wheels)
    if wheels:
        run(*pip, "install", "--no-index", "--find-links", wheels, "setuptools", "wheel")
    else:
        run(*pip, "install", "setuptools", "wheel")
    before = files_under(venv)

    tool = build_tool(args.tools, work)
    if tool:
        # The sdist, then the wheel built from it in a folder of its own.
        dist = work / "dist"
        run(python, "-m", "build", "--no-isolation", "--outdir", dist, source,
            env=dict(os.environ, PYTHONPATH=str(tool)))
        sdist, = dist.glob("velmo-*.tar.gz")
        check_sdist(sdist)
        wheel, = dist.glob("velmo-*.whl")
        check_wheel(wheel, version)
        # setuptools, wheel and what they need (wheel 0.46 on: packaging).
        requirements = sorted(wheels.glob("*.whl")) if wheels else []
        index = local_index(work / "index", [wheel, *requirements])
        run(*pip, "install", "--index-url", index, "velmo")
        use_installed(python, site_packages, args.example)
        run(*pip, "uninstall", "--yes", "velmo")
        if (left := files_under(venv) - before):
            sys.exit(f"pip uninstall left behind: {sorted(left)}")
        # An isolated build: pip takes setuptools and wheel from the index.
        run(*pip, "install", "--index-url", index, ".", cwd=source)
        use_installed(python, site_packages, args.example)
        run(*pip, "uninstall", "--yes", "velmo")

    cmake_route(python, source, work, before, venv)
    run(*pip, "install", "--no-build-isolation", ".", cwd=source)
    use_installed(python, site_packages, args.example)
    refuses_unlisted_version(pip, python, version, source)
    if not tool:
        print(f"python -m build: no build module in {args.tools}; install python3-build")
        return 1 if args.require else SKIPPED
    print("velmo's sdist builds its wheel, which installs from an index, imports and uninstalls cleanly; "
          "pip installs it from the source tree with an index and offline; the CMake route installs, keeps the "
          "symbols on request, uninstalls cleanly and refuses another interpreter; under Python", version)
    return 0


def type_check(example: str, where: Path, version: str, args: argparse.Namespace, mypy_site: list[object],
               pyright_site: list[object]) -> int:
    """mypy and pyright, strict, on `example` in the folder `where`, for Python `version`."""
    # mypy asks an interpreter for its site-packages by running a script from
    # mypy's own folder, which holds a types.py; from 3.12 on that shadows the
    # standard module during start-up unless the script's folder stays off
    # sys.path. (Older interpreters ignore the variable.)
    env = dict(os.environ, PYTHONSAFEPATH="1")
    for name in ("MYPYPATH", "PYTHONPATH"):
        env.pop(name, None)
    run(args.mypy, "--strict", "--no-incremental", *mypy_site, "--python-version", version, example,
        cwd=where, env=env)
    if args.pyright is None:
        print("pyright: not found; scripts/install_test_deps.sh installs it with npm")
        return 1 if args.require else SKIPPED
    # Strict too, and an ignore comment that pyright does not need is an error.
    (where / "pyrightconfig.json").write_text(
        '{"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error",'
        ' "reportMissingModuleSource": "none"}\n')
    run(args.pyright, *pyright_site, "--pythonversion", version, example, cwd=where, env=env)
    return 0


def types(args: argparse.Namespace) -> int:
    python = args.work / "venv" / "bin" / "python"
    version, _ = venv_paths(python)
    # Outside the source tree, whose velmo.pyi the checkers would otherwise find first.
    with tempfile.TemporaryDirectory() as where:
        shutil.copy2(args.example, where)
        return type_check(args.example.name, Path(where), version, args, ["--python-executable", python],
                          ["--pythonpath", python])


def stub(args: argparse.Namespace) -> int:
    """The source tree's stub beside the built module, in a folder of their
    own: the checkers read the stub there, and the example, run by the
    module's interpreter, compares what the stub promises with what the
    module answers."""
    version = "%d.%d" % sys.version_info[:2]
    with tempfile.TemporaryDirectory() as folder:
        where = Path(folder)
        shutil.copy2(args.stub, where / "velmo.pyi")
        shutil.copy2(args.example, where)
        (where / args.module.name).symlink_to(args.module)
        status = type_check(args.example.name, where, version, args, ["--no-site-packages"],
                            ["--pythonpath", sys.executable])
        loaded = run(sys.executable, args.example.name, cwd=where, capture=True).strip()
    if Path(loaded).name != args.module.name:
        sys.exit(f"the example loaded velmo from {loaded}, not {args.module}")
    print(f"{args.stub} types the example as its calls behave with {args.module}")
    return status


def stubtest(args: argparse.Namespace) -> int:
    try:
        importlib.import_module("mypy.stubtest")
    except ModuleNotFoundError:
        print("stubtest: mypy is not importable; install python3-mypy or put mypy on PYTHONPATH")
        return 1 if args.require else SKIPPED
    except Exception as error:  # an older mypy that this interpreter cannot run
        print(f"stubtest: skipped, the available mypy cannot run under Python "
              f"{sys.version_info[0]}.{sys.version_info[1]}: {error!r}")
        return SKIPPED
    env = dict(os.environ, MYPYPATH=str(args.stub_dir))
    # An entry only some mypy versions need is unused under the others.
    run(sys.executable, "-m", "mypy.stubtest", "--concise", "--allowlist", ALLOWLIST,
        "--ignore-unused-allowlist", "velmo", env=env)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("install")
    p.add_argument("--source", type=Path, required=True)
    p.add_argument("--work", type=Path, required=True)
    p.add_argument("--example", type=Path, required=True)
    p.add_argument("--wheels", type=Path, default=Path("/usr/share/python-wheels"))
    p.add_argument("--tools", type=Path, default=Path("/usr/lib/python3/dist-packages"))
    p.add_argument("--require", action="store_true", help="fail rather than skip without python3-build")
    p = commands.add_parser("types")
    p.add_argument("--work", type=Path, required=True)
    p.add_argument("--example", type=Path, required=True)
    p.add_argument("--mypy", required=True)
    p.add_argument("--pyright", help="npm's pyright; without it the check is skipped")
    p.add_argument("--require", action="store_true", help="fail rather than skip without pyright")
    p = commands.add_parser("stub")
    p.add_argument("--stub", type=Path, required=True)
    p.add_argument("--module", type=Path, required=True)
    p.add_argument("--example", type=Path, required=True)
    p.add_argument("--mypy", required=True)
    p.add_argument("--pyright", help="npm's pyright; without it the check is skipped")
    p.add_argument("--require", action="store_true", help="fail rather than skip without pyright")
    p = commands.add_parser("stubtest")
    p.add_argument("--stub-dir", type=Path, required=True)
    p.add_argument("--require", action="store_true", help="fail rather than skip without mypy")
    args = parser.parse_args()
    # The commands run in other folders.
    for name, value in vars(args).items():
        if isinstance(value, Path):
            setattr(args, name, value.resolve())
    return {"install": install, "types": types, "stub": stub, "stubtest": stubtest}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
