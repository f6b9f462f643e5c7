#!/usr/bin/env python3
"""Sets velmo.fun_hello beside reference implementations of the same function
and prints velmo's cost as ratios to each of them.

    python3 bench/compare.py [--python PATH] [options]

The references (see bench/CMakeLists.txt) are a plain METH_O built-in, an
"ideal" minimal type of velmo's shape (tp_call only, METH_O dispatch, and on
failure the traceback entry velmo makes, with the same public calls), a
floor (tp_call returning None) and a pure-Python def. By default this builds
velmo and the references in Release into build-bench/py<X.Y>/ (or reuses that
build, or the one given by --build-dir), checks that every implementation
gives the same answers, then measures:

  - instructions per call with callgrind when valgrind is installed;
  - wall time per call, medians of interleaved repeats with their spread;
  - the failing call (an argument whose __eq__ raises), caught alike for all;
  - the import of velmo against the plain built-in module, in fresh processes:
    the import statement and the whole process in instructions, the
    collections it sets off, and -X importtime.

Every case runs in a loop function of its own after a warm-up past the
interpreter's caching and specialisation thresholds, and each argument class
takes the implementations in a rotated order.

It writes a text table, an SVG chart and the raw figures (JSON) into
<build>/bench-results/. `--check` only builds and checks the answers; CTest
runs it that way. The interpreter comes from --python, else $PYTHON, else
the one the build directory was configured with (or CMake's own choice).
"""
import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
WORKLOADS = os.path.join(BENCH, "workloads.py")
REFERENCES = ["builtin", "ideal", "floor", "python"]
COLUMNS = ["velmo"] + REFERENCES
LOOP = "loop alone"
FAILING = "eq raises"
# Name in the reports -> (module, where the build puts it).
IMPORTED = {
    "velmo": ("velmo", "velmo.*.so"),
    "builtin": ("reference_builtin", "bench/reference_builtin.*.so"),
}
# Everything the workloads load, as the build lays it out.
BUILT = [where for _, where in IMPORTED.values()] + [
    "bench/reference_ideal.*.so",
    "bench/reference_floor.*.so",
    "bench/callgrind_marker.*.so",
]
MARKER = "callgrind_marker_boundary"


def fail(message):
    sys.exit(f"compare.py: {message}")


def run(command, **kwargs):
    return subprocess.run(command, text=True, **kwargs)


# ---------------------------------------------------------------- the build


def describe_python(executable):
    """(sys.executable, 'X.Y') of a working interpreter, else stops."""
    probe = "import sys; print(sys.executable); print('%d.%d' % sys.version_info[:2])"
    try:
        proc = run([executable, "-c", probe], capture_output=True)
    except OSError as error:
        fail(f"cannot run {executable!r}: {error}")
    if proc.returncode != 0:
        fail(f"{executable!r} does not run:\n{proc.stderr.strip()}")
    path, version = proc.stdout.split()
    return path, version


def read_cache(build_dir):
    """The CMake cache of build_dir as {name: value}; {} when unconfigured."""
    values = {}
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as cache:
            for line in cache:
                match = re.match(r"([A-Za-z0-9_]+):[A-Z]+=(.*)$", line.rstrip("\n"))
                if match:
                    values[match.group(1)] = match.group(2)
    except FileNotFoundError:
        pass
    return values


