"""Result rows, the printed table and the plots.

    python benchmarks/report.py RESULTS_DIR

redraws RESULTS_DIR/benchmarks.png and scaling.png from the series.txt that
run.py wrote there, without measuring again."""

from __future__ import annotations

import ast
import math
import os
import sys
from dataclasses import dataclass, field


@dataclass
class Row:
    workload: str
    system: str
    measure: str
    value: float
    unit: str
    ratio: float | None = None
    ratio_label: str = ""
    target: str = ""
    met: bool | None = None
    note: str = ""


@dataclass
class Results:
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    # Series for the plot, by workload: {label: value} or richer structures.
    series: dict = field(default_factory=dict)

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        return row


def fmt_value(value: float, unit: str) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if unit == "s":
        if value < 1e-6:
            return f"{value * 1e9:.1f} ns"
        if value < 1e-3:
            return f"{value * 1e6:.1f} µs"
        if value < 1:
            return f"{value * 1e3:.2f} ms"
        return f"{value:.2f} s"
    if unit in ("ops/s", "blocks/s"):
        return f"{value:,.0f} {unit}" if value >= 10 else f"{value:.2f} {unit}"
    if unit == "ns/op":
        return f"{value:.0f} ns/op"
    return f"{value:.3g} {unit}"


def fmt_ratio(row: Row) -> str:
    if row.ratio is None:
        return ""
    r = row.ratio
    text = f"{r:.2f}" if r < 10 else f"{r:.0f}" if r < 1e4 else f"{r:.2e}"
    return f"{text} {row.ratio_label}".strip()


def render_table(results: Results) -> str:
    header = ["Workload", "System", "Measure", "Value", "Ratio", "Target", "Met"]
    body = []
    for r in results.rows:
        met = "" if r.met is None else ("yes" if r.met else "NO")
        body.append([r.workload, r.system, r.measure, fmt_value(r.value, r.unit),
                     fmt_ratio(r), r.target, met])
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h)
              for i, h in enumerate(header)]
    line = "  ".join("-" * w for w in widths)
    out = ["  ".join(h.ljust(w) for h, w in zip(header, widths)), line]
    previous = None
    for r, cells in zip(results.rows, body):
        if previous is not None and r.workload != previous:
            out.append("")
        previous = r.workload
        out.append("  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip())
    notes = [f"  - {r.workload} / {r.system}: {r.note}" for r in results.rows if r.note]
    if notes:
        out += ["", "Row notes:"] + notes
    if results.notes:
        out += ["", "Notes:"] + [f"  - {n}" for n in results.notes]
    targets = [r for r in results.rows if r.met is not None]
    if targets:
        missed = [r for r in targets if not r.met]
        out += ["", f"Targets met: {len(targets) - len(missed)} of {len(targets)}"
                + ("" if not missed else "; missed: "
                   + ", ".join(f"{r.workload} {r.system} ({r.measure})" for r in missed))]
    return "\n".join(out)


def _pyplot():
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


NO_MATPLOTLIB = "matplotlib is not installed (run benchmarks/setup.sh); no plot written"


def bars(ax, data: dict, title: str, ylabel: str, log: bool = False, line=None) -> None:
    if not data:
        ax.set_title(title + " (not run)")
        ax.axis("off")
        return
    labels = list(data)
    values = [data[k] for k in labels]
    colors = ["tab:orange" if k.startswith("quorlib") else "tab:blue" for k in labels]
    ax.bar(range(len(labels)), values, color=colors)
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels, rotation=30, ha="right", fontsize=8)
    ax.set_title(title)
    ax.set_ylabel(ylabel)
    if log:
        ax.set_yscale("log")
    if line is not None:
        ax.axhline(line[0], color="red", linestyle="--", linewidth=1, label=line[1])
        ax.set_ylim(top=max(ax.get_ylim()[1], line[0] * (2 if log else 1.1)))
        ax.legend(fontsize=8)


def not_run(ax, title: str) -> None:
    ax.set_title(title + " (not run)")
    ax.axis("off")


