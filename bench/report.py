#!/usr/bin/env python3
"""Turns the figures run.sh collected into bench/results.md (on stdout)."""
import argparse
import difflib
import json
import os

FLOOR = "/bin/true"
WINE_FLOOR = "nothing.exe"


def size_label(size):
    units = {"K": "KiB", "M": "MiB", "G": "GiB"}
    return f"{size[:-1]} {units[size[-1]]}" if size[-1] in units else f"{size} B"


def load_times(path):
    """Median and fastest run in milliseconds, by command name. Ratios use the
    median: on a shared machine a few slow runs move the mean far."""
    with open(path) as f:
        results = json.load(f)["results"]
    return {r["command"]: (r["median"] * 1000, r["min"] * 1000) for r in results}


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |",
             "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def read_calls(path):
    return [line.strip() for line in open(path) if line.strip()]


def before_after(args, machine, times, counts, size):
    """The section that sets a backup by an older build beside this one's."""
    after, before = "kembu b", args.before_label
    (after_median, after_fastest), (before_median, before_fastest) = times[after], times[before]
    filesystem = dict(machine).get("filesystem", "?").split(" ")[0]
    out = [f"## What the changes since {args.before_rev} cost a backup", ""]
    out.append(f"`{after}` as built from {args.after_rev} (the last commit to change the "
               f"program; the Linux build above) and from {args.before_rev}, on the "
               f"{size_label(size)} image. Both were timed in the same hyperfine run, in the same "
               f"scratch directory on the same {filesystem} file system, one right after the "
               "other: hyperfine makes all runs of one command before the next, not interleaved.")
    out.append("")
    calls = difflib.SequenceMatcher(a=read_calls(args.before_calls), b=read_calls(args.calls_backup),
                                    autojunk=False)
    changes = []
    for op, a1, a2, b1, b2 in calls.get_opcodes():
        if op in ("replace", "delete"):
            changes.append("fewer " + ", ".join(calls.a[a1:a2]))
        if op in ("replace", "insert"):
            changes.append("more " + ", ".join(calls.b[b1:b2]))
    out.append(f"System calls of {args.after_rev} against {args.before_rev}, after start-up: "
               + ("; ".join(changes) if changes else "the same") + ".")
    out.append("")
    rows = []
    for rev, name in ((f"{args.before_rev} (before)", before), (f"{args.after_rev} (after)", after)):
        median, fastest = times[name]
        instructions, ncalls = counts[size, name]
        rows.append([rev, f"{median:.2f} ms ({fastest:.2f})", f"{median / before_median:.2f}×",
                     f"{instructions:,}", str(ncalls)])
    rows.append(["difference", f"{after_median - before_median:+.2f} ms "
                 f"({after_fastest - before_fastest:+.2f})", "",
                 f"{counts[size, after][0] - counts[size, before][0]:+,}",
                 f"{counts[size, after][1] - counts[size, before][1]:+d}"])
    out.append(table(["`kembu b`", "wall time, median (fastest)", "× before", "instructions",
                      "system calls"], rows))
    out.append("")
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", required=True)
    parser.add_argument("--warmup", required=True)
    parser.add_argument("--wine-warmup", required=True)
    parser.add_argument("--machine", required=True)
    parser.add_argument("--counts", required=True)
    parser.add_argument("--json-dir", required=True)
    parser.add_argument("--calls-backup", required=True)
    parser.add_argument("--calls-restore", required=True)
    parser.add_argument("--static-calls-backup")
    parser.add_argument("--static-calls-restore")
    parser.add_argument("--before-label")
    parser.add_argument("--before-rev")
    parser.add_argument("--after-rev")
    parser.add_argument("--before-calls")
    parser.add_argument("--sizes", nargs="+", required=True)
    parser.add_argument("--wine-sizes", nargs="*", default=[])
    args = parser.parse_args()

    machine = [line.rstrip("\n").split("\t", 1) for line in open(args.machine)]
    counts = {}
    commands = []
    for line in open(args.counts):
        size, name, instructions, calls = line.rstrip("\n").split("\t")
        counts[size, name] = (int(instructions), int(calls))
        # The older program is timed on one size only: it has its own section.
        if name not in commands and name != args.before_label:
            commands.append(name)
    times = {size: load_times(os.path.join(args.json_dir, f"linux-{size}.json"))
             for size in args.sizes}

    def wall(size, name):
        return times[size][name][0] / times[size][FLOOR][0]

    def instr(size, name):
        return counts[size, name][0] / counts[size, FLOOR][0]

    out = ["# kembu: speed and size", ""]
    out.append("Generated by `bench/run.sh`; do not edit by hand.")
    out.append("")
    out += [f"- {key}: {value}" for key, value in machine]
    out.append(f"- wall time: hyperfine, {args.runs} runs after {args.warmup} warm-ups "
               f"({args.wine_warmup} under Wine), no shell; instructions: callgrind's total, dynamic loader and libc "
               "start-up included (none for the static program); system calls: strace -f, every call counted")
    out.append("")
    out.append("Every command runs in a scratch directory holding the image. `kembu b` and "
               "`kembu r` flush what they write (fsync); the peers do not. `dd` copies the "
               "body without checking the checksum; the Python script "
               "(`bench/peer_backup.py`) checks it.")
    out.append("")

    first = args.sizes[0]
    out.append(f"## Linux, {size_label(first)} image, against the floor ({FLOOR})")
    out.append("")
    rows = []
    for name in commands:
        median, fastest = times[first][name]
        instructions, calls = counts[first, name]
        rows.append([f"`{name}`", f"{median:.2f} ms ({fastest:.2f})", f"{wall(first, name):.2f}×",
                     f"{instructions:,}", f"{instr(first, name):.3f}×", str(calls),
                     f"{calls - counts[first, FLOOR][1]:+d}"])
    out.append(table(["command", "wall time, median (fastest)", "× floor", "instructions", "× floor",
                      "system calls", "beyond floor"], rows))
    out.append("")

    if args.before_label:
        out += before_after(args, machine, times[first], counts, first)

    out.append("## Linux, by image size (sparse past the header)")
    out.append("")
    labels = [size_label(s) for s in args.sizes]
    out.append("Instructions:")
    out.append("")
    out.append(table(["command"] + labels,
                     [[f"`{n}`"] + [f"{counts[s, n][0]:,}" for s in args.sizes]
                      for n in commands]))
    out.append("")
    out.append("Wall time (median), × floor in the same run:")
    out.append("")
    out.append(table(["command"] + labels,
                     [[f"`{n}`"] + [f"{wall(s, n):.2f}×" for s in args.sizes]
                      for n in commands]))
    out.append("")
    out.append("System calls:")
    out.append("")
    out.append(table(["command"] + labels,
                     [[f"`{n}`"] + [str(counts[s, n][1]) for s in args.sizes]
                      for n in commands]))
    out.append("")

    if args.wine_sizes:
        out.append(f"## Windows program under Wine, against a program that does nothing")
        out.append("")
        out.append(f"`{WINE_FLOOR}` is built like `kembu.exe` (no C runtime, raw entry point, "
                   "KERNEL32 only) and calls `ExitProcess(0)`. One persistent wineserver "
                   "serves all runs. Wall time only.")
        out.append("")
        rows = []
        for size in args.wine_sizes:
            wine = load_times(os.path.join(args.json_dir, f"wine-{size}.json"))
            for name, (median, fastest) in wine.items():
                rows.append([f"`{name}`", size_label(size), f"{median:.1f} ms ({fastest:.1f})",
                             f"{median / wine[WINE_FLOOR][0]:.2f}×"])
        out.append(table(["program", "image", "wall time, median (fastest)",
                          f"× {WINE_FLOOR}"], rows))
        out.append("")

    out.append("## System calls after start-up")
    out.append("")
    out.append(f"What `kembu` calls once the dynamic loader and libc have made the calls "
               f"{FLOOR} makes too (names as `bench/budgets.sh` folds them):")
    out.append("")
    for label, path in (("backup", args.calls_backup), ("restore", args.calls_restore)):
        names = [line.strip() for line in open(path) if line.strip()]
        out.append(f"- {label} ({len(names)}): " + ", ".join(names))
    out.append("")
    if args.static_calls_backup:
        out.append("What the static `kembu` calls, with no loader, from the first call after "
                   "`execve` (musl's start-up sets the thread pointer and learns the thread id):")
        out.append("")
        for label, path in (("backup", args.static_calls_backup),
                            ("restore", args.static_calls_restore)):
            names = [line.strip() for line in open(path) if line.strip()]
            out.append(f"- {label} ({len(names)}): " + ", ".join(names))
        out.append("")
    print("\n".join(out))


if __name__ == "__main__":
    main()
