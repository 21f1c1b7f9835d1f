#!/usr/bin/env python3
"""Turns the measurements bench/run left in WORK into docs/PERFORMANCE.md.

    report.py WORK OUTPUT
"""
import glob
import json
import os
import re
import statistics
import sys

BAUD = 38400
BITS_PER_BYTE = 10
BYTE_S = BITS_PER_BYTE / BAUD
MIB = 1 << 20
# Peak memory may grow with the file (it is read whole into memory once),
# by at most this much besides the file itself.
FEW_MIB = 4
# A turnaround shorter than this is no sender's: the simulator was taken
# off the CPU between its write and its clock reading (see section 2).
QUICK_US = 5
# A gap after the answer fell due longer than this counts in the tail.
TAIL_US = 1000


def read(work, name):
    with open(os.path.join(work, name)) as f:
        return f.read().strip()


def median(values):
    return statistics.median(values)


def percentile(sorted_values, fraction):
    """Nearest rank: the smallest value with at least `fraction` of all at or below it."""
    rank = max(1, -(-len(sorted_values) * fraction // 1))
    return sorted_values[int(rank) - 1]


def run_number(path):
    return int(re.search(r"\.(\d+)\.[a-z]+$", path).group(1))


def files(work, pattern):
    return sorted(glob.glob(os.path.join(work, pattern)), key=run_number)


def timing_rows(path):
    with open(path) as f:
        return [tuple(int(x) for x in line.split()) for line in f if line.strip()]


def medians(runs, keys):
    return {key: median([r[key] for r in runs]) for key in keys}


# ---- the figures ----------------------------------------------------------


def machine(work):
    rows = {}
    for line in read(work, "machine.tsv").splitlines():
        key, _, value = line.partition("\t")
        rows[key] = value
    return rows


def encoder(work):
    size = int(read(work, "encoder.size"))
    runs = []
    for line in read(work, "encoder.tsv").splitlines():
        run, cli_ns, srec_ns, cat_ns, parent_ns = (int(x) for x in line.split())
        runs.append({
            "run": run,
            "cli": size / 1e6 / (cli_ns / 1e9),
            "srec": size / 1e6 / (srec_ns / 1e9),
            "cat": size / 1e6 / (cat_ns / 1e9),
            "ratio": srec_ns / cli_ns,
            # 0: no parent commit was measured
            "parent": size / 1e6 / (parent_ns / 1e9) if parent_ns else 0,
            "parent_ratio": srec_ns / parent_ns if parent_ns else 0,
        })
    result = medians(runs, ("cli", "srec", "cat", "ratio", "parent", "parent_ratio"))
    result["size"] = size
    result["runs"] = runs
    perf = os.path.join(work, "encoder.perf")
    result["perf"] = ""
    if os.path.exists(perf):
        # "47.82%  [.] ParseHexPair  -  -": the share and the symbol
        lines = [re.sub(r"(\s+-)+\s*$", "", text.rstrip()) for text in open(perf)]
        result["perf"] = "\n".join(text for text in lines if text)
    return result


def google_benchmark(work):
    with open(os.path.join(work, "encode_bench.json")) as f:
        data = json.load(f)
    rows = []
    # One repetition gives no aggregates: then every run is its own median.
    wanted = "aggregate" if any(b.get("run_type") == "aggregate" for b in data["benchmarks"]) else "iteration"
    for bench in data["benchmarks"]:
        if bench.get("run_type") != wanted or (wanted == "aggregate" and bench.get("aggregate_name") != "median"):
            continue
        rows.append({
            "name": bench["run_name"],
            "real_ns": bench["real_time"] * (1e6 if bench["time_unit"] == "ms" else 1),
            "cpu_ns": bench["cpu_time"] * (1e6 if bench["time_unit"] == "ms" else 1),
            "mbps": bench.get("bytes_per_second", 0) / 1e6,
        })
    return rows


def job_run(timing_path, raw_size=None):
    """One job to the simulator: its outcome line, the simulator's --timing
    rows (FRAME DUE WRITTEN NEXT_BYTE) and, where kept, the sender's CPU time."""
    base = timing_path[:-len(".timing")]
    with open(base + ".json") as f:
        outcome = json.loads(f.read())
    frames, seconds = outcome["frames"], outcome["seconds"]
    rows = timing_rows(timing_path)
    # Per frame: the simulator's lateness (answer due to written), the
    # sender's turnaround (written to its next byte) and the two together
    # (due to next byte), which no scheduling on the simulator's side can
    # move from one to the other.
    late = sorted((w - d) / 1e3 for _, d, w, _ in rows)
    turn = sorted((n - w) / 1e3 for _, _, w, n in rows if n)
    gap = sorted((n - d) / 1e3 for _, d, _, n in rows if n)
    tail = [g for g in gap if g > TAIL_US]
    run = {
        "frames": frames,
        "seconds": seconds,
        "fps": frames / seconds,
        "turn_p10": percentile(turn, 0.10),
        "turn_median": median(turn),
        "turn_p90": percentile(turn, 0.90),
        "turn_p99": percentile(turn, 0.99),
        "turn_max": turn[-1],
        "quick_share": sum(1 for t in turn if t < QUICK_US) / len(turn),
        "late_p10": percentile(late, 0.10),
        "late_median": median(late),
        "late_p99": percentile(late, 0.99),
        "gap_median": median(gap),
        "gap_p99": percentile(gap, 0.99),
        "gap_mean": sum(gap) / len(gap),
        "tail_share": len(tail) / len(gap),
        "tail_time_share": sum(tail) / sum(gap) if sum(gap) else 0,
        # The frame on the emulated line: its first byte in to its answer due.
        "on_line": sum(rows[i][1] - rows[i - 1][3] for i in range(1, len(rows)) if rows[i - 1][3]) / 1e9,
        "late": sum(late) / 1e6,
        "turn": sum(turn) / 1e6,
    }
    if os.path.exists(base + ".cpu"):
        with open(base + ".cpu") as f:
            wall, user, system = (float(x) for x in f.read().split())
        run["cpu_us"] = 1e6 * (user + system) / frames
        run["cpu_share"] = (user + system) / wall if wall else 0
    if raw_size is not None:
        # Every byte at line speed with nothing between: start, frames and
        # end as `frames --raw` prints them, and one answer byte per frame.
        run["limit_bytes"] = raw_size + frames
        run["limit_s"] = run["limit_bytes"] * BYTE_S
        run["efficiency"] = run["limit_s"] / seconds
    return run


def jobs(work, name, raw_size=None):
    runs = [job_run(path, raw_size) for path in files(work, name + ".*.timing")]
    if not runs:
        return None
    result = medians(runs, [key for key in runs[0] if isinstance(runs[0][key], float)])
    for key in ("frames", "limit_bytes", "limit_s"):
        if key in runs[0]:
            result[key] = runs[0][key]
    result["runs"] = runs
    return result


def perf_syscalls(path):
    """The count of `perf stat -x , -e raw_syscalls:sys_enter`, or None."""
    if not os.path.exists(path):
        return None
    for text in open(path):
        fields = text.strip().split(",")
        if len(fields) > 2 and fields[2].startswith("raw_syscalls:sys_enter") and fields[0].isdigit():
            return int(fields[0])
    return None


def strace_calls(path):
    """System calls by name, and their total, from `strace -c`."""
    calls, total = {}, 0
    for text in open(path):
        fields = text.split()
        if len(fields) < 5 or not re.fullmatch(r"[\d.]+", fields[0]):
            continue
        if fields[-1] == "total":
            total = int(fields[3])
        else:
            calls[fields[-1]] = int(fields[3])
    return calls, total


def silent(work):
    raw_size = int(read(work, "silent.rawsize"))
    runs = []
    for line in read(work, "silent.tsv").splitlines():
        run, cli_ns, cat_ns = (int(x) for x in line.split())
        with open(os.path.join(work, "silent.%d.json" % run)) as f:
            outcome = json.loads(f.read())
        frames = outcome["frames"]
        runs.append({
            "run": run,
            "frames": frames,
            "cli_mbps": raw_size / 1e6 / (cli_ns / 1e9),
            "cli_fps": frames / (cli_ns / 1e9),
            "job_seconds": outcome["seconds"],
            "cat_mbps": raw_size / 1e6 / (cat_ns / 1e9),
            "cat_fps": frames / (cat_ns / 1e9),
            "ratio": cat_ns / cli_ns,
        })
    result = medians(runs, ("cli_mbps", "cli_fps", "cat_mbps", "cat_fps", "ratio", "job_seconds"))
    result["frames"] = runs[0]["frames"]
    result["raw_size"] = raw_size
    result["runs"] = runs
    calls, total = strace_calls(os.path.join(work, "silent.strace"))
    result["calls_per_frame"] = total / result["frames"]
    result["top_calls"] = sorted(calls.items(), key=lambda item: -item[1])[:5]
    return result


def memory(work):
    result = {}
    for size in (1, 100):
        entry = {"size": int(read(work, "mem%d.size" % size))}
        for kind in ("frames", "check", "write"):
            kbs = [int(read(work, os.path.basename(p))) for p in files(work, "mem%d.%s.*.kb" % (size, kind))]
            entry[kind] = median(kbs) * 1024
            # What the program holds besides the file's own bytes.
            entry[kind + "_extra"] = (entry[kind] - entry["size"]) / MIB
        seconds = [int(read(work, os.path.basename(p))) / 1e9 for p in files(work, "mem%d.write.*.ns" % size)]
        entry["write_seconds"] = median(seconds)
        result[size] = entry
    return result


HEAP = re.compile(r"total heap usage: ([\d,]+) allocs")


def heap_calls(path):
    with open(path) as f:
        match = HEAP.search(f.read())
    return int(match.group(1).replace(",", "")) if match else None


def xtree_calls(path, function):
    """Heap blocks allocated inside `function` and what it calls (totBk, inclusive)."""
    total = 0
    with open(path) as f:
        for text in f:
            if not re.search(r":" + re.escape(function) + r"\(", text):
                continue
            # curB curBk totB totBk totFdB totFdBk, some with a share in brackets
            fields = re.sub(r"\([^)]*\)", " ", text).split()
            if len(fields) > 6 and all(re.fullmatch(r"[\d,]+", x) for x in fields[:6]):
                total = max(total, int(fields[3].replace(",", "")))
    return total


def allocations(work):
    result = {}
    counts = {}
    for path in glob.glob(os.path.join(work, "alloc*.mot")):
        lines = sum(1 for _ in open(path))
        counts[int(re.search(r"alloc(\d+)\.mot", path).group(1))] = lines
    small, large = sorted(counts)
    added = counts[large] - counts[small]
    for kind in ("frames", "write"):
        entry = {"lines": (counts[small], counts[large])}
        for key, n in (("small", small), ("large", large)):
            base = os.path.join(work, "alloc%d.%s" % (n, kind))
            entry[key] = heap_calls(base + ".vg")
            for part, function in (("worker", "RunWriteJob"), ("check", "CheckFirmware"),
                                   ("snapshot", "TakeSnapshot")):
                entry[key + "_" + part] = xtree_calls(base + ".xtree", function)
        entry["per_line"] = (entry["large"] - entry["small"]) / added
        for part in ("worker", "check", "snapshot"):
            entry["per_line_" + part] = (entry["large_" + part] - entry["small_" + part]) / added
        entry["snapshot_added"] = entry["large_snapshot"] - entry["small_snapshot"]
        result[kind] = entry
    return result


# ---- the report -------------------------------------------------------------


def mark(met):
    return "met" if met else "**not met**"


def us(value):
    return "%.1f µs" % value


def write_report(work, output):
    m = machine(work)
    enc = encoder(work)
    gb = google_benchmark(work)
    turn = jobs(work, "turnaround")
    turn_py = jobs(work, "turnaround-pyserial")
    line_raw = int(read(work, "line.rawsize"))
    ln = jobs(work, "line", line_raw)
    ln_py = jobs(work, "line-pyserial", line_raw)
    latency_raw = int(read(work, "latency.rawsize"))
    latency = [(ms, jobs(work, "latency%d" % ms, latency_raw)) for ms in (0, 16, 2, 1)]
    latency_calls = perf_syscalls(os.path.join(work, "latency.perf"))
    sil = silent(work)
    mem = memory(work)
    alloc = allocations(work)
    windows = jobs(work, "windows")

    out = []
    w = out.append

    w("# Performance")
    w("")
    w("What the host costs a write job, measured on one machine by one command. Regenerate with:")
    w("")
    w("```sh")
    w("bench/run")
    w("```")
    w("")
    w("It builds a Release tree with the benchmarks (`build/bench`) and `quorvane-cli.exe` (`build/bench-win64`), "
      "makes the firmware files with `scripts/make-firmware`, runs every measurement and writes this file. Every "
      "figure is the median of %s runs (%d for the latency table, the 100 MB files and Wine); every comparison "
      "is a ratio of runs made side by side in the same run. MB is 10^6 bytes, MiB 2^20. The simulator "
      "(`quorvane-sim`) plays the device on a pty; a byte takes %.1f µs on a %d-baud line (10 bits)."
      % (m["runs"], min(int(m["runs"]), 3), 1e6 * BYTE_S, BAUD))
    w("")
    w("## Machine")
    w("")
    w("| | |")
    w("|---|---|")
    for key, name in (("cpu", "CPU"), ("cores", "cores"), ("memory", "memory"), ("kernel", "kernel"),
                      ("os", "system"), ("gcc", "compiler"), ("cmake", "CMake"), ("srec_cat", "srec_cat"),
                      ("python", "Python (Debian's, for pyserial)"), ("wine", "Wine"),
                      ("commit", "commit measured"), ("date", "date"), ("load", "load average at the start"),
                      ("elapsed", "bench/run took")):
        value = m.get(key, "")
        if key == "elapsed":
            value += " s"
        w("| %s | %s |" % (name, value))
    for key in ("stalls_one", "stalls_all"):
        if key in m:
            threads, lost, gaps, longest = m[key].split("\t")
            w("| time lost in 5 s by %s that never sleep%s (gaps over 200 µs) | %s ms in %s gaps, the longest %s µs |"
              % ("one thread" if threads == "1" else threads + " threads", "s" if threads == "1" else "",
                 lost, gaps, longest))
    w("")

    worst_extra = max(mem[size][kind + "_extra"] for size in mem for kind in ("frames", "check", "write"))
    met_memory = worst_extra <= FEW_MIB
    zero = alloc["frames"]["per_line_worker"] == 0 and alloc["write"]["per_line_worker"] == 0
    w("## Targets")
    w("")
    w("| target | measured | |")
    w("|---|---|---|")
    w("| encoder at least 10x srec_cat on the same file | %.1fx | %s |" % (enc["ratio"], mark(enc["ratio"] >= 10)))
    w("| encoder at least 8x srec_cat, kept through the work on many boards | %.1fx | %s |"
      % (enc["ratio"], mark(enc["ratio"] >= 8)))
    w("| host turnaround median under 100 µs natively | %s | %s |"
      % (us(turn["turn_median"]), mark(turn["turn_median"] < 100)))
    if windows is None:
        w("| host turnaround median under 1 ms for quorvane-cli.exe under Wine | not measured | not measured |")
    else:
        w("| host turnaround median under 1 ms for quorvane-cli.exe under Wine | %s | %s |"
          % (us(windows["turn_median"]), mark(windows["turn_median"] < 1000)))
    w("| at least 99%% of the protocol's limit at 38400 baud | %.2f%% | %s |"
      % (100 * ln["efficiency"], mark(ln["efficiency"] >= 0.99)))
    w("| peak memory at most the file's size plus %d MiB (frames, check, write; 1 MB and 100 MB) | "
      "file + %.2f MiB at most | %s |" % (FEW_MIB, worst_extra, mark(met_memory)))
    w("| no allocation per line in the transfer path | worker: %g per line | %s |"
      % (alloc["write"]["per_line_worker"], mark(zero)))
    w("")

    # 1
    w("## 1. Encoder")
    w("")
    w("`quorvane-cli frames --raw FILE >/dev/null` against `srec_cat FILE -o /dev/null -binary` on the same "
      "generated S3 file of %.1f MB (32 data bytes a record), one after the other in each run, the file in the "
      "page cache. MB/s is the file's size over the wall time. `cat FILE >/dev/null` is the floor for any "
      "program that reads the file." % (enc["size"] / 1e6))
    w("")
    w("| | MB/s (median) |")
    w("|---|---|")
    w("| quorvane-cli frames --raw | %.1f |" % enc["cli"])
    w("| srec_cat -binary | %.1f |" % enc["srec"])
    w("| cat (reading only) | %.0f |" % enc["cat"])
    w("| **ratio quorvane-cli / srec_cat** | **%.2fx** |" % enc["ratio"])
    if enc["parent"]:
        w("| quorvane-cli frames --raw of the parent commit %s (the same runs) | %.1f |"
          % (m["parent"], enc["parent"]))
        w("| ratio of the parent commit's / srec_cat | %.2fx |" % enc["parent_ratio"])
    w("")
    w("Runs: " + "; ".join("%d: %.1f vs %.1f MB/s (%.2fx)" % (r["run"], r["cli"], r["srec"], r["ratio"])
                           for r in enc["runs"]) + ".")
    w("")
    if enc["perf"]:
        w("Where `frames --raw` spends its time on this file (`perf record`, share of samples):")
        w("")
        w("```")
        w(enc["perf"])
        w("```")
        w("")
    w("Google Benchmark (`build/bench/bench/encode_bench`, median of %s repetitions; MB/s of S-record text, "
      "from CPU time):" % m["runs"])
    w("")
    w("| benchmark | wall ns | CPU ns | MB/s |")
    w("|---|---|---|---|")
    for row in gb:
        w("| %s | %.0f | %.0f | %.0f |" % (row["name"], row["real_ns"], row["cpu_ns"], row["mbps"]))
    w("")
    w("`BM_EncodeData` lines repeat one digit pattern; `BM_EncodeRandomData` "
      "lines have random digits, like real firmware and like the 50 MB file above. `BM_EncodeFile` is the "
      "worker's whole read-and-encode path over 1 MiB of patterned lines with a port that takes everything.")
    w("")

    # 2
    w("## 2. Host turnaround per frame")
    w("")
    w("`quorvane-cli write FILE --port PTY --baud 38400 --json` to `quorvane-sim --once --timing FILE` answering "
      "every frame at once (no line emulation); FILE has %d frames of 32 data bytes. Beside it, in the same "
      "loop, `bench/pyserial_write.py`: the same bytes (`frames --raw`, split into the start sequence, the "
      "frames and the end sequence) sent with pyserial as a user would script it, `write` then `read(1)` for "
      "the ACK. The simulator notes, per frame, when its answer fell due, when the write of its ACK returned "
      "and when the first byte of the sender's next frame arrived. The **turnaround** is written to next byte: "
      "the pty both ways, the sender reading the answer, encoding and writing the next frame, and the "
      "simulator noticing it. **Answer due to next byte** adds the simulator's own delay in writing its ACK. "
      "CPU per frame is the sender's user + system time (`/usr/bin/time`) over the frames; frames per second "
      "are the frames over the job's time as the sender reports it." % turn["frames"])
    w("")
    w("| median of the runs | quorvane-cli | pyserial script |")
    w("|---|---|---|")
    rows = (("turnaround, median", "turn_median", us), ("turnaround, 99th percentile", "turn_p99", us),
            ("answer due to next byte, median", "gap_median", us),
            ("answer due to next byte, 99th percentile", "gap_p99", us),
            ("answer due to next byte, mean", "gap_mean", us),
            ("frames per second", "fps", lambda v: "%.0f" % v),
            ("CPU per frame", "cpu_us", us),
            ("turnarounds under %d µs" % QUICK_US, "quick_share", lambda v: "%.1f%%" % (100 * v)))
    for name, key, form in rows:
        w("| %s | %s | %s |" % (name, form(turn[key]), form(turn_py[key])))
    w("| **frames per second, quorvane-cli / pyserial** | **%.2fx** | |" % (turn["fps"] / turn_py["fps"]))
    w("")
    w("No sender answers in under %d µs through a pty: such a turnaround means the simulator was taken off "
      "the CPU between its write and its clock reading (the sender, woken by the ACK, ran first and its next "
      "frame was already there), so that frame's turnaround is counted as the simulator's delay. "
      "Answer due to next byte holds both and is not moved by it." % QUICK_US)
    w("")
    w("Runs, quorvane-cli: " + "; ".join("median %.1f µs, p99 %.1f µs, max %.0f µs, %.0f frames/s, CPU %.1f µs "
                                        "a frame" % (r["turn_median"], r["turn_p99"], r["turn_max"], r["fps"],
                                                     r.get("cpu_us", 0)) for r in turn["runs"]) + ".")
    w("")

    # 3
    n = ln["frames"]
    w("## 3. Line efficiency at 38400 baud")
    w("")
    w("The same two senders with `quorvane-sim --baud 38400`, which holds each frame's answer until the frame "
      "would have crossed a 38400-baud line and the answer byte would have come back. The file (made by "
      "`scripts/make-firmware --bytes 65536 --record-bytes 32`) has %d frames; the protocol's limit for it is "
      "every byte at line speed with nothing between: the start sequence, the frames and the end sequence "
      "(%d bytes, as `frames --raw` prints them) plus one answer byte per frame, %d bytes, %.3f s. Achieved "
      "is that limit over the job's time as the sender reports it (quorvane-cli's `--json` outcome, the "
      "script's own clock from its first write to its last)." % (n, line_raw, ln["limit_bytes"], ln["limit_s"]))
    w("")
    w("| median of the runs | quorvane-cli | pyserial script |")
    w("|---|---|---|")
    w("| job time | %.3f s | %.3f s |" % (ln["seconds"], ln_py["seconds"]))
    w("| **achieved / limit** | **%.2f%%** | %.2f%% |" % (100 * ln["efficiency"], 100 * ln_py["efficiency"]))
    for name, key in (("simulator's lateness (answer due to written), median", "late_median"),
                      ("simulator's lateness, 99th percentile", "late_p99"),
                      ("turnaround, median", "turn_median"), ("turnaround, 99th percentile", "turn_p99"),
                      ("answer due to next byte, median", "gap_median"),
                      ("answer due to next byte, mean", "gap_mean"), ("CPU per frame", "cpu_us")):
        w("| %s | %s | %s |" % (name, us(ln[key]), us(ln_py[key])))
    w("| sender's CPU over the job's time | %.1f%% | %.1f%% |" % (100 * ln["cpu_share"], 100 * ln_py["cpu_share"]))
    w("| **efficiency, quorvane-cli / pyserial** | **%.3fx** | |" % (ln["efficiency"] / ln_py["efficiency"]))
    w("")
    w("Where quorvane-cli's job time goes (sums over the frames, from `--timing`; medians of the runs):")
    w("")
    w("| | seconds | per frame |")
    w("|---|---|---|")
    w("| frames and answers on the emulated line (first byte in to answer due) | %.3f | %s |"
      % (ln["on_line"], us(1e6 * ln["on_line"] / n)))
    w("| simulator's lateness (answer due to written) | %.3f | %s |" % (ln["late"], us(1e6 * ln["late"] / n)))
    w("| turnaround (written to next byte) | %.3f | %s |" % (ln["turn"], us(1e6 * ln["turn"] / n)))
    w("")
    w("Distributions (µs, medians of the runs): turnaround p10 %.1f, median %.1f, p90 %.1f, p99 %.1f, %.1f%% "
      "under %d µs; simulator's lateness p10 %.1f, median %.1f, p99 %.1f. Frames whose answer-due-to-next-byte "
      "exceeds %d µs: %.2f%% of the frames, %.1f%% of that time summed over all frames."
      % (ln["turn_p10"], ln["turn_median"], ln["turn_p90"], ln["turn_p99"], 100 * ln["quick_share"], QUICK_US,
         ln["late_p10"], ln["late_median"], ln["late_p99"], TAIL_US, 100 * ln["tail_share"],
         100 * ln["tail_time_share"]))
    w("")
    w("Runs, quorvane-cli: " + "; ".join("%.2f%%" % (100 * r["efficiency"]) for r in ln["runs"]) +
      "; pyserial: " + "; ".join("%.2f%%" % (100 * r["efficiency"]) for r in ln_py["runs"]) + ".")
    w("")

    # 4
    w("## 4. A USB adapter's latency timer at 38400 baud")
    w("")
    w("`quorvane-sim --baud 38400 --latency MS` holds every answer until the next multiple of MS milliseconds, "
      "as a USB serial adapter's latency timer holds a lone byte (16 ms is the FTDI chips' default, 1 ms their "
      "lowest). quorvane-cli writes a file of %d frames (16384 data bytes); the limit is counted as in section 3."
      % latency[0][1]["frames"])
    w("")
    w("| latency timer | achieved / limit | time per frame | quorvane-cli CPU per frame |")
    w("|---|---|---|---|")
    for ms, entry in latency:
        w("| %s | %.2f%% | %.2f ms | %s |" % ("%d ms" % ms if ms else "none", 100 * entry["efficiency"],
                                             1e3 * entry["seconds"] / entry["frames"], us(entry["cpu_us"])))
    w("")
    w("A frame and its answer take %.2f ms on the line, so the answer waits for the tick after it: with a "
      "timer of MS ms, a frame cannot take less than the next multiple of MS above the line time and the "
      "sender's turnaround." % (1e3 * latency[0][1]["limit_s"] / latency[0][1]["frames"]))
    if latency_calls is not None:
        w("The job without a latency timer made %.0f system calls a frame (`perf stat -e "
          "raw_syscalls:sys_enter`, the whole command): the wait for each answer sleeps until 300 µs before it "
          "is due, then polls without sleeping (with `sched_yield`) until it comes." %
          (latency_calls / latency[0][1]["frames"]))
    w("")

    # 5
    w("## 5. No answers awaited: `--mode silent`")
    w("")
    w("`quorvane-cli write FILE --port PTY --baud 38400 --mode silent` to `quorvane-sim --silent --once`, which "
      "reads everything at once and never answers, as the device does on a parallel port or its own USB port; "
      "then, in the same run, `cat` of the same bytes (`frames --raw`, %.2f MB, %d frames) to a fresh simulator "
      "of the same kind: the floor for any sender on this pty. Both timed from start to exit."
      % (sil["raw_size"] / 1e6, sil["frames"]))
    w("")
    w("| median of the runs | quorvane-cli | cat |")
    w("|---|---|---|")
    w("| MB/s of frames | %.1f | %.1f |" % (sil["cli_mbps"], sil["cat_mbps"]))
    w("| frames per second | %.0f | %.0f |" % (sil["cli_fps"], sil["cat_fps"]))
    w("| **quorvane-cli / cat** | **%.2f** | |" % sil["ratio"])
    w("")
    w("quorvane-cli's time includes reading and checking the file first; the job itself (its `--json` outcome) "
      "took %.3f s. System calls (`strace -c -f`, one more run): %.3f a frame in all; the most frequent: %s."
      % (sil["job_seconds"], sil["calls_per_frame"],
         ", ".join("%s %d" % (name, count) for name, count in sil["top_calls"])))
    w("")

    # 6
    w("## 6. Memory")
    w("")
    w("Peak resident set size (`/usr/bin/time -f %M`) of `quorvane-cli frames --raw FILE >/dev/null`, "
      "`quorvane-cli check FILE` and a real `quorvane-cli write FILE --port PTY --quiet` to `quorvane-sim` "
      "without line emulation, for S3 files of 250 data bytes a record. The file is read whole into memory "
      "once, so the peak is the file's size plus what the program needs besides:")
    w("")
    w("| file | frames --raw | check | write | write took |")
    w("|---|---|---|---|---|")
    for size in (1, 100):
        e = mem[size]
        w("| %.1f MB | file + %.2f MiB | file + %.2f MiB | file + %.2f MiB | %.1f s |"
          % (e["size"] / 1e6, e["frames_extra"], e["check_extra"], e["write_extra"], e["write_seconds"]))
    w("")
    a = alloc["write"]
    w("Allocations per line: the heap calls of a whole job under `valgrind --tool=memcheck` (\"total heap usage: "
      "N allocs\"), on files of %d and %d lines; any call made per line shows up as the difference over the "
      "%d added lines. `--xtree-memory=full` tells the calls made inside the worker (`RunWriteJob`) from the "
      "rest." % (a["lines"][0], a["lines"][1], a["lines"][1] - a["lines"][0]))
    w("")
    w("| | allocs, %d lines | allocs, %d lines | per added line | in the worker, per added line |" % a["lines"])
    w("|---|---|---|---|---|")
    for kind, name in (("frames", "frames --raw"), ("write", "write to quorvane-sim")):
        e = alloc[kind]
        w("| %s | %d | %d | %.5f | %g |" % (name, e["small"], e["large"], e["per_line"], e["per_line_worker"]))
    w("")
    if any(alloc[kind]["snapshot_added"] for kind in alloc):
        w("The larger file takes %d more calls in reading the file whole (`TakeSnapshot`, whose buffer doubles "
          "from 1 MiB as it fills: a call per doubling, not per line)." % alloc["write"]["snapshot_added"])
    if alloc["write"]["per_line_check"]:
        w("The check that `write` runs first makes %g calls per added line (`CheckFirmware`)."
          % alloc["write"]["per_line_check"])
    w("")

    # 7
    w("## 7. quorvane-cli.exe under wine64")
    w("")
    if windows is None:
        w("not measured: no run finished (see the bench/run output).")
    else:
        w("The x86_64 `quorvane-cli.exe` under wine64 (`quorvane-cli.exe write FILE --port COM5 --baud 38400 "
          "--json`) to `quorvane-sim --once` answering at once behind COM5: a `dosdevices/com5` link to the "
          "simulator's pty (`--link`), in a copy of a Wine prefix made by `wineboot -i`. It runs the same engine "
          "and the same Win32 port code as the Windows program, without its dialog: what Wine's serial reads and "
          "writes cost a job. The file has %d frames of 32 data bytes; %d runs; turnaround as in section 2."
          % (windows["frames"], len(windows["runs"])))
        w("")
        w("| | median of the runs |")
        w("|---|---|")
        w("| turnaround, median | %s |" % us(windows["turn_median"]))
        w("| turnaround, 99th percentile | %s |" % us(windows["turn_p99"]))
        w("| answer due to next byte, median | %s |" % us(windows["gap_median"]))
        w("| frames per second | %.0f |" % windows["fps"])
        w("| frames per second, natively (section 2) over this | %.1fx |" % (turn["fps"] / windows["fps"]))
    w("")

    # limits
    w("## What limits the targets not met")
    w("")
    any_unmet = False
    if enc["ratio"] < 10:
        any_unmet = True
        w("- **Encoder (%.1fx srec_cat, target 10x).** Reading the file alone runs at %.0f MB/s, so the time "
          "is the work per line (the profile in section 1); 10x srec_cat here means %.0f MB/s for the whole "
          "path." % (enc["ratio"], enc["cat"], 10 * enc["srec"]))
    if turn["turn_median"] >= 100:
        any_unmet = True
        w("- **Turnaround.** Median %s against 100 µs; the pyserial script's is %s on the same pty."
          % (us(turn["turn_median"]), us(turn_py["turn_median"])))
    if windows is not None and windows["turn_median"] >= 1000:
        any_unmet = True
        w("- **Turnaround under Wine.** Median %s against 1 ms: Wine's serial reads and writes each go "
          "through the wineserver." % us(windows["turn_median"]))
    if ln["efficiency"] < 0.99:
        any_unmet = True
        budget = (1 / 0.99 - 1) * ln["limit_s"] / n * 1e6
        spent = (ln["seconds"] - ln["limit_s"]) / n * 1e6
        w("- **38400 baud (%.2f%%, target 99%%).** 99%% leaves %.0f µs a frame beyond the line's own time; the "
          "job spends %.0f µs a frame more than the limit. Of that, per frame from `--timing`: the simulator's "
          "lateness %.1f µs on average (median %.1f µs, p99 %.1f µs) and the turnaround %.1f µs (median %.1f µs, "
          "p99 %.1f µs). The mean is made by the tail: %.2f%% of the frames have an answer-due-to-next-byte "
          "over %d µs, and they hold %.1f%% of that time (p99 %.0f µs against a median of %.0f µs). The "
          "pyserial script on the same simulator reaches %.2f%%."
          % (100 * ln["efficiency"], budget, spent, 1e6 * ln["late"] / n, ln["late_median"], ln["late_p99"],
             1e6 * ln["turn"] / n, ln["turn_median"], ln["turn_p99"], 100 * ln["tail_share"], TAIL_US,
             100 * ln["tail_time_share"], ln["gap_p99"], ln["gap_median"], 100 * ln_py["efficiency"]))
    if "stalls_all" in m and ln["efficiency"] < 0.99:
        threads, lost, gaps, longest = m["stalls_all"].split("\t")
        w("- **The machine underneath.** With every core busy, a thread that never sleeps lost %.2f%% of its "
          "time to gaps over 200 µs (%s ms over %s threads in 5 s, the longest %s µs; the Machine table): the "
          "virtual CPUs are taken away by the host now and then, and each such gap in a job's wait for an "
          "answer is a gap on the line. A target within that share of its mark is met or missed by the host."
          % (100 * float(lost) / (5000 * int(threads)), lost, threads, longest))
    if not met_memory:
        any_unmet = True
        w("- **Memory.** The peak is the file's size plus up to %.2f MiB (section 6), against %d MiB."
          % (worst_extra, FEW_MIB))
    if not zero:
        any_unmet = True
        w("- **Allocations.** %g per line in the worker." % alloc["write"]["per_line_worker"])
    if not any_unmet:
        w("Every measured target is met.")
    w("")

    with open(output, "w") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    write_report(sys.argv[1], sys.argv[2])
