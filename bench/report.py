"""The benchmark's figures: medians and ratios per job, the targets, the table, the JSON
record and the bar chart."""
import os
import platform
import statistics
import sys


def machine():
    """One line naming the machine the figures were measured on."""
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), "")
    except OSError:
        pass
    system = platform.system()
    try:
        with open("/etc/os-release") as f:
            system = next((l.split("=", 1)[1].strip().strip('"') for l in f
                           if l.startswith("PRETTY_NAME=")), system)
    except OSError:
        pass
    memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    return "%s, %d cores%s, %.0f GiB" % (system, os.cpu_count() or 0,
                                         " (%s)" % cpu if cpu else "", memory)


def summarize(job, runs):
    errors = [r["error"] for r in runs if "error" in r]
    entry = {"label": job.label, "driver": job.driver, "ref": job.ref}
    if errors:
        entry["error"] = errors[0]
        return entry
    seconds = [r["seconds"] for r in runs]
    median = statistics.median(seconds)
    entry.update(seconds=seconds, median=median, rate=runs[0]["count"] / median,
                 spread=(max(seconds) - min(seconds)) / median if median else 0.0,
                 peak_mib=statistics.median(r["maxrss_kb"] for r in runs) / 1024,
                 growth_mib=statistics.median(r["maxrss_kb"] - (r.get("base_rss_kb") or 0)
                                              for r in runs) / 1024)
    cpu = [r["cpu_seconds"] for r in runs if r.get("cpu_seconds") is not None]
    if len(cpu) == len(runs):
        entry["cpu"] = statistics.median(cpu)
    return entry


def cpu_note(ours, other):
    """The client CPU times beside a time ratio: on a loaded machine the wall time
    swings with the scheduler, the client's own work much less."""
    if "cpu" not in ours or "cpu" not in other or not other["cpu"]:
        return ""
    return "; client CPU %.3f s vs %.3f s = %.2fx" % (ours["cpu"], other["cpu"],
                                                      ours["cpu"] / other["cpu"])


def check_target(target, by_label):
    ours, other = by_label.get(target.job), by_label.get(target.versus)
    if getattr(target, "growth", None) is not None and ours and "error" not in ours:
        value = ours["growth_mib"]
        return {"text": "%s peak RSS grew %.1f MiB over its start (target <= %.0f MiB)"
                        % (target.job, value, target.growth),
                "holds": value <= target.growth}
    if not ours or not other or "error" in ours or "error" in other:
        return None
    if target.speed is not None:
        value = other["median"] / ours["median"]
        return {"text": "%s %.2fx as fast as %s (target >= %.2fx)%s"
                        % (target.job, value, target.versus, target.speed,
                           cpu_note(ours, other)),
                "holds": value >= target.speed}
    if target.time is not None:
        value = ours["median"] / other["median"]
        return {"text": "%s takes %.2fx the time of %s (target <= %.2fx)%s"
                        % (target.job, value, target.versus, target.time,
                           cpu_note(ours, other)),
                "holds": value <= target.time}
    value = ours["peak_mib"] / other["peak_mib"]
    return {"text": "%s peak memory %.2fx that of %s (target <= %.2fx)"
                    % (target.job, value, target.versus, target.memory),
            "holds": value <= target.memory}


def collect(plan, results, versions, missing, args, started):
    workloads = []
    for name, module, size, jobs in plan:
        entries = [summarize(job, results.get((name, job.label), [])) for job in jobs]
        ref = next((e for e in entries if e["ref"] and "error" not in e), None)
        for e in entries:
            if ref and "error" not in e:
                e["speed_vs_ref"] = ref["median"] / e["median"]
                e["memory_vs_ref"] = e["peak_mib"] / ref["peak_mib"]
        by_label = {e["label"]: e for e in entries}
        targets = [t for t in (check_target(t, by_label) for t in getattr(module, "TARGETS", []))
                   if t]
        workloads.append({"name": name, "title": module.TITLE.format(size=size),
                          "unit": module.UNIT, "size": size, "jobs": entries,
                          "targets": targets})
    return {"date": started.strftime("%Y-%m-%d %H:%M UTC"), "machine": machine(),
            "load": os.getloadavg()[0],
            "quick": args.quick, "runs": args.runs, "versions": versions,
            "skipped": missing, "workloads": workloads}


