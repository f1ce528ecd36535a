"""From a run's JSON: the table (Markdown), the plot (PNG) and README.md's block (written
with scripts/generated.py), each stamped with the commit measured and the date of the run."""

from __future__ import annotations

import math
import re
import subprocess
from pathlib import Path

from harness import ROOT, goal_met

import generated  # on sys.path through harness

YES = {True: "yes", False: "**no**", None: "-"}


def machine_line(run: dict) -> str:
    m = run["machine"]
    return (f"Plan {run['plan']} ({run['rounds']} paired rounds); {m['cpu']} x{m['cores']}, "
            f"Python {m['python']}, redis-server {m['redis_server'] or '-'}, redis-py "
            f"{m['redis_py']} ({m['parser']} parser), orjson {m['orjson']}.")


def stamp_line(run: dict) -> str:
    return f"Commit {run['stamp']['tree']}, {run['stamp']['date']}. {machine_line(run)}"


def split(run: dict) -> tuple[list, list]:
    """(figure, row) pairs: against a real server, and the own-cost rows."""
    pairs = [(f, r) for f in run["figures"] for r in f["rows"]]
    return [p for p in pairs if p[0]["num"] != "own"], [p for p in pairs if p[0]["num"] == "own"]


def goal_of(f: dict, r: dict) -> str:
    return f["goal"] if r["checked"] and f["goal"] else "reported"


def verdict(f: dict, r: dict) -> str:
    """yes / no / -; a missed goal that the confidence interval still reaches says so: the
    run cannot tell."""
    if r["met"] is not False or "ci" not in r:
        return YES[r["met"]]
    reached = goal_met(f["goal"], r["ci"][1] if f["goal"].startswith(">") else r["ci"][0])
    return "**no** (CI reaches goal)" if reached else "**no**"


def ci(r: dict, what: str = "ci") -> str:
    lo, hi = r[what]
    return f"[{lo:.3f}..{hi:.3f}]"


def committed_own(md: Path) -> tuple[str, dict[str, float]]:
    """The own-cost ratios by case in the committed version of the report `md` (the run
    before this one), with the commit that run measured; ("", {}) when there is none."""
    try:
        text = subprocess.run(["git", "-C", str(ROOT), "show", f"HEAD:{md.relative_to(ROOT).as_posix()}"],
                              capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError, ValueError):
        return "", {}
    commit = re.search(r"^Commit (\S+),", text, re.M)
    own = text.partition("| case |")[2].splitlines()[2:]
    ratios = {cells[0]: float(cells[3]) for cells in
              ([c.strip() for c in line.strip("|").split("|")] for line in own if line.startswith("| "))}
    return (commit[1] if commit else "?"), ratios


def own_table(rows: list, before: tuple[str, dict[str, float]] = ("", {})) -> list[str]:
    commit, ratios = before
    lines = ["| case | instructions module | PyWrapper | ratio | goal | met | CPU ratio [95% CI] "
             f"| CPU ns module | PyWrapper | ratio at {commit or '-'} |",
             "|---|---:|---:|---:|---|---|---|---:|---:|---:|"]
    for f, r in rows:
        was = ratios.get(r["label"])
        lines.append(f"| {r['label']} | {r['module_instr']:,.0f} | {r['python_instr']:,.0f} | "
                     f"{r['ratio']:.3f} | {f['goal']} | {YES[r['met']]} | {r['cpu_ratio']:.3f} "
                     f"{ci(r, 'cpu_ci')} | {r['module_ns']:.0f} | {r['python_ns']:.0f} | "
                     f"{'-' if was is None else f'{was:.3f}'} |")
    return lines


