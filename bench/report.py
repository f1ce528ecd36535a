"""From a run's JSON: the table (Markdown), the plot (PNG) and README.md's block (written
with scripts/generated.py), each stamped with the commit measured and the date of the run."""

import re
import subprocess
from pathlib import Path

from harness import ROOT

import generated  # on sys.path through harness

SHOWN = {  # each verdict, worst first: in the tables, its bars' colour, in the plot's legend
    "no": ("**no**", "tab:red", "goal missed"), "within noise": ("within noise", "tab:orange", "within noise"),
    "yes": ("yes", "tab:green", "goal met"), "-": ("-", "tab:grey", "reported (no goal)")}
LEGEND = ("Met: yes or **no** where the 95% interval of a wall-clock ratio's median lies on one side "
          "of its goal, within noise where the interval holds the goal (this shared machine's drift "
          "decides, not the code; row 0 shows it). The own cost is a steady figure: instructions "
          "decide its goal, with the CPU time over paired rounds beside them.")
PANELS = {  # the plot's panels, by whether they show costs: title, x-axis label
    False: ("Against a real redis-server: throughput, module / peer (higher is better)",
            "ratio of calls (records) per second, module / peer; above 1: the module is faster"),
    True: ("Cost per call, module / peer (lower is better): 5 on a real server, own on clients without I/O",
           "ratio of time (5) or instructions (own, with CPU time below) per call; below 1: the module "
           "is cheaper")}


def cells(f: dict, r: dict) -> dict:
    """What the tables show of a row."""
    interval = "[{:.3f}..{:.3f}]".format
    return dict(r, title=f["title"], goal=f["goal"] if r["checked"] and f["goal"] else "reported",
                met=SHOWN[r["met"]][0], ci=interval(*r["ci"]) if "ci" in r else "",
                cpu_ci=interval(*r["cpu_ci"]))


def machine_line(run: dict) -> str:
    m = run["machine"]
    return (f"Plan {run['plan']} ({run['rounds']} paired rounds); {m['cpu']} x{m['cores']}, Python "
            f"{m['python']}, redis-server {m['redis_server'] or '-'}, redis-py {m['redis_py']} "
            f"({m['parser']} parser), orjson {m['orjson']}.")


def committed_own(md: Path) -> tuple[str, dict[str, float]]:
    """The own-cost ratios by case in the committed version of the report `md` (the run
    before this one), with the commit that run measured; ("", {}) when there is none."""
    try:
        text = generated._git("show", f"HEAD:{md.relative_to(ROOT).as_posix()}")
    except (OSError, subprocess.CalledProcessError, ValueError):
        return "", {}
    commit = re.search(r"^Commit (\S+),", text, re.M)
    rows = re.findall(r"^\| ([^|]+?) \| [\d,]+ \| [\d,]+ \| ([\d.]+) \|", text, re.M)  # case, ratio
    return (commit[1] if commit else "?"), {case: float(ratio) for case, ratio in rows}


def table(run: dict, before: tuple[str, dict[str, float]]) -> str:
    lines = ["# Benchmark results", "", f"Commit {run['stamp']['tree']}, {run['stamp']['date']}. "
             f"{machine_line(run)}", "", LEGEND]
    server = [cells(f, r) for f in run["figures"] for r in f["rows"] if f["num"] != "own"]
    own = [cells(f, r) for f in run["figures"] for r in f["rows"] if f["num"] == "own"]
    if server:
        lines += ["", "Against a real redis-server. Ratio: median over the paired rounds of module / "
                  "peer in calls (records) per second, except figure 5 (time per call: lower is "
                  "better); CPU ratio: the same with process CPU time (all threads).", "",
                  "| # | figure | row | compared with | ratio [95% CI] | goal | met | CPU ratio "
                  "| module /s | peer /s |", "|---|---|---|---|---|---|---|---:|---:|---:|"]
        lines += ["| {key} | {title} | {label} | {vs} | {ratio:.3f} {ci} | {goal} | {met} | "
                  "{cpu_ratio:.3f} | {a_rate:,.0f} | {b_rate:,.0f} |".format(**c) for c in server]
    if own:
        lines += ["", "The module's own cost per call against PyWrapper, on a client without I/O. Instructions "
                  "(callgrind, per call) decide; CPU ratio: median over the paired rounds of module / "
                  "PyWrapper CPU time. The last column: the ratio in the committed run before this one.", "",
                  "| case | instructions module | PyWrapper | ratio | goal | met | CPU ratio [95% CI] "
                  f"| CPU ns module | PyWrapper | ratio at {before[0] or '-'} |",
                  "|---|---:|---:|---:|---|---|---|---:|---:|---:|"]
        lines += ["| {label} | {module_instr:,.0f} | {python_instr:,.0f} | {ratio:.3f} | {goal} | "
                  "{met} | {cpu_ratio:.3f} {cpu_ci} | {module_ns:.0f} | {python_ns:.0f} | ".format(**c)
                  + (f"{before[1][c['label']]:.3f} |" if c["label"] in before[1] else "- |") for c in own]
    return "\n".join(lines) + "\n"