def w7_panel(ax, s: dict) -> None:
    title = "W7 read-mostly: 8 holders, 10 reads + 1 write per block"
    rates = s.get("W7", {})
    bars(ax, rates, title, "blocks per second (log)", log=True)
    calls = s.get("W7_calls", {})
    for i, name in enumerate(rates):
        per_block = calls.get(name)
        if per_block is not None:
            ax.annotate(f"{per_block:.3g} calls/block", (i, rates[name]), ha="center",
                        va="bottom", fontsize=8)


def w8_panel(ax, s: dict) -> None:
    title = "W8 list reads: 1,000 elements, chunks resident"
    w8 = s.get("W8", {})
    if not w8:
        not_run(ax, title)
        return
    ops = list(w8)
    systems = {"list": ("plain list", "tab:blue"), "quorlib": ("quorlib, in a block", "tab:orange"),
               "actor": ("single actor", "tab:green")}
    width = 0.8 / len(systems)
    for j, (system, (label, color)) in enumerate(systems.items()):
        ax.bar([i + j * width for i in range(len(ops))], [w8[op][system] for op in ops], width,
               label=label, color=color)
    ax.set_xticks([i + width for i in range(len(ops))])
    ax.set_xticklabels(["lst[i] (one read)", "iteration (one pass)"], fontsize=8)
    ax.set_yscale("log")
    ax.set_ylabel("seconds (log)")
    ax.legend(fontsize=8)
    ax.set_title(title)


def w9_panel(ax, s: dict) -> None:
    title = "W9 scaling with size, against the object-store floor"
    w9 = s.get("W9", {})
    if not w9:
        not_run(ax, title)
        return
    for name, points in w9.items():
        ns = sorted(points)
        reference = "floor" in name
        ax.plot(ns, [points[n] for n in ns], marker="" if reference else "o", label=name,
                color=("black" if name.startswith("floor") else "gray") if reference else None,
                linestyle="--" if reference else "-")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("items")
    ax.set_ylabel("seconds (log)")
    ax.legend(fontsize=8)
    ax.set_title(title)


def w10_panel(ax, s: dict) -> None:
    title = "W10 holders: W3's blocks of 100 increments"
    w10 = s.get("W10", {})
    if not w10:
        not_run(ax, title)
        return
    for name, points in w10.items():
        hs = sorted(points)
        ax.plot(hs, [points[h] for h in hs], marker="o", label=name,
                color="tab:orange" if name.startswith("quorlib") else "tab:blue")
    ax.set_xscale("log", base=2)
    ax.set_xticks(sorted({h for p in w10.values() for h in p}))
    ax.set_xticklabels([str(h) for h in sorted({h for p in w10.values() for h in p})])
    ax.set_yscale("log")
    ax.set_xlabel("holders")
    ax.set_ylabel("increments per second (log)")
    ax.legend(fontsize=8)
    ax.set_title(title)


def side_by_side_panel(ax, s: dict) -> None:
    """W13 and W14: the blocks that run side by side against `with d:`."""
    title = "W13 disjoint keys, W14 readers: blocks side by side"
    groups = {f"W13, {h} holders": rates for h, rates in sorted(s.get("W13", {}).items())}
    if s.get("W14"):
        groups["W14, 4 readers"] = s["W14"]
    if not groups:
        not_run(ax, title)
        return
    names = list(groups)
    whole = [next(v for k, v in groups[g].items() if "whole" in k or k == "with d:") for g in names]
    scoped = [next(v for k, v in groups[g].items() if "whole" not in k and k != "with d:")
              for g in names]
    ax.bar([i - 0.2 for i in range(len(names))], whole, 0.4, label="`with d:`",
           color="tab:blue")
    ax.bar([i + 0.2 for i in range(len(names))], scoped, 0.4,
           label="d.locking(key) / d.reading()", color="tab:orange")
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels(names, fontsize=8)
    ax.set_ylabel("blocks per second")
    ax.set_ylim(top=max(whole + scoped) * 1.25)  # room for the legend above the bars
    ax.legend(fontsize=8, loc="upper left")
    ax.set_title(title)


