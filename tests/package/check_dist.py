"""Checks velmo's release artefacts, as scripts/build_dist.sh makes them.

  installed   run by a venv's interpreter that has a wheel installed: velmo
              comes from that venv, and the version read back from the
              installed distribution's metadata (importlib.metadata) is the
              one pyproject.toml defines.
  artefacts   every artefact in --dist, one check per property: the sdist holds
              what a clone holds; each wheel carries the policy tag that
              `auditwheel show` confirms (--report) and one per supported
              version and machine is there; the metadata (version, SPDX
              licence and its file, maintainer, a long description that
              names every policy and has no relative links) and CHANGELOG.md
              agree; no build log in --logs
              has a deprecation warning.
"""

from __future__ import annotations

import argparse
import email.parser
import re
import sys
import tarfile
import zipfile
from pathlib import Path

# What a clone holds but an sdist leaves out: CI's entry point and git's own files.
NOT_IN_SDIST = (".ci/", ".gitignore")
# What setuptools adds to an sdist.
SDIST_EXTRAS = {"PKG-INFO", "setup.cfg"}
# The older names that auditwheel adds beside a policy's own in a wheel's tag.
LEGACY_TAGS = {
    "manylinux_2_5_x86_64": "manylinux1_x86_64.manylinux_2_5_x86_64",
    "manylinux_2_17_aarch64": "manylinux2014_aarch64.manylinux_2_17_aarch64",
}


def defined_version(source: Path) -> str:
    """The version, from the one place that defines it."""
    match = re.search(r'^version\s*=\s*"([^"]+)"', (source / "pyproject.toml").read_text(), re.M)
    assert match, "pyproject.toml defines no version"
    return match.group(1)


def installed(args: argparse.Namespace) -> list[str]:
    import importlib.metadata
    import sysconfig

    import velmo

    problems = []
    site = Path(sysconfig.get_path("platlib")).resolve()
    if Path(velmo.__file__).resolve().parent != site:
        problems.append(f"velmo was imported from {velmo.__file__}, not from {site}")
    version, wanted = importlib.metadata.version("velmo"), defined_version(args.source)
    if version != wanted:
        problems.append(f"the installed distribution says version {version}; pyproject.toml says {wanted}")
    return problems


def relative_links(markdown: str) -> list[str]:
    """Links and images whose target is neither absolute nor an anchor."""
    targets = re.findall(r"\]\(\s*<?([^)>\s]+)", markdown) + re.findall(r"^\s*\[[^]]+\]:\s*(\S+)", markdown, re.M)
    targets += re.findall(r"""(?:href|src)\s*=\s*["']([^"']+)""", markdown)
    return [t for t in targets if not re.match(r"[a-z][a-z0-9+.-]*:|#", t)]


def check_metadata(name: str, text: str, version: str, versions: list[str], policies: list[str]) -> list[str]:
    message = email.parser.Parser().parsestr(text)
    problems = []
    expected = {"Name": "velmo", "Version": version, "License-Expression": "MIT", "License-File": "LICENSE"}
    for field, value in expected.items():
        if message.get(field) != value:
            problems.append(f"{name}: {field} is {message.get(field)!r}, not {value!r}")
    for field in ("Maintainer-email", "Requires-Python", "Summary"):
        if not message.get(field):
            problems.append(f"{name}: no {field}")
    description = message.get_payload()
    if message.get("Description-Content-Type") != "text/markdown" or not description.strip():
        problems.append(f"{name}: no Markdown long description")
    if len(description.splitlines()) > 80:
        problems.append(f"{name}: the long description has {len(description.splitlines())} lines; it is for users")
    # The index page names the supported versions through the classifiers,
    # which setup.py derives from python_versions.txt; the description refers
    # to them, so that a new version changes no document.
    classifiers = message.get_all("Classifier") or []
    if (missing := [v for v in versions if f"Programming Language :: Python :: {v}" not in classifiers]):
        problems.append(f"{name}: no classifier names {missing} among the supported versions")
    # And the machines through the wheels that setup.py lists from machines.txt.
    if (unnamed := [p for p in policies if f"(`{p}`)" not in description]):
        problems.append(f"{name}: the long description names no wheel for {unnamed}")
    if (links := relative_links(description)):
        problems.append(f"{name}: the long description links relatively, dead on an index page: {links}")
    return problems