def prepare_build(args):
    """Configures and builds what the comparison loads, unless --no-build.
    Returns (build_dir, interpreter, cache)."""
    requested = args.python or os.environ.get("PYTHON") or None
    python, version = describe_python(requested) if requested else (None, None)
    if args.build_dir:
        build_dir, own_dir = os.path.abspath(args.build_dir), False
    else:
        build_dir, own_dir = os.path.join(ROOT, "build-bench", "py" + version if python else "default"), True

    cache = read_cache(build_dir)
    configured_for = cache.get("Python3_EXECUTABLE")
    if python and configured_for and os.path.realpath(configured_for) != os.path.realpath(python):
        if not own_dir:
            fail(f"{build_dir} is configured for {configured_for}, not {python}; choose another --build-dir")
        print(f"compare.py: {build_dir} was configured for {configured_for}; configuring afresh")
        os.remove(os.path.join(build_dir, "CMakeCache.txt"))
        cache = {}

    if not args.no_build:
        if not cache:
            configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"]
            configure.append("-DVELMO_BUILD_TESTS=OFF")
            if python:
                configure.append(f"-DPython3_EXECUTABLE={python}")
            if run(configure).returncode != 0:
                fail(f"configuring {build_dir} failed (see above); velmo must build for that interpreter")
        if run(["cmake", "--build", build_dir, "--target", "bench_modules", "-j2"]).returncode != 0:
            fail(f"building in {build_dir} failed (see above)")
        cache = read_cache(build_dir)

    python = python or cache.get("Python3_EXECUTABLE")
    if not python:
        fail("no interpreter: pass --python, set PYTHON, or point --build-dir at a configured build")
    for pattern in BUILT:
        if not glob.glob(os.path.join(build_dir, pattern)):
            fail(f"{build_dir} has no {pattern}; build the target bench_modules there")
    return build_dir, python, cache


# --------------------------------------------------------- the measurements


class Workloads:
    """Runs bench/workloads.py under the measured interpreter."""

    def __init__(self, python, build_dir):
        self.python = python
        self.build_dir = build_dir
        self.env = dict(os.environ)
        self.env.update(
            PYTHONPATH=os.pathsep.join([build_dir, os.path.join(build_dir, "bench")]),
            PYTHONHASHSEED="0",
            PYTHONDONTWRITEBYTECODE="1",
        )

    def run(self, *mode, prefix=(), env=None):
        mode = [str(word) for word in mode]
        proc = run([*prefix, self.python, WORKLOADS, *mode], capture_output=True, env=env or self.env)
        if proc.returncode != 0:
            what = f"workloads.py {' '.join(mode)} failed (exit status {proc.returncode})"
            fail(f"{what}:\n{proc.stderr.strip()}")
        return json.loads(proc.stdout.strip().splitlines()[-1])


def callgrind_command(out_file, dump_instr=False):
    command = [
        "valgrind",
        "--tool=callgrind",
        f"--dump-before={MARKER}",
        f"--callgrind-out-file={out_file}",
    ]
    if dump_instr:
        command.append("--dump-instr=yes")
    return command


def part_totals(out_file):
    """{part number: total Ir} of the dumps callgrind wrote to out_file.*"""
    totals = {}
    for path in glob.glob(out_file + "*"):
        with open(path) as dump:
            text = dump.read()
        part = re.search(r"^part: *(\d+)", text, re.M)
        total = re.search(r"^(?:totals|summary): *(\d+)", text, re.M)
        if part and total:
            totals[int(part.group(1))] = int(total.group(1))
    return totals


def part_path(out_file, part, totals):
    # The last part is written at exit, under the plain name.
    return out_file if part == max(totals) else f"{out_file}.{part}"


def function_costs(path):
    """{(object, function): [self Ir, inclusive Ir]} of one callgrind dump.

    Reads the format callgrind writes: name compression "(id) name", cost
    lines after their position columns, and after each calls= line one line
    that is the call's inclusive cost rather than the caller's own.
    """
    tables = {"ob": {}, "fl": {}, "fn": {}}
    kinds = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl", "cfl": "fl"}
    kinds.update(fn="fn", cfn="fn")
    costs = {}
    obj = function = None
    positions = 1
    call_cost_next = False
    with open(path) as dump:
        for line in dump:
            head = line[:1]
            if head.isdigit() or head in "+-*":
                fields = line.split()
                value = int(fields[positions]) if len(fields) > positions else 0
                entry = costs.setdefault((obj, function), [0, 0])
                if not call_cost_next:
                    entry[0] += value
                entry[1] += value
                call_cost_next = False
                continue
            if line.startswith("positions:"):
                positions = len(line.split()) - 1
                continue
            key, sep, rest = line.rstrip("\n").partition("=")
            if not sep:
                continue
            if key in kinds:
                table = tables[kinds[key]]
                rest = rest.strip()
                name = rest
                if rest.startswith("("):
                    close = rest.index(")")
                    ident, given = rest[1:close], rest[close + 1 :].strip()
                    if given:
                        table[ident] = given
                    name = table.get(ident, ident)
                if key == "ob":
                    # An extension module goes by its module name.
                    obj = re.sub(r"\.cpython-[^/]*\.so$", "", os.path.basename(name))
                elif key == "fn":
                    function = short_name(name)
            elif key == "calls":
                call_cost_next = True
    # Callgrind names deeper recursion levels f'2, f'3...: fold them into f.
    # Own costs add up; the outermost level's inclusive cost holds the others.
    folded = {}
    for (obj, function), (own, inclusive) in costs.items():
        entry = folded.setdefault((obj, re.sub(r"'\d+$", "", function or "?")), [0, 0])
        entry[0] += own
        entry[1] = max(entry[1], inclusive)
    return folded