def save_scaling_plot(results: Results, path: str) -> str | None:
    """W7-W10 by themselves, two by two."""
    plt = _pyplot()
    if plt is None:
        return NO_MATPLOTLIB
    s = results.series
    fig, axes = plt.subplots(2, 2, figsize=(13, 10))
    fig.suptitle("quorlib: read-mostly blocks, list reads, size and holders (one run, same machine)")
    for ax, panel in zip((axes[0][0], axes[0][1], axes[1][0], axes[1][1]),
                         (w7_panel, w8_panel, w9_panel, w10_panel)):
        panel(ax, s)
    fig.tight_layout(rect=(0, 0, 1, 0.98))  # room for the title
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


def save_plot(results: Results, path: str) -> str | None:
    plt = _pyplot()
    if plt is None:
        return NO_MATPLOTLIB
    s = results.series
    fig, axes = plt.subplots(4, 3, figsize=(17, 20))
    fig.suptitle("quorlib against the usual alternatives (one run, same machine)")

    bars(axes[0][0], s.get("W1", {}), "W1 local ops on resident keys", "ns per op")
    bars(axes[0][1], s.get("W2", {}), "W2 batch: 10,000 increments, one holder",
         "seconds (log)", log=True)
    bars(axes[0][2], s.get("W3", {}), "W3 contended: 4 tasks, increments per second",
         "ops/s (log)", log=True)
    bars(axes[1][0], s.get("W4", {}), "W4 list ops in a block, and whole blocks",
         "seconds (log)", log=True, line=(0.05, "target for a block: 50 ms"))

    ax = axes[1][1]
    w5 = s.get("W5", {})
    if w5:
        systems = list(w5)
        counts = sorted({n for v in w5.values() for n in v})
        width = 0.8 / max(1, len(counts))
        for j, n in enumerate(counts):
            ax.bar([i + j * width for i in range(len(systems))],
                   [w5[sy].get(n, float("nan")) for sy in systems], width,
                   label="one actor / server" if n == 1 else f"{n} chunks / actors")
        ax.set_xticks([i + width * (len(counts) - 1) / 2 for i in range(len(systems))])
        ax.set_xticklabels(systems, rotation=30, ha="right", fontsize=8)
        ax.set_yscale("log")
        ax.set_ylabel("seconds (log)")
        ax.legend(fontsize=8)
    ax.set_title("W5 creation to first completed block / call")

    ax = axes[1][2]
    w6 = s.get("W6", {})
    if w6:
        for size, points in w6.items():
            ks = sorted(points)
            ax.plot(ks, [points[k] * 1e3 for k in ks], marker="o", label=f"{size:,} items/chunk")
        ax.set_xlabel("resident chunks")
        ax.set_ylabel("ms per empty block")
        ax.legend(fontsize=8)
    ax.set_title("W6 empty `with` block: write-back cost")

    w7_panel(axes[2][0], s)
    w8_panel(axes[2][1], s)
    w9_panel(axes[2][2], s)
    w10_panel(axes[3][0], s)
    bars(axes[3][1], s.get("W11", {}), "W11 small blocks: 4 holders, 1 increment per block",
         "blocks or calls per second")
    side_by_side_panel(axes[3][2], s)

    fig.tight_layout(rect=(0, 0, 1, 0.98))  # room for the title
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


def save_series(results: Results, path: str) -> None:
    # repr, not JSON: the series have int keys (sizes, chunk and holder counts)
    with open(path, "w") as f:
        f.write(repr(results.series) + "\n")


def load_series(path: str) -> Results:
    with open(path) as f:
        return Results(series=ast.literal_eval(f.read()))


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__)
        return 2
    results = load_series(os.path.join(argv[0], "series.txt"))
    problem = (save_plot(results, os.path.join(argv[0], "benchmarks.png"))
               or save_scaling_plot(results, os.path.join(argv[0], "scaling.png")))
    print(problem or f"Redrew the plots in {argv[0]}")
    return 1 if problem else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