def table(run: dict, before: tuple[str, dict[str, float]] = ("", {})) -> str:
    server, own = split(run)
    lines = ["# Benchmark results", "", stamp_line(run), ""]
    if server:
        lines += ["Against a real redis-server. Ratio: median over the paired rounds of module "
                  "/ peer in calls (records) per second, except figure 5 (time per call: lower "
                  "is better); CPU ratio: the same with process CPU time (all threads).", "",
                  "| # | figure | row | compared with | ratio [95% CI] | goal | met | CPU ratio "
                  "| module /s | peer /s |", "|---|---|---|---|---|---|---|---:|---:|---:|"]
        for f, r in server:
            lines.append(f"| {r['key']} | {f['title']} | {r['label']} | {r['vs']} | "
                         f"{r['ratio']:.3f} {ci(r)} | {goal_of(f, r)} | {verdict(f, r)} | "
                         f"{r['cpu_ratio']:.3f} | {r['a_rate']:,.0f} | {r['b_rate']:,.0f} |")
        lines.append("")
    if own:
        lines += ["The module's own cost per call against PyWrapper, on a client without I/O. "
                  "Instructions (callgrind, per call) decide; CPU ratio: median over the paired "
                  "rounds of module / PyWrapper CPU time. The last column: the ratio in the "
                  "committed run before this one.", ""] + own_table(own, before)
    return "\n".join(lines) + "\n"


def own_summary(own: list, before: tuple[str, dict[str, float]] = ("", {})) -> str:
    """One line on the own cost for the README: how many cases meet the goal, the worst, and
    the worst of the committed run before this one."""
    f, worst = max(own, key=lambda p: p[1]["ratio"])
    met = sum(1 for _, r in own if r["met"])
    line = (f"Own cost per call against PyWrapper (instructions, clients without I/O): {met} of "
            f"{len(own)} cases within {f['goal']}; highest: {worst['label']} at "
            f"{worst['ratio']:.3f}")
    commit, ratios = before
    if ratios:
        label, ratio = max(ratios.items(), key=lambda kv: kv[1])
        line += f" (the run at {commit}: highest {label} at {ratio:.3f})"
    return line + "."


def readme_block(run: dict, png: str, md: str, before: tuple[str, dict[str, float]] = ("", {})) -> str:
    """One line per figure and comparison in README.md, then the own cost in one line."""
    server, own = split(run)
    groups: dict[str, list] = {}
    for f, r in server:  # "6/1KB" and "6/1MB" share a line, "6m/1KB" has its own
        groups.setdefault(r["key"].split("/")[0], []).append((f, r))
    lines = [machine_line(run), "",
             "| # | figure | compared with | ratio | goal | met |", "|---|---|---|---:|---|---|"]
    for key, rows in groups.items():
        (f, first), said = rows[0], {verdict(f, r) for f, r in rows}
        ratios = " / ".join(f"{r['ratio']:.3f}" for _, r in rows)
        lines.append(f"| {key} | {first['label'] if len(rows) == 1 else f['title']} | "
                     f"{first['vs']} | {ratios} | {goal_of(f, first)} | "
                     f"{min(said, key=['**no**', '**no** (CI reaches goal)', 'yes', '-'].index)} |")
    if own:
        lines += ["", own_summary(own, before)]
    return "\n".join(lines + ["", f"Every row, with intervals and rates: [{md}]({md}).", "",
                              f"![benchmark plot]({png})"])


PANELS = [  # which rows, title, x-axis label
    (lambda f: f["num"] not in ("5", "own"),
     "Against a real redis-server: throughput, module / peer (higher is better)",
     "ratio of calls (records) per second, module / peer; above 1: the module is faster"),
    (lambda f: f["num"] == "5",
     "Against a real redis-server, queue full: caller's time per call (lower is better)",
     "ratio of time per call, module / the same queue operations in Python; below 1: faster"),
    (lambda f: f["num"] == "own",
     "Own cost per call, clients without I/O: module / PyWrapper (lower is better)",
     "ratio of instructions per call (callgrind), and of CPU time; below 1: the module is cheaper"),
]


