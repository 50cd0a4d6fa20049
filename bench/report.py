"""bench/run.py's output: the samples' text, the medians, the table and the header
with the machine's facts and every client's version."""
from __future__ import annotations

import datetime
import os
import platform
import statistics
import subprocess
from pathlib import Path

from workloads import CLIENTS, LABELS, OTHERS, WORKLOADS, Workload

# The Python distributions of the peers, whose versions the header shows.
DISTRIBUTIONS = {"tarnu": "tarnu_sdk", "paho": "paho-mqtt", "gmqtt": "gmqtt",
                 "awscrt": "awscrt"}


def fmt(value: float | None, key: str) -> str:
    if value is None:
        return "—"
    if key == "cpu_us":
        return f"{value:,.2f}" if value < 100 else f"{value:,.0f}"
    if key == "rate" and value < 100:
        return f"{value:,.1f}"
    if key == "rate" or key.endswith("_us"):
        return f"{value:,.0f}"
    if key.endswith("_ms"):
        return f"{value:,.2f}" if value < 10 else f"{value:,.1f}"
    return f"{value:,.1f}"


def sample_text(s: dict, w: Workload) -> str:
    if "error" in s:
        return f"ERROR ({s['error']})"
    if "feed_problem" in s:
        return f"INVALID ({s['feed_problem']})"
    if "lost" in s:
        return f"LOST {s['lost']}/{s['of']}"
    parts = [f"{label} {fmt(s.get(key), key)}" for key, label, _ in w.metrics]
    if s.get("feed_rate"):
        parts.append(f"(feeder {s['feed_rate']:,.0f} msg/s)")
    return ", ".join(parts)


def medians(samples: list[dict]) -> dict:
    out: dict = {}
    for w in WORKLOADS:
        for client in CLIENTS:
            runs = [s for s in samples if s["workload"] == w.name and s["client"] == client]
            if not runs:
                continue
            good = [s for s in runs
                    if "error" not in s and "lost" not in s and "feed_problem" not in s]
            entry: dict = {"runs": len(runs), "good": len(good)}
            for key, _, _ in w.metrics:
                values = [s[key] for s in good if isinstance(s.get(key), (int, float))]
                entry[key] = statistics.median(values) if values else None
            bad = [s for s in runs if s not in good]
            if bad:
                entry["problems"] = [sample_text(s, w) for s in bad]
            out.setdefault(w.name, {})[client] = entry
    return out


def ratio(a: float | None, b: float | None) -> float | None:
    if a is None or b is None or b == 0:
        return None
    return a / b


def target_text(w: Workload, key: str, row: dict) -> str:
    t = w.targets.get(key)
    if t is None:
        return ""
    mine = row.get("tarnu", {}).get(key)
    if isinstance(t, tuple):  # ("<", limit)
        if mine is None:
            return f"< {t[1]:g}: ?"
        return f"< {t[1]:g}: {'met' if mine < t[1] else 'MISSED'}"
    ratios = {other: ratio(mine, row.get(other, {}).get(key)) for other in t}
    ok = all(r is not None and r >= t[other] for other, r in ratios.items())
    wanted = ", ".join(f"≥{least:g}x {LABELS[other]}" for other, least in t.items())
    return f"{wanted}: {'met' if ok else 'MISSED'}"


def table(med: dict) -> str:
    header = (["workload", "metric"] + [LABELS[c] for c in CLIENTS]
              + [f"tarnu/{c}" for c in OTHERS] + ["target"])
    rows = [header]
    for w in WORKLOADS:
        row = med.get(w.name)
        if not row:
            continue
        for key, label, _ in w.metrics:
            cells = [w.title if key == w.metrics[0][0] else "", label]
            for client in CLIENTS:
                e = row.get(client)
                if e is None:
                    cells.append("—")
                elif e.get(key) is None:
                    cells.append(e["problems"][0] if e.get("problems") else "—")
                else:
                    text = fmt(e[key], key)
                    if e.get("problems"):
                        text += f" ({e['runs'] - e['good']} bad)"
                    cells.append(text)
            for other in OTHERS:
                q = ratio(row.get("tarnu", {}).get(key), row.get(other, {}).get(key))
                cells.append("—" if q is None else f"{q:.2f}x" if q >= 0.1 else f"{q:.3f}x")
            cells.append(target_text(w, key, row))
            rows.append(cells)
    widths = [max(len(r[i]) for r in rows) for i in range(len(header))]
    lines = []
    for i, cells in enumerate(rows):
        lines.append("| " + " | ".join(c.ljust(widths[j]) if j < 2 else c.rjust(widths[j])
                                       for j, c in enumerate(cells)) + " |")
        if i == 0:
            lines.append("|" + "|".join("-" * (wd + 2) for wd in widths) + "|")
    return "\n".join(lines)


