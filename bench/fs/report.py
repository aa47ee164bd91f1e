#!/usr/bin/env python3
"""Turns the raw results of bench/fs/run into three tables: each system's median with min-max per
workload, brindle's speed relative to each peer, computed round by round, and the team's targets,
met or missed.

Input lines: ROUND<TAB>SYSTEM<TAB>WORKLOAD<TAB>VALUE, VALUE being a number or FAILED.
Usage: report.py RESULTS.tsv SYSTEMS [MARKDOWN_OUT]
"""
import statistics
import sys
from collections import defaultdict

# workload -> (label, unit, higher is better)
WORKLOADS = {
    "seq_write": ("sequential write 1 MiB", "MiB/s", True),
    "seq_read": ("sequential read 1 MiB", "MiB/s", True),
    "rand_read": ("random read 4 KiB direct, 4 jobs", "IOPS", True),
    "create": ("create empty files", "files/s", True),
    "stat": ("stat files", "stats/s", True),
    "ls_l": ("ls -l the directory", "s", False),
    "unlink": ("unlink files", "files/s", True),
    "untar": ("untar the tree", "s", False),
    "find": ("find the tree", "s", False),
    "git_status": ("second git status of the tree", "s", False),
    "noop_make": ("no-op make over the tree", "s", False),
    "rm_rf": ("rm -rf the tree", "s", False),
}

# Figures that are not speeds: workload -> (label, unit). The cold-stat latency is derived from
# the stat workload, whose files are uncached (the page cache and dentries are dropped before it).
COSTS = {
    "stat_latency": ("cold stat latency", "µs per stat"),
    "switches_per_create": ("context switches per create, all the mount's processes", "switches"),
}

# The team's targets for brindle's speed relative to a peer (1.0 = as fast).
TARGETS = {
    "sshfs": {
        "seq_write": 2.0, "seq_read": 3.0, "rand_read": 3.0, "create": 3.0,
        "unlink": 3.0, "untar": 3.0, "find": 1.0, "rm_rf": 3.0,
    },
    "bindfs": {
        "seq_read": 0.5, "create": 0.5, "stat": 0.5, "ls_l": 0.5,
        "unlink": 0.5, "untar": 0.5, "find": 0.5, "rm_rf": 0.5,
    },
}
# And on brindle's own costs: (bound, whether the bound itself still meets it).
COST_TARGETS = {"stat_latency": (100.0, False), "switches_per_create": (12.0, True)}


def load(path):
    values = defaultdict(dict)  # (system, workload) -> round -> float or None
    with open(path) as results:
        for line in results:
            round_, system, workload, value = line.rstrip("\n").split("\t")
            values[(system, workload)][int(round_)] = None if value == "FAILED" else float(value)
    for (system, workload), rounds in list(values.items()):
        if workload == "stat":
            values[(system, "stat_latency")] = {
                round_: (1e6 / rate if rate else None) for round_, rate in rounds.items()}
    return values


def number(value):
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def spread(samples, failed, fmt):
    if not samples:
        return "FAILED"
    text = fmt(statistics.median(samples))
    if len(samples) > 1:
        text += f" ({fmt(min(samples))}–{fmt(max(samples))})"
    if failed:
        text += f" [{failed} FAILED]"
    return text


def system_table(values, systems):
    header = ["workload", "unit"] + systems
    rows = []
    labels = [(w, label, unit) for w, (label, unit, _) in WORKLOADS.items()]
    labels += [(w, label, unit) for w, (label, unit) in COSTS.items()]
    for workload, label, unit in labels:
        row = [label, unit]
        for system in systems:
            rounds = values.get((system, workload), {})
            samples = [v for v in rounds.values() if v is not None]
            row.append(spread(samples, len(rounds) - len(samples), number) if rounds else "—")
        rows.append(row)
    return header, rows


def speed_ratios(values, workload, peer):
    """brindle's speed over the peer's in each round both finished; times are inverted."""
    higher_better = WORKLOADS[workload][2]
    ours = values.get(("brindle", workload), {})
    theirs = values.get((peer, workload), {})
    ratios = []
    for round_, mine in ours.items():
        other = theirs.get(round_)
        if mine is None or other is None or mine == 0 or other == 0:
            continue
        ratios.append(mine / other if higher_better else other / mine)
    return ratios


def ratio_table(values, systems):
    peers = [s for s in ("sshfs", "bindfs", "passthrough_ll", "native", "brindle_unwatched", "brindle_tls")
             if s in systems]
    header = ["workload"] + [f"brindle vs {peer}" for peer in peers]
    rows = []
    for workload, (label, _, _) in WORKLOADS.items():
        if not values.get(("brindle", workload)):
            rows.append([label] + ["—"] * len(peers))
            continue
        rows.append([label] + [spread(speed_ratios(values, workload, peer), 0, lambda r: f"{r:.2f}×")
                               for peer in peers])
    return header, rows


def verdict(median, met):
    if median is None:
        return "not measured"
    return "met" if met else "MISSED"


def target_table(values, systems):
    header = ["target", "brindle", "verdict"]
    rows = []
    for peer, targets in TARGETS.items():
        if peer not in systems:
            continue
        for workload, target in targets.items():
            ratios = speed_ratios(values, workload, peer)
            median = statistics.median(ratios) if ratios else None
            figure = f"{median:.2f}×" if median is not None else "—"
            rows.append([f"{WORKLOADS[workload][0]}: ≥ {target:g}× {peer}", figure,
                         verdict(median, median is not None and median >= target)])
    for workload, (bound, inclusive) in COST_TARGETS.items():
        label, unit = COSTS[workload]
        samples = [v for v in values.get(("brindle", workload), {}).values() if v is not None]
        median = statistics.median(samples) if samples else None
        figure = f"{number(median)} {unit}" if median is not None else "—"
        met = median is not None and (median <= bound if inclusive else median < bound)
        rows.append([f"{label}: {'≤' if inclusive else '<'} {bound:g} {unit}", figure, verdict(median, met)])
    return header, rows


def plain(header, rows):
    widths = [max(len(r[i]) for r in [header] + rows) for i in range(len(header))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(header, widths)).rstrip()]
    lines.append("  ".join("-" * w for w in widths))
    lines += ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
    return "\n".join(lines)


def markdown(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(lines)


SYSTEMS_TITLE = ("Median (min–max) over the rounds; FAILED: the workload's own check failed or the "
                 "system did not mount.")
RATIO_TITLE = ("brindle's speed relative to each peer, per round (times inverted, so > 1× means "
               "brindle is faster); median (min–max) of the rounds.")
TARGET_TITLE = ("The targets: brindle's median speed ratio against a peer, and brindle's median costs; "
                "a peer not in the run leaves its targets out.")


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    values = load(sys.argv[1])
    systems = sys.argv[2].split(",")
    tables = [(SYSTEMS_TITLE, system_table(values, systems))]
    if "brindle" in systems and len(systems) > 1:
        tables.append((RATIO_TITLE, ratio_table(values, systems)))
    if "brindle" in systems:
        tables.append((TARGET_TITLE, target_table(values, systems)))
    for title, (header, rows) in tables:
        print(f"\n{title}\n{plain(header, rows)}")
    if len(sys.argv) == 4:
        with open(sys.argv[3], "w") as out:
            out.write("\n\n".join(f"{title}\n\n{markdown(*table)}" for title, table in tables))
            out.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