def artefacts(args: argparse.Namespace) -> list[str]:
    problems = []
    version = defined_version(args.source)
    versions = [v for v in (args.source / "python_versions.txt").read_text().split() if re.fullmatch(r"\d+\.\d+", v)]
    policies = [spec.partition("=")[0] for spec in args.policy]
    changelog = re.search(r"^## (\S+)", (args.source / "CHANGELOG.md").read_text(), re.M)
    if not changelog or changelog.group(1) != version:
        problems.append(f"CHANGELOG.md's newest entry is not {version}")
    if not (args.source / "SECURITY.md").is_file():
        problems.append("no SECURITY.md")

    # The sdist holds every file of the clone that building, testing and
    # packaging use, so that a distributor can run the tests from it.
    sdists = sorted(args.dist.glob("velmo-*.tar.gz"))
    if [s.name for s in sdists] != [f"velmo-{version}.tar.gz"]:
        problems.append(f"sdists in dist/: {[s.name for s in sdists]}")
    else:
        with tarfile.open(sdists[0]) as tar:
            top = f"velmo-{version}/"
            held = {m.name[len(top):] for m in tar.getmembers() if m.isfile() and m.name.startswith(top)}
            problems += check_metadata("sdist", tar.extractfile(top + "PKG-INFO").read().decode(), version, versions, policies)
        clone = {str(p.relative_to(args.source)) for p in args.source.rglob("*") if p.is_file()}
        # (velmo.egg-info/ is setuptools' in both: the sdist was made there.)
        clone = {name for name in clone if not name.startswith((*NOT_IN_SDIST, "velmo.egg-info/"))}
        held = {name for name in held if not name.startswith("velmo.egg-info/")} - SDIST_EXTRAS
        if held != clone:
            problems.append(f"the sdist lacks {sorted(clone - held)} and holds {sorted(held - clone)} beyond a clone")

    # One wheel per supported version and machine that gets one (a policy
    # given as POLICY=3.X,3.Y covers those versions only), each tagged with
    # its policy and confirmed by auditwheel, holding the module, its stubs
    # and its licence.
    expected: dict[str, tuple[str, str]] = {}
    for spec in args.policy:
        policy, _, only = spec.partition("=")
        machine = policy.split("_", 3)[3]
        platform = LEGACY_TAGS.get(policy, policy)
        for v in only.split(",") if only else versions:
            tag = "cp" + v.replace(".", "")
            expected[f"velmo-{version}-{tag}-{tag}-{platform}.whl"] = (policy, machine)
    wheels = {w.name: w for w in args.dist.glob("*.whl")}
    if set(wheels) != set(expected):
        problems.append(f"wheels in dist/: {sorted(wheels)}; expected {sorted(expected)}")
    for name, wheel in sorted(wheels.items()):
        if name not in expected:
            continue
        tag = name.split("-")[2]
        policy, machine = expected[name]
        report = args.report / f"{tag}-{machine}.show"
        shown = report.read_text() if report.is_file() else ""
        if f'platform tag: "{policy}"' not in " ".join(shown.split()):
            problems.append(f"{name}: auditwheel show does not confirm {policy}: {shown!r}")
        with zipfile.ZipFile(wheel) as archive:
            names = sorted(archive.namelist())
            info = f"velmo-{version}.dist-info/"
            shipped = {n for n in names if not n.startswith(info) and not n.endswith("/")}
            module = f"velmo.cpython-{tag[2:]}-{machine}-linux-gnu.so"
            if shipped != {module, "velmo.pyi", "velmo-stubs/__init__.pyi"}:
                problems.append(f"{name} holds {sorted(shipped)}: expected {module} and its stubs")
            if info + "licenses/LICENSE" not in names:
                problems.append(f"{name}: no licence file")
            problems += check_metadata(name, archive.read(info + "METADATA").decode(), version, versions, policies)

    # setuptools 84 warns of what it will stop supporting (a licence table, for one).
    for log in sorted(args.logs.rglob("build-*.log")):
        for line in log.read_text(errors="replace").splitlines():
            if "DeprecationWarning" in line:
                problems.append(f"{log.name}: {line.strip()}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("installed")
    p.add_argument("--source", type=Path, required=True)
    p = commands.add_parser("artefacts")
    p.add_argument("--source", type=Path, required=True)
    p.add_argument("--dist", type=Path, required=True)
    p.add_argument("--report", type=Path, required=True)
    p.add_argument("--policy", action="append", required=True, help="POLICY or POLICY=3.X,3.Y; once per machine")
    p.add_argument("--logs", type=Path, required=True)
    args = parser.parse_args()
    problems = {"installed": installed, "artefacts": artefacts}[args.command](args)
    for problem in problems:
        print("check_dist:", problem, file=sys.stderr)
    if not problems:
        print(f"check_dist: {args.command}: every check passed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