# The round-trip group's ratios across its rows: (label, (workload, client), (workload,
# client)), each the first rate over the second.
RTT_RATIOS = [
    ("tarnu_sdk 8 threads / 1 thread", ("rtt8", "tarnu"), ("rtt1", "tarnu")),
    ("tarnu_sdk 64 threads / 1 thread", ("rtt64", "tarnu"), ("rtt1", "tarnu")),
    ("tarnu_sdk 64 threads / paho-mqtt all in flight", ("rtt64", "tarnu"), ("rtt_flight", "paho")),
    ("tarnu_sdk 64 threads / gmqtt all in flight", ("rtt64", "tarnu"), ("rtt_flight", "gmqtt")),
    ("tarnu_sdk 8 threads / paho-mqtt 8 threads", ("rtt8", "tarnu"), ("rtt8", "paho")),
    ("paho-mqtt 8 threads / 1 thread", ("rtt8", "paho"), ("rtt1", "paho")),
]


def rtt_summary(med: dict, delay_ms: float) -> list[str]:
    """The round-trip group's ratios of message rates, for the rows that ran."""
    lines = []
    for label, (wa, ca), (wb, cb) in RTT_RATIOS:
        a = med.get(wa, {}).get(ca, {}).get("rate")
        b = med.get(wb, {}).get(cb, {}).get("rate")
        q = ratio(a, b)
        if q is not None:
            shown = f"{q:.2f}x" if q >= 0.1 else f"{q:.3f}x"
            lines.append(f"  {label}: {shown} ({fmt(a, 'rate')} / {fmt(b, 'rate')} msg/s)")
    if lines:
        lines.insert(0, f"Round trip of {2 * delay_ms:g} ms ({delay_ms:g} ms each way through "
                        "the proxy), QoS 1 publish rates:")
    return lines


def command_output(cmd: list[str]) -> str:
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "?"


def first_line_with(path: str, prefix: str) -> str:
    """The rest of the first line of `path` that starts with `prefix`, or "?"."""
    try:
        for line in Path(path).read_text().splitlines():
            if line.startswith(prefix):
                return line[len(prefix):].strip().strip('"')
    except OSError:
        pass
    return "?"


def versions() -> dict[str, str]:
    """The installed versions of tarnu_sdk and its peers (this venv is the workers')."""
    import importlib.metadata

    out = {}
    for client, dist in DISTRIBUTIONS.items():
        try:
            out[client] = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            out[client] = "not installed"
    return out


def machine() -> dict:
    cpuinfo = Path("/proc/cpuinfo")
    flags = first_line_with(str(cpuinfo), "flags").split(":", 1)[-1].split()
    # "kvm VM, docker container": both matter, the VM's vCPUs and the container's limits.
    vm = command_output(["systemd-detect-virt", "--vm"])
    if vm in ("", "?", "none"):
        vm = "hypervisor" if "hypervisor" in flags else "bare metal"
    container = command_output(["systemd-detect-virt", "--container"])
    virt = f"{vm} VM" if vm != "bare metal" else vm
    if container not in ("", "?", "none"):
        virt += f", {container} container"
    mem_kib = first_line_with("/proc/meminfo", "MemTotal:").split()[0]
    mosquitto = command_output(["mosquitto", "-h"]).splitlines()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "nproc": os.cpu_count(),
        "cpu": first_line_with(str(cpuinfo), "model name").lstrip(": "),
        "virtualization": virt,
        "memory_gib": round(int(mem_kib) / 1024 / 1024, 1) if mem_kib.isdigit() else None,
        "os": first_line_with("/etc/os-release", "PRETTY_NAME="),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "versions": versions(),
        "paho_c": command_output(["dpkg-query", "-W", "-f=${Version}", "libpaho-mqtt1.3"]),
        "mosquitto": mosquitto[0] if mosquitto else "?",
        "loadavg_before": [round(x, 2) for x in os.getloadavg()],
    }


def header(info: dict) -> list[str]:
    """The facts a published table quotes: the machine, then every client's version."""
    v = info["versions"]
    return [
        f"# {info['date']}: {info['nproc']} CPUs ({info['cpu']}, {info['virtualization']}), "
        f"{info['memory_gib']} GiB, {info['os']}, Linux {info['kernel']}",
        f"# Python {info['python']}, tarnu_sdk {v['tarnu']}, paho-mqtt {v['paho']}, "
        f"gmqtt {v['gmqtt']}, awscrt {v['awscrt']}, Paho C {info['paho_c']}, "
        f"{info['mosquitto']}",
    ]
