#!/usr/bin/env python3
"""Turns the generator's raw lines (one per server and scenario) into one JSON line per scenario
and a Markdown table: report.py RAW.jsonl META.txt OUT.jsonl OUT.md (both also printed)."""
import json
import sys

raw_path, meta_path, out_jsonl, out_md = sys.argv[1:5]

runs = {}
servers = []
for line in open(raw_path):
    line = line.strip()
    if not line:
        continue
    try:
        r = json.loads(line)
    except ValueError:
        continue
    runs.setdefault((r["server"], r["scenario"]), []).append(r)
    if r["server"] not in servers:
        servers.append(r["server"])


def median_run(rs):
    """A scenario measured more than once (the ceilings) stands for its median run by CPU per
    GiB, the steadier figure on a shared machine."""
    if len(rs) == 1:
        return rs[0]
    return sorted(rs, key=lambda r: r.get("cpu_s_per_gib") or 0)[len(rs) // 2]


records = {k: median_run(v) for k, v in runs.items()}
peers = [s for s in servers if s not in ("qorda", "ceiling")]
columns = [s for s in servers if s != "ceiling"] + (["ceiling"] if "ceiling" in servers else [])

meta = {}
for line in open(meta_path):
    k, _, v = line.rstrip("\n").partition("=")
    meta[k] = v


def get(server, scen, key):
    r = records.get((server, scen))
    if r is None or key not in r:
        return None
    return r[key]


def ratio_of(a, b):
    return a / b if a is not None and b not in (None, 0) else None


def per_op_ms(server, scen, key="server_cpu_s"):
    ops, cpu = get(server, scen, "ops"), get(server, scen, key)
    return cpu * 1000 / ops if ops and cpu is not None else None


def of_ceiling(server, scen, ceil_scen):
    r = ratio_of(get(server, scen, "mbps"), get("ceiling", ceil_scen, "mbps"))
    return 100 * r if r is not None else None


def cpu_share(server, scen, ceil_scen):
    """The ceiling sender's CPU per GiB over the server's: a share of the ceiling that holds on a
    busy machine, where the wall-clock figures follow the CPU each process gets."""
    r = ratio_of(get("ceiling", ceil_scen, "cpu_s_per_gib"), get(server, scen, "cpu_s_per_gib"))
    return 100 * r if r is not None else None


def idle_cost(server):
    alone, busy = get(server, "6", "alone_mbps"), get(server, "6", "busy_mbps")
    return 100 * (1 - busy / alone) if alone and busy is not None else None


def idle_cpu_cost(server):
    alone = get(server, "6", "alone_cpu_s_per_gib")
    busy = get(server, "6", "busy_cpu_s_per_gib")
    return 100 * (busy / alone - 1) if alone and busy is not None else None


# (scenario, title, [(measure, function(server) -> value or None, ratio wanted)])
SCENARIOS = [
    ("1", "one client RETR of the big file, binary, passive", [
        ("MB/s", lambda s: get(s, "1", "mbps"), True),
        ("server CPU s/GiB", lambda s: get(s, "1", "cpu_s_per_gib"), True),
        ("% of the loopback ceiling (8)", lambda s: of_ceiling(s, "1", "8"), False),
        ("% of the ceiling by CPU s/GiB", lambda s: cpu_share(s, "1", "8"), False),
        ("% of the staged ceiling (8, with file reads)", lambda s: of_ceiling(s, "1", "8s"), False),
        ("% of the staged ceiling by CPU s/GiB", lambda s: cpu_share(s, "1", "8s"), False),
    ]),
    ("2", "one client STOR of the big file", [
        ("MB/s", lambda s: get(s, "2", "mbps"), True),
        ("server CPU s/GiB", lambda s: get(s, "2", "cpu_s_per_gib"), True),
    ]),
    ("3", "50 clients repeating PASV + RETR of 4 KiB", [
        ("transfers/s", lambda s: get(s, "3", "ops_per_s"), True),
        ("p50 ms", lambda s: get(s, "3", "p50_ms"), True),
        ("p99 ms", lambda s: get(s, "3", "p99_ms"), True),
        ("server CPU ms/transfer", lambda s: per_op_ms(s, "3"), True),
        ("generator CPU ms/transfer", lambda s: per_op_ms(s, "3", "client_cpu_s"), False),
    ]),
    ("4", "50 clients repeating connect, USER, PASS, QUIT", [
        ("logins/s", lambda s: get(s, "4", "ops_per_s"), True),
        ("p50 ms", lambda s: get(s, "4", "p50_ms"), True),
        ("p99 ms", lambda s: get(s, "4", "p99_ms"), True),
        ("server CPU ms/login", lambda s: per_op_ms(s, "4"), True),
        ("generator CPU ms/login", lambda s: per_op_ms(s, "4", "client_cpu_s"), False),
    ]),
    ("5", "LIST of a directory of 10,000 files", [
        ("ms per listing", lambda s: get(s, "5", "mean_ms"), True),
        ("lines per listing", lambda s: get(s, "5", "lines_per_op"), False),
        ("server CPU ms/listing", lambda s: per_op_ms(s, "5"), True),
    ]),
    ("6", "idle logged-in sessions, and one RETR beside them", [
        ("sessions logged in", lambda s: get(s, "6", "logged_in"), False),
        ("memory KiB per session (PSS)", lambda s: get(s, "6", "pss_kib_per_session"), True),
        ("RSS KiB per session", lambda s: get(s, "6", "rss_kib_per_session"), True),
        ("server CPU ms/s while they sit idle", lambda s: get(s, "6", "idle_server_cpu_ms_per_s"),
         True),
        ("RETR MB/s alone", lambda s: get(s, "6", "alone_mbps"), True),
        ("RETR MB/s beside the sessions", lambda s: get(s, "6", "busy_mbps"), True),
        ("throughput lost %", idle_cost, False),
        ("RETR CPU s/GiB alone", lambda s: get(s, "6", "alone_cpu_s_per_gib"), True),
        ("RETR CPU s/GiB beside the sessions", lambda s: get(s, "6", "busy_cpu_s_per_gib"), True),
        ("CPU per GiB added %", idle_cpu_cost, False),
    ]),
    ("7", "8 clients each RETR of the mid file at once", [
        ("aggregate MB/s", lambda s: get(s, "7", "mbps"), True),
        ("server CPU s/GiB", lambda s: get(s, "7", "cpu_s_per_gib"), True),
        ("% of the 8-stream ceiling", lambda s: of_ceiling(s, "7", "8m"), False),
        ("% of the ceiling by CPU s/GiB", lambda s: cpu_share(s, "7", "8m"), False),
        ("% of the staged 8-stream ceiling", lambda s: of_ceiling(s, "7", "8sm"), False),
        ("% of the staged ceiling by CPU s/GiB", lambda s: cpu_share(s, "7", "8sm"), False),
    ]),
    ("9", "FTP over TLS: one client RETR of the big file (PROT P, session resumed)", [
        ("MB/s", lambda s: get(s, "9", "mbps"), True),
        ("server CPU s/GiB", lambda s: get(s, "9", "cpu_s_per_gib"), True),
        ("server CPU s/GiB without TLS (1)", lambda s: get(s, "1", "cpu_s_per_gib"), False),
    ]),
    ("10", "FTP over TLS: one client STOR of the big file", [
        ("MB/s", lambda s: get(s, "10", "mbps"), True),
        ("server CPU s/GiB", lambda s: get(s, "10", "cpu_s_per_gib"), True),
    ]),
    ("11", "FTP over TLS: 50 clients repeating connect, AUTH TLS, USER, PASS, QUIT", [
        ("logins/s", lambda s: get(s, "11", "ops_per_s"), True),
        ("p50 ms", lambda s: get(s, "11", "p50_ms"), True),
        ("p99 ms", lambda s: get(s, "11", "p99_ms"), True),
        ("server CPU ms/login", lambda s: per_op_ms(s, "11"), True),
        ("generator CPU ms/login", lambda s: per_op_ms(s, "11", "client_cpu_s"), False),
    ]),
    ("8", "loopback ceiling: plain send loop of 1460-byte sends (ceiling column)", [
        ("1 stream MB/s", lambda s: get(s, "8", "mbps"), False),
        ("1 stream sender CPU s/GiB", lambda s: get(s, "8", "cpu_s_per_gib"), False),
        ("8 streams MB/s", lambda s: get(s, "8m", "mbps"), False),
        ("8 streams sender CPU s/GiB", lambda s: get(s, "8m", "cpu_s_per_gib"), False),
        ("staged through 14,600-byte file reads: 1 stream MB/s", lambda s: get(s, "8s", "mbps"),
         False),
        ("staged: 1 stream sender CPU s/GiB", lambda s: get(s, "8s", "cpu_s_per_gib"), False),
        ("staged: 8 streams MB/s", lambda s: get(s, "8sm", "mbps"), False),
        ("staged: 8 streams sender CPU s/GiB", lambda s: get(s, "8sm", "cpu_s_per_gib"), False),
    ]),
]


def fmt(v):
    if v is None:
        return "–"
    v = float(v)
    if abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def errors_of(server, scen):
    notes = []
    for key in ([scen, "8m", "8s", "8sm"] if scen == "8" else [scen]):
        r = records.get((server, key))
        if r is None:
            continue
        for k, v in r.items():
            if k.endswith("errors") and v:
                first = r.get(k.replace("errors", "first_error"), "")
                notes.append(f"{server} #{key}: {int(v)} {k.replace('_', ' ')}"
                             + (f" ({first})" if first else ""))
    return notes


json_lines = []
head = ["#", "measure"] + columns + [f"qorda/{p}" for p in peers if "qorda" in servers]
md = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
notes = []
for scen, title, measures in SCENARIOS:
    figures, ratios = {}, {}
    for name, fn, want_ratio in measures:
        for s in columns:
            try:
                v = fn(s)
            except (TypeError, ZeroDivisionError):
                v = None
            if v is not None:
                figures.setdefault(s, {})[name] = v
        if want_ratio and "qorda" in servers:
            for p in peers:
                r = ratio_of(figures.get("qorda", {}).get(name), figures.get(p, {}).get(name))
                if r is not None:
                    ratios.setdefault(f"qorda/{p}", {})[name] = r
    if not figures:
        continue
    for s in columns:
        notes += errors_of(s, scen)
    json_lines.append(json.dumps({"scenario": int(scen), "title": title, "figures": figures,
                                  "ratios": ratios}, sort_keys=False))
    first = True
    for name, _, want_ratio in measures:
        if not any(name in figures.get(s, {}) for s in columns):
            continue
        cells = [scen if first else "", (title + ": " if first else "") + name]
        cells += [fmt(figures.get(s, {}).get(name)) for s in columns]
        if "qorda" in servers:
            cells += [fmt(ratios.get(f"qorda/{p}", {}).get(name)) if want_ratio else ""
                      for p in peers]
        md.append("| " + " | ".join(cells) + " |")
        first = False

about = [
    f"Run of {meta.get('date', '?')}{' (--quick)' if meta.get('quick') == '1' else ''}: "
    f"{meta.get('cpus', '?')} CPUs ({meta.get('cpu_model', '?')}), Linux {meta.get('kernel', '?')}, "
    f"load average {meta.get('load_start', '?')} at the start and {meta.get('load_end', '?')} at the end.",
    f"Versions: qorda {meta.get('qorda', '?')}, vsftpd {meta.get('vsftpd', '?')}, "
    f"Pure-FTPd {meta.get('pure-ftpd', '?')}, ProFTPD {meta.get('proftpd', '?')}, "
    f"pyftpdlib {meta.get('pyftpdlib', '?')} (Debian packages).",
    f"Sizes: {meta.get('sizes', '?')}. MB = 10^6 bytes. Server CPU is the task-clock of the server's whole "
    "process tree (a perf counter inherited by every process it forks, exited ones included), "
    "read around the measured window. "
    "Ratios are qorda divided by the peer: above 1 is better for rates, below 1 for times, CPU "
    "and memory.",
]
text = "\n".join(about) + "\n\n" + "\n".join(md) + "\n"
if notes:
    text += "\nErrors:\n" + "\n".join(f"- {n}" for n in notes) + "\n"
with open(out_jsonl, "w") as f:
    f.write("\n".join(json_lines) + "\n")
with open(out_md, "w") as f:
    f.write(text)
print("\n".join(json_lines))
print()
print(text)