def print_table(data):
    header = "%-42s%10s%8s%14s%6s%9s%10s%9s" % ("job", "median s", "cpu s", "rate", "+-",
                                                  "speed", "peak MiB", "memory")
    print("\n%s; %s; load average %.1f" % (data["date"], data["machine"], data["load"]))
    print(", ".join("%s %s" % kv for kv in sorted(data["versions"].items())))
    print("medians of %d run(s)%s; speed = time of the row marked * / this time (higher "
          "is faster), memory = this peak RSS / its; +- = (max-min)/median; cpu s = "
          "user+sys time of the client process"
          % (data["runs"], ", quick sizes" if data["quick"] else ""))
    print("=" * len(header))
    print(header)
    for w in data["workloads"]:
        print("-" * len(header))
        print("%s  [%s]" % (w["title"], w["unit"]))
        for e in w["jobs"]:
            label = "  " + e["label"] + (" *" if e["ref"] else "")
            if "error" in e:
                print("%-42s  failed: %s" % (label, e["error"][:80]))
                continue
            ratio = lambda key: "%.2fx" % e[key] if key in e else "-"
            print("%-42s%10.3f%8s%14s%5.0f%%%9s%10.0f%9s" % (
                label, e["median"], "%.3f" % e["cpu"] if "cpu" in e else "-",
                "{:,.0f}".format(e["rate"]), e["spread"] * 100,
                ratio("speed_vs_ref"), e["peak_mib"], ratio("memory_vs_ref")))
        for t in w["targets"]:
            print("  %s %s" % ("target met: " if t["holds"] else "target MISSED:", t["text"]))
    print("=" * len(header))
    for driver, why in sorted(data["skipped"].items()):
        print("skipped %s: %s" % (driver, why))


def chart(data, path):
    """A bar chart of every job's rate, one panel per workload; the path, or None
    without matplotlib."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        print("note: no chart: matplotlib is not installed (apt-get install "
              "python3-matplotlib)", file=sys.stderr)
        return None
    panels = [w for w in data["workloads"] if any("error" not in e for e in w["jobs"])]
    heights = [0.6 + 0.32 * len(w["jobs"]) for w in panels]
    fig, axes = plt.subplots(len(panels), 1, figsize=(10, sum(heights) + 1.2), squeeze=False,
                             gridspec_kw={"height_ratios": heights})
    for ax, w in zip(axes[:, 0], panels):
        jobs = [e for e in w["jobs"] if "error" not in e][::-1]
        colors = ["#c0392b" if e["driver"] == "ztcondb" else
                  "#7f8c8d" if e["driver"] == "libpq" else "#2e86c1" for e in jobs]
        bars = ax.barh([e["label"] for e in jobs], [e["rate"] for e in jobs], color=colors)
        for bar, e in zip(bars, jobs):
            ax.text(bar.get_width(), bar.get_y() + bar.get_height() / 2,
                    " {:,.0f}".format(e["rate"]), va="center", fontsize=8)
        ax.set_title(w["title"], fontsize=10, loc="left")
        ax.set_xlabel(w["unit"], fontsize=8)
        ax.tick_params(labelsize=8)
        ax.set_xlim(0, max(e["rate"] for e in jobs) * 1.18)
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "{:,.0f}".format(v)))
    fig.suptitle("ztcondb beside its peers (red: ztcondb, blue: peers, grey: C libpq floor)\n"
                 "%s; %s; load average %.1f; medians of %d run(s)%s"
                 % (data["date"], data["machine"], data["load"], data["runs"],
                    ", quick sizes" if data["quick"] else ""), fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path