def readme_block(run: dict, png: str, md: str) -> str:
    """The machine, a line per figure and comparison ("6/1KB" and "6/1MB" share one, "6m/1KB" has
    its own), the legend, and the own cost in one line."""
    groups: dict[str, list] = {}
    for f in run["figures"]:
        for r in f["rows"]:
            groups.setdefault("own" if f["num"] == "own" else r["key"].split("/")[0], []).append((f, r))
    own = groups.pop("own", [])
    lines = [machine_line(run), "",
             "| # | figure | compared with | ratio | goal | met |", "|---|---|---|---:|---|---|"]
    for key, rows in groups.items():
        c, ratios = cells(*rows[0]), " / ".join(format(r["ratio"], ".3f") for _, r in rows)
        worst = min((r["met"] for _, r in rows), key=list(SHOWN).index)  # SHOWN lists the worst first
        lines.append(f"| {key} | {c['label'] if len(rows) == 1 else c['title']} | {c['vs']} | {ratios} | "
                     f"{c['goal']} | {SHOWN[worst][0]} |")
    lines += ["", LEGEND]
    if own:
        f, worst = max(own, key=lambda p: p[1]["ratio"])
        lines += ["", f"Own cost per call against PyWrapper (instructions, clients without I/O): "
                  f"{sum(r['met'] == 'yes' for _, r in own)} of {len(own)} cases within {f['goal']}; "
                  f"highest: {worst['label']} at {worst['ratio']:.3f}."]
    return "\n".join(lines + ["", f"Every row, with intervals and rates: [{md}]({md}).", "",
                              f"![benchmark plot]({png})"])


def plot(run: dict, path: Path) -> None:
    """Two panels: throughput ratios (higher is better), and figure 5's caller's time with the own
    cost (lower is better). Every bar starts at 0 and ends inside its panel, whiskers included."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    pairs = [(f, r) for f in run["figures"] for r in f["rows"]]
    panels = [(rows, *PANELS[cost]) for cost in (False, True)
              if (rows := [(f, r) for f, r in pairs if (f["num"] in ("5", "own")) == cost])]
    height = 2.2 + 0.24 * len(pairs) + 0.9 * len(panels)  # inches: legend and title take ~1.3
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, height), squeeze=False,
                             gridspec_kw={"height_ratios": [len(p[0]) + 2.5 for p in panels]})
    for ax, (rows, title, xlabel) in zip(axes[:, 0], panels):
        for i, (f, r) in enumerate(rows):
            v, (lo, hi) = r["ratio"], r.get("ci", [r["ratio"]] * 2)  # no whisker: a steady figure
            _, colour, label = SHOWN[r["met"]]
            ax.barh(i, v, xerr=[[max(v - lo, 0)], [max(hi - v, 0)]] if "ci" in r else None, height=0.6,
                    capsize=2, alpha=0.85, color=colour, label=label)
            if f["num"] == "own":  # the CPU-time ratio as a thin bar below
                ax.barh(i + 0.4, r["cpu_ratio"], height=0.22, color="tab:blue", alpha=0.6,
                        label="CPU-time ratio (own cost)")
            if r["checked"] and f["goal"]:
                ax.plot([float(f["goal"].split()[1])] * 2, [i - 0.42, i + 0.42], color="black", lw=1.5,
                        label="goal")
        ax.set_xlim(left=0)  # the right end fits every bar, whisker and goal mark
        ax.axvline(1.0, color="grey", lw=0.8, ls=":", label="parity (1.0)")
        ax.set_yticks(range(len(rows)), [f"own: {r['label']}" if f["num"] == "own" else
                                         f"{r['key']}  {r['label']}  (vs {r['vs']})" for f, r in rows],
                      fontsize=7.5)
        ax.set_ylim(len(rows) - 0.4, -0.6)
        ax.grid(axis="x", lw=0.3, alpha=0.5)
        ax.set_title(title, fontsize=9.5, loc="left")
        ax.set_xlabel(xlabel, fontsize=8.5)
    legend = {label: h for ax in axes[:, 0] for h, label in zip(*ax.get_legend_handles_labels())}
    fig.legend(legend.values(), legend.keys(), loc="lower center", ncol=4, fontsize=7.5,
               frameon=False, title="whiskers: 95% interval of the median", title_fontsize=7.5)
    fig.suptitle(f"RedisWrapper against redis-py used directly and against PyWrapper (the same "
                 f"behaviour in Python)\ncommit {run['stamp']['tree']}, {run['stamp']['date']}, "
                 f"plan {run['plan']} ({run['rounds']} paired rounds)", fontsize=9.5)
    fig.tight_layout(rect=(0, 0.75 / height, 1, 1 - 0.5 / height))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def write(run: dict, out: Path) -> None:
    """The run's table and plot in `out`, named for its kind; a full run's block in README.md too."""
    md, png, readme = out / f"{run['stem']}.md", out / f"{run['stem']}.png", run["stem"] == "bench"
    md.write_text(table(run, committed_own(out / "bench.md")))  # against the last full run committed
    plot(run, png)
    if readme:
        generated.write_block(ROOT / "README.md", "bench", readme_block(
            run, png.relative_to(ROOT).as_posix(), md.relative_to(ROOT).as_posix()),
            "bash scripts/bench.sh", [md, png], commit=run["stamp"]["tree"], date=run["stamp"]["date"][:10])
    print(f"bench: wrote {md} and .png" + (" and README.md's block" if readme else ""))