def short_name(name):
    """A demangled name without its namespace noise and parameter list."""
    name = name.replace("(anonymous namespace)::", "")
    if name.endswith(")"):
        depth = 0
        for i in range(len(name) - 1, -1, -1):
            depth += {")": 1, "(": -1}.get(name[i], 0)
            if depth == 0:
                return name[:i]
    return name


def measure_callgrind(workloads, calls, profile_labels, keep_dir, imports):
    """Net Ir per call of every case, per-function profiles of the cases in
    profile_labels, and the same for the import of each module."""
    scratch = keep_dir or tempfile.mkdtemp(prefix="velmo-callgrind-")
    os.makedirs(scratch, exist_ok=True)
    try:
        out_file = os.path.join(scratch, "calls.out")
        plan = workloads.run("callgrind", calls, prefix=callgrind_command(out_file, bool(keep_dir)))
        totals = part_totals(out_file)
        raw, parts = {}, {}
        for index, (name, label) in enumerate(plan["cases"]):
            first = plan["first_part"] + plan["parts_per_case"] * index
            raw[name, label] = (totals[first + 2] - totals[first + 1]) / calls
            parts[name, label] = (first + 1, first + 2)
        loop = raw.pop((LOOP, LOOP))
        result = {"calls": calls, "loop": loop, "net": {key: value - loop for key, value in raw.items()}}

        result["profiles"] = {}
        for label in profile_labels:
            reference = "ideal"
            profile = {}
            for name in ("velmo", reference):
                once, twice = (
                    function_costs(part_path(out_file, part, totals)) for part in parts[name, label]
                )
                profile[name] = {
                    key: [(twice.get(key, [0, 0])[i] - once.get(key, [0, 0])[i]) / calls for i in (0, 1)]
                    for key in set(once) | set(twice)
                }
            result["profiles"][label] = {"reference": reference, "costs": profile}

        result["imports"] = measure_import_instructions(workloads, scratch) if imports else {}
        if keep_dir:
            write_part_index(keep_dir, plan)
        return result
    finally:
        if not keep_dir:
            shutil.rmtree(scratch, ignore_errors=True)


def measure_import_instructions(workloads, scratch):
    """Ir of each import statement, in all and by the object (library)
    running it, and of the whole process around it."""
    result = {}
    with tempfile.TemporaryDirectory(prefix="velmo-import-") as folder:
        env = import_env(workloads, folder)
        for name, (module, _) in IMPORTED.items():
            out_file = os.path.join(scratch, f"import-{name}.out")
            workloads.run("import", module, prefix=callgrind_command(out_file), env=env)
            totals = part_totals(out_file)
            by_object = {}
            for (obj, _), (own, _) in function_costs(part_path(out_file, 2, totals)).items():
                by_object[obj] = by_object.get(obj, 0) + own
            result[name] = {"ir": totals[2], "process_ir": sum(totals.values()), "by_object": by_object}
    return result


def measure_import_collections(workloads):
    """What each import leaves to the collector: the collections it sets off
    and its net tracked allocations (generation 0's count)."""
    result = {}
    with tempfile.TemporaryDirectory(prefix="velmo-import-") as folder:
        env = import_env(workloads, folder)
        for name, (module, _) in IMPORTED.items():
            result[name] = workloads.run("import-gc", module, env=env)
    return result


