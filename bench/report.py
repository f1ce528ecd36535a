"""From a run's JSON: the table (Markdown), the plot (PNG) and README.md's results block,
each stamped with the tree measured and the date of the run."""

from __future__ import annotations

import math
from pathlib import Path

from harness import ROOT, goal_met

BEGIN, END = "<!-- bench:results:begin -->", "<!-- bench:results:end -->"
YES = {True: "yes", False: "**no**", None: "-"}


def stamp_line(run: dict) -> str:
    m = run["machine"]
    return (f"Tree {run['stamp']['tree']}, {run['stamp']['date']}, plan {run['plan']} "
            f"({run['rounds']} paired rounds); {m['cpu']} x{m['cores']}, Python {m['python']}, "
            f"redis-server {m['redis_server'] or '-'}, redis-py {m['redis_py']} "
            f"({m['parser']} parser), orjson {m['orjson']}.")


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


def own_table(rows: list) -> list[str]:
    lines = ["| case | instructions module | PyWrapper | ratio | goal | met | CPU ratio [95% CI] "
             "| CPU ns module | PyWrapper |", "|---|---:|---:|---:|---|---|---|---:|---:|"]
    for f, r in rows:
        lines.append(f"| {r['label']} | {r['module_instr']:,.0f} | {r['python_instr']:,.0f} | "
                     f"{r['ratio']:.3f} | {f['goal']} | {YES[r['met']]} | {r['cpu_ratio']:.3f} "
                     f"{ci(r, 'cpu_ci')} | {r['module_ns']:.0f} | {r['python_ns']:.0f} |")
    return lines


def table(run: dict) -> str:
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
                  "rounds of module / PyWrapper CPU time.", ""] + own_table(own)
    return "\n".join(lines) + "\n"


def readme_block(run: dict, png: str) -> str:
    """One line per figure and comparison in README.md, then the own-cost table."""
    server, own = split(run)
    groups: dict[str, list] = {}
    for f, r in server:  # "6/1 KB" and "6/1 MB" share a line, "6m/1 KB" has its own
        groups.setdefault(r["key"].split("/")[0], []).append((f, r))
    lines = [stamp_line(run), "", "| # | figure | compared with | ratio | goal | met |",
             "|---|---|---|---:|---|---|"]
    for key, rows in groups.items():
        (f, first), said = rows[0], {verdict(f, r) for f, r in rows}
        ratios = " / ".join(f"{r['ratio']:.3f}" for _, r in rows)
        lines.append(f"| {key} | {first['label'] if len(rows) == 1 else f['title']} | "
                     f"{first['vs']} | {ratios} | {goal_of(f, first)} | "
                     f"{min(said, key=['**no**', '**no** (CI reaches goal)', 'yes', '-'].index)} |")
    if own:
        lines += ["", "Own cost per call, module against PyWrapper (clients without I/O):", ""]
        lines += own_table(own)
    return "\n".join(lines + ["", f"![benchmark plot]({png})"])


def update_readme(run: dict, png: str) -> None:
    path = ROOT / "README.md"
    text = path.read_text()
    if text.count(BEGIN) != 1 or text.count(END) != 1:
        raise RuntimeError(f"README.md needs one {BEGIN} and one {END}")
    head, rest = text.split(BEGIN)
    tail = rest.split(END)[1]
    path.write_text(f"{head}{BEGIN}\n{readme_block(run, png)}\n{END}{tail}")


def plot(run: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    server, own = split(run)
    panels = [p for p in (server, own) if p]
    height = max(3.0, 0.5 + 0.28 * max(len(p) for p in panels))
    fig, axes = plt.subplots(1, len(panels), figsize=(7 * len(panels), height), squeeze=False)
    for ax, rows in zip(axes[0], panels):
        names = [r["key"] if f["num"] != "own" else r["label"] for f, r in rows]
        y = range(len(rows))
        vals = [r["ratio"] for _, r in rows]
        err = [[max(0, v - r["ci"][0]) for v, (_, r) in zip(vals, rows)],
               [max(0, r["ci"][1] - v) for v, (_, r) in zip(vals, rows)]] if "ci" in rows[0][1] else None
        colors = ["tab:grey" if r["met"] is None else "tab:green" if r["met"] else "tab:red"
                  for _, r in rows]
        ax.barh(y, vals, xerr=err, color=colors, alpha=0.8, height=0.6 if err else 0.4,
                capsize=2, label="ratio")
        if not err:  # the own-cost panel: CPU ratio beside the instructions
            ax.barh([i + 0.4 for i in y], [r["cpu_ratio"] for _, r in rows], height=0.4,
                    color="tab:blue", alpha=0.5, label="CPU ratio")
            ax.legend(fontsize=7)
        for i, (f, r) in enumerate(rows):
            if r["checked"] and f["goal"]:
                g = float(f["goal"].split()[1])
                ax.plot([g, g], [i - 0.4, i + 0.4], color="black", lw=1.2)
        ax.set_yticks(list(y), names, fontsize=7)
        ax.invert_yaxis()
        finite = [v for v in vals if math.isfinite(v)]
        ax.set_xlim(min(0.8, min(finite) - 0.05), max(1.2, max(finite) + 0.05))
        ax.axvline(1.0, color="grey", lw=0.8, ls=":")
        ax.set_title("module / peer, real server (figure 5: time)" if rows is server else
                     "own cost: module / PyWrapper, instructions", fontsize=9)
    fig.suptitle(f"RedisWrapper benchmark, tree {run['stamp']['tree']}, {run['stamp']['date']}\n"
                 f"black tick: goal; green met, red missed, grey reported", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write(run: dict, out: Path, stem: str, readme: bool) -> None:
    out.mkdir(parents=True, exist_ok=True)
    (out / f"{stem}.md").write_text(table(run))
    plot(run, out / f"{stem}.png")
    if readme:
        update_readme(run, (out / f"{stem}.png").relative_to(ROOT).as_posix())
    print(f"bench: wrote {out / stem}.md and .png" + (" and README.md's results" if readme else ""))