def plot(run: dict, path: Path) -> None:
    """One panel per kind of figure, each read on its own: throughput ratios (higher is
    better), figure 5's caller's time and the own cost (lower is better). Every bar starts
    at 0 and ends inside its panel, whiskers included."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    pairs = [(f, r) for f in run["figures"] for r in f["rows"]]
    panels = [([p for p in pairs if keep(p[0])], title, xlabel) for keep, title, xlabel in PANELS]
    panels = [p for p in panels if p[0]]
    n = sum(len(rows) for rows, _, _ in panels)
    height = 2.2 + 0.24 * n + 0.9 * len(panels)  # inches: legend and title take ~1.3
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, height),
                             squeeze=False,
                             gridspec_kw={"height_ratios": [len(p[0]) + 2.5 for p in panels]})
    colour = {True: "tab:green", False: "tab:red", None: "tab:grey"}
    for ax, (rows, title, xlabel) in zip(axes[:, 0], panels):
        y = list(range(len(rows)))
        vals = [r["ratio"] for _, r in rows]
        errs = [[max(0, v - r["ci"][0]) if "ci" in r else 0 for v, (_, r) in zip(vals, rows)],
                [max(0, r["ci"][1] - v) if "ci" in r else 0 for v, (_, r) in zip(vals, rows)]]
        ax.barh(y, vals, xerr=errs if any("ci" in r for _, r in rows) else None, height=0.6,
                capsize=2, alpha=0.85,
                color=[colour[r["met"]] for _, r in rows])
        ends = [v + e for v, e in zip(vals, errs[1])]
        cpu = [(i, r["cpu_ratio"]) for i, (f, r) in enumerate(rows) if f["num"] == "own"]
        if cpu:  # the CPU-time ratio as a thin bar below each instruction ratio
            ax.barh([i + 0.4 for i, _ in cpu], [c for _, c in cpu], height=0.22,
                    color="tab:blue", alpha=0.6)
            ends += [c for _, c in cpu]
        for i, (f, r) in enumerate(rows):
            if r["checked"] and f["goal"]:
                goal = float(f["goal"].split()[1])
                ends.append(goal)
                ax.plot([goal] * 2, [i - 0.42, i + 0.42], color="black", lw=1.5)
        ax.set_xlim(0, 1.06 * max([e for e in ends if math.isfinite(e)] + [1.0]))
        ax.axvline(1.0, color="grey", lw=0.8, ls=":")
        ax.set_yticks(y, [label(f, r) for f, r in rows], fontsize=7.5)
        ax.set_ylim(len(rows) - 0.4, -0.6)
        ax.grid(axis="x", lw=0.3, alpha=0.5)
        ax.set_title(title, fontsize=9.5, loc="left")
        ax.set_xlabel(xlabel, fontsize=8.5)
    handles = [Patch(color=colour[True], alpha=0.85, label="goal met"),
               Patch(color=colour[False], alpha=0.85, label="goal missed"),
               Patch(color=colour[None], alpha=0.85, label="reported (no goal)"),
               Line2D([], [], color="black", lw=1.5, label="goal"),
               Line2D([], [], color="grey", lw=0.8, ls=":", label="parity (1.0)"),
               Line2D([], [], color="black", lw=1, label="whisker: 95% interval of the median")]
    if any(f["num"] == "own" for f, _ in pairs):
        handles.insert(3, Patch(color="tab:blue", alpha=0.6, label="CPU-time ratio (own cost)"))
    fig.legend(handles=handles, loc="lower center", ncol=4, fontsize=7.5, frameon=False)
    fig.suptitle(f"RedisWrapper against redis-py used directly and against PyWrapper (the same "
                 f"behaviour in Python)\ncommit {run['stamp']['tree']}, {run['stamp']['date']}, "
                 f"plan {run['plan']} ({run['rounds']} paired rounds)", fontsize=9.5)
    fig.tight_layout(rect=(0, 0.75 / height, 1, 1 - 0.5 / height))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def label(f: dict, r: dict) -> str:
    """A row's name on the plot: code, what is measured, and against what."""
    if f["num"] == "own":
        return f"own: {r['label']}"
    return f"{r['key']}  {r['label']}  (vs {r['vs']})"


def write(run: dict, out: Path, stem: str, readme: bool) -> None:
    out.mkdir(parents=True, exist_ok=True)
    md, png = out / f"{stem}.md", out / f"{stem}.png"
    before = committed_own(out / "bench.md")  # the last full run committed
    md.write_text(table(run, before))
    plot(run, png)
    if readme:
        generated.write_block(ROOT / "README.md", "bench",
                              readme_block(run, png.relative_to(ROOT).as_posix(),
                                           md.relative_to(ROOT).as_posix(), before),
                              "bash scripts/bench.sh", [md, png], commit=run["stamp"]["tree"],
                              date=run["stamp"]["date"][:10])
    print(f"bench: wrote {md} and .png" + (" and README.md's block" if readme else ""))