def write_part_index(keep_dir, plan):
    with open(os.path.join(keep_dir, "parts.txt"), "w") as index:
        index.write("calls.out.<part>: the case each part measured (warm-up, N calls, 2N calls)\n")
        for i, (name, label) in enumerate(plan["cases"]):
            first = plan["first_part"] + plan["parts_per_case"] * i
            index.write(f"{name:8} {label:18} parts {first} {first + 1} {first + 2}\n")
        index.write("import-<name>.out.2: the import itself\n")


def import_env(workloads, folder):
    """An environment where velmo and the plain module sit side by side in
    `folder`, first on the path, so that their imports find them alike."""
    for _, where in IMPORTED.values():
        shutil.copy(glob.glob(os.path.join(workloads.build_dir, where))[0], folder)
    env = dict(workloads.env)
    env["PYTHONPATH"] = os.pathsep.join([folder, os.path.join(workloads.build_dir, "bench")])
    return env


def measure_import_time(workloads, runs):
    """Quartiles of the -X importtime cumulative figure (us) over fresh
    processes, velmo and the plain module taking turns."""
    samples = {name: [] for name in IMPORTED}
    with tempfile.TemporaryDirectory(prefix="velmo-import-") as folder:
        env = import_env(workloads, folder)
        for _ in range(runs):
            for name, (module, _) in IMPORTED.items():
                code = (
                    f"import importlib.util as u; u.find_spec('velmo_bench_absent_module'); import {module}"
                )
                proc = run([workloads.python, "-X", "importtime", "-c", code], capture_output=True, env=env)
                if proc.returncode != 0:
                    fail(f"importing {module} failed:\n{proc.stderr.strip()}")
                for line in proc.stderr.splitlines():
                    fields = [field.strip() for field in line.split("|")]
                    if len(fields) == 3 and fields[2] == module:
                        samples[name].append(int(fields[1]))
    return {name: [sorted(v)[len(v) // 4], sorted(v)[len(v) // 2], sorted(v)[(3 * len(v)) // 4]]
            for name, v in samples.items()}


def measure_time(workloads, calls, repeats):
    """Median ns per call, net of the bare loop's median, and the spread: half
    the interquartile range of the case's samples."""
    quartiles = {(name, label): q for name, label, q in workloads.run("time", calls, repeats)["ns"]}
    loop = quartiles.pop((LOOP, LOOP))[1]
    return {
        "calls": calls,
        "repeats": repeats,
        "loop": loop,
        "net": {k: q[1] - loop for k, q in quartiles.items()},
        "spread": {k: (q[2] - q[0]) / 2 for k, q in quartiles.items()},
    }


# ---------------------------------------------------------------- reporting


def labels_of(net):
    seen = []
    for _, label in net:
        if label not in seen:
            seen.append(label)
    return seen


def ratio_table(title, net, number, ratios=True):
    """Rows of velmo's cost, each reference's, and velmo's ratio to each."""
    head = f"{'argument':18}" + "".join(f"{c:>9}" for c in COLUMNS)
    if ratios:
        head += "  " + "".join(f"{'/' + r:>9}" for r in REFERENCES)
    lines = [title, "", head]
    for label in labels_of(net):
        row = f"{label:18}"
        for column in COLUMNS:
            value = net.get((column, label))
            row += f"{number(value):>9}" if value is not None else f"{'-':>9}"
        if not ratios:
            lines.append(row)
            continue
        row += "  "
        for reference in REFERENCES:
            ratio = ratio_of(net, label, reference)
            row += f"{ratio:>8.2f}x" if ratio is not None else f"{'-':>9}"
        lines.append(row)
    return lines


def ratio_of(net, label, reference):
    velmo, other = net.get(("velmo", label)), net.get((reference, label))
    if velmo is None or other is None or other <= 0:
        return None
    return velmo / other


def report(results):
    out = [f"velmo against its references: CPython {results['version']} ({results['python']})"]
    out.append(
        f"build: {results['build_dir']} ({results['build_type'] or 'no build type'});"
        f" load average {results['load']:.2f} when timing began"
    )
    out += [
        "builtin: METH_O built-in (vectorcall); ideal: tp_call-only type with METH_O dispatch, which",
        "on failure makes velmo's traceback entry with the same public calls; floor: tp_call",
        "returning None; python: pure-Python def. Every figure is net of the bare Python loop",
        "around the call; 'eq raises' calls are caught by try/except ValueError. Each case runs in",
        "a loop of its own, warmed up first, in an order rotated per argument class.",
    ]
    out.append("")
    cg = results.get("callgrind")
    if cg:
        out += ratio_table(
            f"Instructions per call (callgrind: (Ir of 2N calls - Ir of N calls) / N, N = {cg['calls']};"
            f" loop alone {cg['loop']:.0f} Ir)",
            cg["net"],
            lambda v: f"{v:.0f}",
        )
        out.append("")
    elif results.get("callgrind_note"):
        out += [results["callgrind_note"], ""]
    tm = results.get("time")
    if tm:
        out += ratio_table(
            f"Wall time per call, ns (median of {tm['repeats']} interleaved repeats of {tm['calls']} calls;"
            f" loop alone {tm['loop']:.1f} ns)",
            tm["net"],
            lambda v: f"{v:.1f}",
        )
        out.append("")
        out += ratio_table(
            "Spread of the wall time, ns (half the interquartile range of the repeats)",
            tm["spread"],
            lambda v: f"{v:.1f}",
            ratios=False,
        )
        out.append("")
    imp = results.get("import")
    if imp:
        times = imp["time_us"]
        out.append(f"{'import in a fresh process':34}{'velmo':>11}{'builtin':>11}{'/builtin':>11}")
        ratio = times["velmo"] / max(times["builtin"], 1)
        what = f"-X importtime, us (median of {imp['runs']})"
        out.append(f"{what:34}{times['velmo']:>11,}{times['builtin']:>11,}{ratio:>10.2f}x")
        spread = imp["time_spread_us"]
        what = "  spread (half the IQR), us"
        out.append(f"{what:34}{spread['velmo']:>11,.0f}{spread['builtin']:>11,.0f}")
        if cg and cg["imports"]:
            velmo, plain = cg["imports"]["velmo"], cg["imports"]["builtin"]
            ratio = velmo["ir"] / plain["ir"]
            out.append(f"{'import statement, Ir':34}{velmo['ir']:>11,}{plain['ir']:>11,}{ratio:>10.2f}x")
            ratio = velmo["process_ir"] / plain["process_ir"]
            what = "whole process, Ir"
            out.append(f"{what:34}{velmo['process_ir']:>11,}{plain['process_ir']:>11,}{ratio:>10.2f}x")
            for name, figures in (("velmo", velmo), ("builtin", plain)):
                parts = sorted(figures["by_object"].items(), key=lambda item: -item[1])
                shown = ", ".join(f"{obj} {ir / 1e3:,.0f}k" for obj, ir in parts if ir >= figures["ir"] / 100)
                out.append(f"  {name} by object: {shown}")
        for name, figures in imp.get("collections", {}).items():
            out.append(
                f"  {name}: {len(figures['collections'])} collection(s) during the import;"
                f" generation 0 count {figures['gen0_before']} -> {figures['gen0_after']}"
            )
        out.append("")
    for label, profile in (cg or {}).get("profiles", {}).items():
        out += profile_table(label, profile)
    return "\n".join(out)


def profile_table(label, profile):
    """Per-function Ir per call, velmo beside its reference, largest gaps first."""
    reference = profile["reference"]
    mine, theirs = profile["costs"]["velmo"], profile["costs"][reference]
    keys = set(mine) | set(theirs)
    zero = [0.0, 0.0]
    rows = sorted(keys, key=lambda k: -abs(mine.get(k, zero)[0] - theirs.get(k, zero)[0]))
    title = f"Where the instructions go for argument {label}: velmo against {reference}"
    title += " (Ir per call; equal rows left out)"
    lines = [title, f"{'--- velmo ---':>16} {'--- ' + reference + ' ---':>16}"]
    lines.append(f"{'self':>8}{'incl':>8} {'self':>8}{'incl':>8} {'diff':>8}  function [object]")
    total = [0.0, 0.0]
    for key in rows:
        a, b = mine.get(key, zero), theirs.get(key, zero)
        total[0] += a[0]
        total[1] += b[0]
        if abs(a[0] - b[0]) < 0.5:
            continue
        obj, function = key
        lines.append(f"{a[0]:8.1f}{a[1]:8.1f} {b[0]:8.1f}{b[1]:8.1f} {a[0] - b[0]:+8.1f}  {function} [{obj}]")
    diff = total[0] - total[1]
    lines.append(f"{total[0]:8.1f}{'':8} {total[1]:8.1f}{'':8} {diff:+8.1f}  all functions, loop included")
    lines.append("")
    return lines


def chart(results):
    """A hand-written SVG: velmo's ratio to each reference per argument class,
    instructions on the left, wall time on the right, 1 marked by a dashed line."""
    panels = [
        (title, results[key]["net"])
        for key, title in (("callgrind", "instructions"), ("time", "wall time"))
        if results.get(key)
    ]
    if not panels:
        return None
    colours = {"builtin": "#4477aa", "ideal": "#228833", "floor": "#ccbb44", "python": "#aa3377"}
    labels = labels_of(panels[0][1])
    bar, gap, left, width, top = 7, 12, 130, 330, 70
    row = bar * len(REFERENCES) + gap
    bottom = top + row * len(labels)
    height = bottom + 50
    total_width = max(left + (width + 50) * len(panels), left + 120 * len(REFERENCES))
    svg = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{total_width}" height="{height}"'
        ' font-family="sans-serif" font-size="11">',
        f'<rect width="{total_width}" height="{height}" fill="white"/>',
        f'<text x="10" y="18" font-size="13">velmo.fun_hello: cost as a ratio to each reference,'
        f' CPython {escape(results["version"])}</text>',
    ]
    for i, reference in enumerate(REFERENCES):
        x = left + i * 120
        svg.append(f'<rect x="{x}" y="30" width="10" height="10" fill="{colours[reference]}"/>')
        svg.append(f'<text x="{x + 14}" y="39">velmo / {reference}</text>')
    for j, label in enumerate(labels):
        svg.append(
            f'<text x="{left - 10}" y="{top + j * row + row / 2}" text-anchor="end">{escape(label)}</text>'
        )
    for p, (title, net) in enumerate(panels):
        x0 = left + p * (width + 50)
        ratios = [ratio_of(net, label, r) for label in labels for r in REFERENCES]
        ticks = max(int(max((r for r in ratios if r), default=1.0)) + 1, 2)
        scale = width / ticks
        svg.append(f'<text x="{x0}" y="{top - 10}" font-weight="bold">{title}</text>')
        for tick in range(ticks + 1):
            x = x0 + tick * scale
            dash = ' stroke-dasharray="4,3"' if tick == 1 else ""
            colour = "black" if tick == 1 else "#dddddd"
            svg.append(
                f'<line x1="{x:.1f}" y1="{top - 4}" x2="{x:.1f}" y2="{bottom}" stroke="{colour}"{dash}/>'
            )
            svg.append(f'<text x="{x:.1f}" y="{bottom + 14}" text-anchor="middle">{tick}</text>')
        for j, label in enumerate(labels):
            for i, reference in enumerate(REFERENCES):
                ratio = ratio_of(net, label, reference)
                if ratio is None:
                    continue
                y = top + j * row + i * bar
                svg.append(
                    f'<rect x="{x0}" y="{y}" width="{ratio * scale:.1f}" height="{bar - 1}"'
                    f' fill="{colours[reference]}"/>'
                )
                x = x0 + ratio * scale + 3
                svg.append(f'<text x="{x:.1f}" y="{y + bar - 1}" font-size="8">{ratio:.2f}</text>')
    notes = []
    cg, imp = results.get("callgrind"), results.get("import")
    if cg and cg.get("imports"):
        imports = cg["imports"]
        notes.append(f"{imports['velmo']['ir'] / imports['builtin']['ir']:.1f}x the instructions")
    if imp:
        notes.append(f"{imp['time_us']['velmo'] / max(imp['time_us']['builtin'], 1):.1f}x the time")
    if notes:
        notes = ", ".join(notes)
        svg.append(f'<text x="10" y="{height - 10}">import velmo against the plain module: {notes}</text>')
    svg.append("</svg>")
    return "\n".join(svg) + "\n"


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def save(results, text, svg, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    stem = os.path.join(out_dir, f"compare-{results['version']}")
    with open(stem + ".txt", "w") as f:
        f.write(text + "\n")
    if svg:
        with open(stem + ".svg", "w") as f:
            f.write(svg)
    plain = dict(results)
    for key in ("callgrind", "time"):
        if key in plain:
            section = dict(plain[key])
            section["net"] = [[n, label, v] for (n, label), v in section["net"].items()]
            if "spread" in section:
                section["spread"] = [[n, label, v] for (n, label), v in section["spread"].items()]
            section.pop("profiles", None)
            plain[key] = section
    with open(stem + ".json", "w") as f:
        json.dump(plain, f, indent=1)
    return stem


# --------------------------------------------------------------------- main


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", help="interpreter to measure (default: $PYTHON, else the build's)")
    parser.add_argument("--build-dir", help="build to use (default: build-bench/py<X.Y>, Release)")
    parser.add_argument("--no-build", action="store_true", help="use the build directory as it is")
    parser.add_argument("--check", action="store_true", help="only check that all implementations agree")
    parser.add_argument("--calls", type=int, default=2000, help="N for callgrind (default 2000)")
    parser.add_argument(
        "--time-calls", type=int, default=10000, help="calls per timed sample (default 10000)"
    )
    parser.add_argument("--repeats", type=int, default=51, help="timed repeats (default 51)")
    parser.add_argument("--import-runs", type=int, default=21, help="fresh processes per module (default 21)")
    parser.add_argument("--no-callgrind", action="store_true", help="skip the instruction counts")
    parser.add_argument("--no-time", action="store_true", help="skip the wall-time measurement")
    parser.add_argument("--no-import", action="store_true", help="skip the import measurement")
    parser.add_argument(
        "--profile",
        action="append",
        default=[],
        metavar="ARGUMENT",
        help="also print per-function Ir/call for this argument class, velmo against the ideal type;"
        " repeatable",
    )
    parser.add_argument(
        "--keep-profiles", metavar="DIR", help="keep callgrind's dumps (with instructions) in DIR"
    )
    parser.add_argument("--out", help="folder for the results (default: <build>/bench-results)")
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    build_dir, python, cache = prepare_build(args)
    workloads = Workloads(python, build_dir)

    checked = workloads.run("check")
    if checked["problems"]:
        fail("the implementations disagree:\n  " + "\n  ".join(checked["problems"]))
    if args.check:
        print(f"compare.py: all implementations agree under Python {checked['python']} ({python})")
        return

    for label in args.profile:
        if label not in checked["labels"]:
            fail(f"--profile {label!r}: not an argument class")

    results = {
        "version": checked["python"],
        "python": python,
        "build_dir": build_dir,
        "build_type": cache.get("CMAKE_BUILD_TYPE", ""),
    }
    if args.no_callgrind:
        pass
    elif shutil.which("valgrind"):
        print("compare.py: counting instructions with callgrind ...", flush=True)
        keep = os.path.abspath(args.keep_profiles) if args.keep_profiles else None
        imports = not args.no_import
        results["callgrind"] = measure_callgrind(workloads, args.calls, args.profile, keep, imports)
    else:
        note = "valgrind is not installed, so there are no instruction counts (apt-get install valgrind)"
        results["callgrind_note"] = note
    results["load"] = os.getloadavg()[0]
    if not args.no_time:
        print("compare.py: timing ...", flush=True)
        results["time"] = measure_time(workloads, args.time_calls, args.repeats)
    if not args.no_import:
        print("compare.py: timing imports ...", flush=True)
        import_times = measure_import_time(workloads, args.import_runs)
        results["import"] = {
            "runs": args.import_runs,
            "time_us": {name: q[1] for name, q in import_times.items()},
            "time_spread_us": {name: (q[2] - q[0]) / 2 for name, q in import_times.items()},
            "collections": measure_import_collections(workloads),
        }

    text = report(results)
    print()
    print(text)
    stem = save(results, text, chart(results), args.out or os.path.join(build_dir, "bench-results"))
    print(f"written: {stem}.txt, .svg, .json")


if __name__ == "__main__":
    main(sys.argv[1:])
