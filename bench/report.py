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
CONTROL_SEQUENCE = 7


def read(work, name):
    with open(os.path.join(work, name)) as f:
        return f.read().strip()


def median(values):
    return statistics.median(values)


def percentile(sorted_values, fraction):
    """Nearest rank: the smallest value with at least `fraction` of all at or below it."""
    rank = max(1, -(-len(sorted_values) * fraction // 1))
    return sorted_values[int(rank) - 1]


def run_numbers(path):
    return int(re.search(r"\.(\d+)\.[a-z]+$", path).group(1))


def files(work, pattern):
    return sorted(glob.glob(os.path.join(work, pattern)), key=run_numbers)


def timing_rows(path):
    with open(path) as f:
        return [tuple(int(x) for x in line.split()) for line in f if line.strip()]


# ---- the figures ----------------------------------------------------------


def windows_figures(work):
    """Turnaround through the Windows program's write dialog, or None."""
    runs = []
    for path in files(work, "windows.*.timing"):
        rows = timing_rows(path)
        turns = sorted((nxt - written) / 1e3 for _, _, written, nxt in rows if nxt)
        if len(turns) < 10:
            continue
        span = (rows[-1][2] - rows[0][2]) / 1e9
        runs.append({"median": median(turns), "p99": percentile(turns, 0.99),
                     "fps": (len(rows) - 1) / span if span > 0 else 0, "frames": len(rows)})
    if not runs:
        return None
    result = {key: median([r[key] for r in runs]) for key in ("median", "p99", "fps")}
    result["frames"] = runs[0]["frames"]
    result["runs"] = len(runs)
    return result


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
        run, cli_ns, srec_ns, cat_ns = (int(x) for x in line.split())
        runs.append({
            "run": run,
            "cli": size / 1e6 / (cli_ns / 1e9),
            "srec": size / 1e6 / (srec_ns / 1e9),
            "cat": size / 1e6 / (cat_ns / 1e9),
            "ratio": srec_ns / cli_ns,
        })
    result = {key: median([r[key] for r in runs]) for key in ("cli", "srec", "cat", "ratio")}
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


def turnaround_run(timing_path, json_path):
    rows = timing_rows(timing_path)
    turn = sorted((nxt - written) / 1e3 for _, _, written, nxt in rows if nxt)
    late = sorted((written - due) / 1e3 for _, due, written, _ in rows)
    with open(json_path) as f:
        outcome = json.loads(f.read())
    return {
        "frames": outcome["frames"],
        "seconds": outcome["seconds"],
        "fps": outcome["frames"] / outcome["seconds"],
        "median": median(turn),
        "p99": percentile(turn, 0.99),
        "max": turn[-1],
        "late": median(late),
        "rows": rows,
    }


def turnaround(work):
    runs = [turnaround_run(t, t.replace(".timing", ".json")) for t in files(work, "turnaround.*.timing")]
    result = {key: median([r[key] for r in runs]) for key in ("median", "p99", "fps", "late", "seconds")}
    result["frames"] = runs[0]["frames"]
    result["runs"] = runs
    return result


def line_run(timing_path, json_path, raw_size):
    with open(json_path) as f:
        outcome = json.loads(f.read())
    frames = outcome["frames"]
    seconds = outcome["seconds"]
    byte_s = BITS_PER_BYTE / BAUD
    limit_bytes = raw_size + frames  # start, frames, end; one answer byte per frame
    limit_s = limit_bytes * byte_s
    rows = timing_rows(timing_path)
    # Per frame after the first: the frame on the emulated line (its first
    # byte in to its answer falling due), the simulator's own lateness
    # (due to written) and the sender's turnaround (written to next byte).
    on_line = sum(rows[i][1] - rows[i - 1][3] for i in range(1, len(rows))) / 1e9
    late = sum(written - due for _, due, written, _ in rows) / 1e9
    turn = sum(nxt - written for _, _, written, nxt in rows if nxt) / 1e9
    turns = sorted((nxt - w) / 1e3 for _, _, w, nxt in rows if nxt)
    lates = sorted((w - d) / 1e3 for _, d, w, _ in rows)
    return {
        "frames": frames,
        "seconds": seconds,
        "limit_s": limit_s,
        "limit_bytes": limit_bytes,
        "efficiency": limit_s / seconds,
        # The same with the simulator's own lateness taken out: what the host alone leaves.
        "efficiency_host": limit_s / (seconds - late),
        "on_line": on_line,
        "late": late,
        "turn": turn,
        "turn_median_us": median(turns),
        "turn_p10_us": percentile(turns, 0.10),
        "turn_p90_us": percentile(turns, 0.90),
        "turn_p99_us": percentile(turns, 0.99),
        "late_median_us": median(lates),
        "late_p10_us": percentile(lates, 0.10),
        "late_p99_us": percentile(lates, 0.99),
    }


def line(work):
    raw_size = int(read(work, "line.rawsize"))
    runs = [line_run(t, t.replace(".timing", ".json"), raw_size) for t in files(work, "line.*.timing")]
    keys = ("seconds", "efficiency", "efficiency_host", "on_line", "late", "turn", "turn_median_us",
            "turn_p10_us", "turn_p90_us", "turn_p99_us", "late_median_us", "late_p10_us", "late_p99_us")
    result = {key: median([r[key] for r in runs]) for key in keys}
    for key in ("frames", "limit_s", "limit_bytes"):
        result[key] = runs[0][key]
    result["raw_size"] = raw_size
    result["runs"] = runs
    return result


def memory(work):
    result = {}
    for size in (1, 100):
        entry = {"size": int(read(work, "mem%d.size" % size))}
        for kind in ("frames", "write"):
            kbs = [int(read(work, os.path.basename(p))) for p in files(work, "mem%d.%s.*.kb" % (size, kind))]
            entry[kind] = median(kbs)
            entry[kind + "_all"] = kbs
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
            entry[key + "_worker"] = xtree_calls(base + ".xtree", "RunWriteJob")
            entry[key + "_check"] = xtree_calls(base + ".xtree", "CheckFirmware")
        entry["per_line"] = (entry["large"] - entry["small"]) / added
        entry["per_line_worker"] = (entry["large_worker"] - entry["small_worker"]) / added
        entry["per_line_check"] = (entry["large_check"] - entry["small_check"]) / added
        result[kind] = entry
    return result


# ---- the report -------------------------------------------------------------


def mark(met):
    return "met" if met else "**not met**"


def write_report(work, output):
    m = machine(work)
    enc = encoder(work)
    gb = google_benchmark(work)
    turn = turnaround(work)
    ln = line(work)
    mem = memory(work)
    alloc = allocations(work)
    windows = windows_figures(work)

    mib = 1024.0
    mem_diff = {kind: (mem[100][kind] - mem[1][kind]) / mib for kind in ("frames", "write")}
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
    w("It builds a Release tree with the benchmarks (`build/bench`), makes the firmware files with "
      "`scripts/make-firmware`, runs every measurement and writes this file. Every figure is the median of "
      "%s runs (%d for the 38400-baud runs and the 100 MB writes); every comparison is a ratio of runs made "
      "side by side in the same run. MB is 10^6 bytes, MiB 2^20." % (m["runs"], min(int(m["runs"]), 3)))
    w("")
    w("## Machine")
    w("")
    w("| | |")
    w("|---|---|")
    for key, name in (("cpu", "CPU"), ("cores", "cores"), ("memory", "memory"), ("kernel", "kernel"),
                      ("os", "system"), ("gcc", "compiler"), ("cmake", "CMake"), ("srec_cat", "srec_cat"),
                      ("python", "Python"), ("wine", "Wine"), ("commit", "commit measured"),
                      ("date", "date"), ("elapsed", "bench/run took")):
        value = m.get(key, "")
        if key == "elapsed":
            value += " s"
        w("| %s | %s |" % (name, value))
    w("")

    w("## Targets")
    w("")
    w("| target | measured | |")
    w("|---|---|---|")
    w("| encoder at least 10x srec_cat on the same file | %.1fx | %s |" % (enc["ratio"], mark(enc["ratio"] >= 10)))
    w("| host turnaround median under 100 µs natively | %.1f µs | %s |" % (turn["median"], mark(turn["median"] < 100)))
    if windows is None:
        w("| host turnaround median under 1 ms for the Windows program under Wine | not measured | not measured |")
    else:
        w("| host turnaround median under 1 ms for the Windows program under Wine | %.1f µs | %s |"
          % (windows["median"], mark(windows["median"] < 1000)))
    w("| at least 99%% of the protocol's limit at 38400 baud | %.2f%% (%.2f%% without the simulator's own "
      "lateness) | %s |" % (100 * ln["efficiency"], 100 * ln["efficiency_host"], mark(ln["efficiency"] >= 0.99)))
    met_memory = all(abs(d) <= 1.0 for d in mem_diff.values())
    w("| peak memory the same within 1 MiB for 1 MB and 100 MB files | frames: %+.2f MiB, write: %+.2f MiB | %s |"
      % (mem_diff["frames"], mem_diff["write"], mark(met_memory)))
    zero = alloc["frames"]["per_line"] == 0 and alloc["write"]["per_line_worker"] == 0
    w("| no allocation per line in the transfer path | worker: %g per line; `write` as a whole: %g per line | %s |"
      % (alloc["write"]["per_line_worker"], alloc["write"]["per_line"], mark(zero)))
    w("")

    # 1
    w("## 1. Encoder")
    w("")
    w("`quorvane-cli frames --raw FILE >/dev/null` against `srec_cat FILE -o /dev/null -binary` on the same "
      "generated S3 file of %.1f MB (32 data bytes a record, `scripts/make-firmware`), one after the other in "
      "each run, the file in the page cache. MB/s is the file's size over the wall time. `cat FILE >/dev/null` "
      "is the floor for any program that reads the file." % (enc["size"] / 1e6))
    w("")
    w("| | MB/s (median) |")
    w("|---|---|")
    w("| quorvane-cli frames --raw | %.1f |" % enc["cli"])
    w("| srec_cat -binary | %.1f |" % enc["srec"])
    w("| cat (reading only) | %.0f |" % enc["cat"])
    w("| **ratio quorvane-cli / srec_cat** | **%.2fx** |" % enc["ratio"])
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
    w("`quorvane-cli write FILE --port PTY --baud 38400 --json` to `quorvane-sim --once --timing FILE` on a "
      "pty, answering every frame at once (no line emulation); FILE has %d frames (32 data bytes each). The "
      "simulator notes, per frame, when the write of its ACK returned and when the first byte of the next unit "
      "(frame or end sequence) arrived; the host turnaround is the difference: the pty both ways, the worker "
      "reading the answer, the progress hand-over, reading and encoding the next line and writing it, and the "
      "simulator waking up for the byte. Frames per "
      "second are the job's frames over its time as `write --json` reports it." % turn["frames"])
    w("")
    w("| | median of the runs |")
    w("|---|---|")
    w("| turnaround median | %.1f µs |" % turn["median"])
    w("| turnaround 99th percentile | %.1f µs |" % turn["p99"])
    w("| frames per second | %.0f |" % turn["fps"])
    w("| the simulator's own delay, answer due to written (median) | %.1f µs |" % turn["late"])
    w("")
    w("Runs: " + "; ".join("median %.1f µs, p99 %.1f µs, max %.0f µs, %.0f frames/s" %
                           (r["median"], r["p99"], r["max"], r["fps"]) for r in turn["runs"]) + ".")
    w("")

    # 3
    byte_us = BITS_PER_BYTE / BAUD * 1e6
    w("## 3. Line efficiency at 38400 baud")
    w("")
    w("The same write with `quorvane-sim --baud 38400`, which holds each frame's answer until the frame would "
      "have crossed a 38400-baud line and the answer byte would have come back (10 bits a byte, %.1f µs). The file has %d frames of 32 data bytes; the "
      "protocol's limit for it is every byte sent at line speed with nothing between: the start sequence, the "
      "frames and the end sequence (%d bytes, as `frames --raw` prints them) plus one answer byte per frame, "
      "%d bytes, %.3f s. The achieved figure is that limit over the job's time as `write --json` reports it."
      % (byte_us, ln["frames"], ln["raw_size"], ln["limit_bytes"], ln["limit_s"]))
    w("")
    w("| | median |")
    w("|---|---|")
    w("| job time | %.3f s (limit %.3f s) |" % (ln["seconds"], ln["limit_s"]))
    w("| achieved / limit, as measured | %.2f%% |" % (100 * ln["efficiency"]))
    w("| the same without the simulator's lateness (%.3f s): what the host alone leaves | %.2f%% |" %
      (ln["late"], 100 * ln["efficiency_host"]))
    w("")
    w("Where the job's time goes (sums over the frames, from `--timing`; medians of the runs):")
    w("")
    w("| | seconds | per frame |")
    w("|---|---|---|")
    n = ln["frames"]
    w("| frames and answers on the emulated line (first byte in to answer due) | %.3f | %.1f µs |" % (ln["on_line"], 1e6 * ln["on_line"] / n))
    w("| simulator's wake-up after the answer fell due | %.3f | %.1f µs (median %.1f µs) |" %
      (ln["late"], 1e6 * ln["late"] / n, ln["late_median_us"]))
    w("| host turnaround (answer written to next byte) | %.3f | %.1f µs (median %.1f µs) |" %
      (ln["turn"], 1e6 * ln["turn"] / n, ln["turn_median_us"]))
    w("")
    w("Distributions (µs, medians of the runs): host turnaround p10 %.1f, median %.1f, p90 %.1f, p99 %.1f; "
      "simulator lateness p10 %.1f, median %.1f, p99 %.1f. Between frames both processes sleep for the %.1f ms a "
      "frame takes on the line, and waking costs more than in section 2, where they never go idle for long."
      % (ln["turn_p10_us"], ln["turn_median_us"], ln["turn_p90_us"], ln["turn_p99_us"], ln["late_p10_us"],
         ln["late_median_us"], ln["late_p99_us"], ln["on_line"] / n * 1e3))
    w("")

    # 4
    w("## 4. Memory")
    w("")
    w("Peak resident set size (`/usr/bin/time -f %M`, GNU time's \"Maximum resident set size\") of "
      "`quorvane-cli frames --raw FILE >/dev/null` and of a real `quorvane-cli write FILE --port PTY --quiet` to "
      "`quorvane-sim` without line emulation, for S3 files of 250 data bytes a record:")
    w("")
    w("| file | frames --raw | write | write took |")
    w("|---|---|---|---|")
    for size in (1, 100):
        e = mem[size]
        w("| %.1f MB | %.2f MiB | %.2f MiB | %.1f s |" % (e["size"] / 1e6, e["frames"] / mib, e["write"] / mib,
                                                        e["write_seconds"]))
    w("| difference | %+.2f MiB | %+.2f MiB | |" % (mem_diff["frames"], mem_diff["write"]))
    w("")
    w("Allocations per line: the heap calls of a whole job under `valgrind --tool=memcheck` (\"total heap usage: "
      "N allocs\"), on files of %d and %d lines; any call made per line shows up as the difference over the "
      "%d added lines. `--xtree-memory=full` tells the calls made inside the worker (`RunWriteJob`) from the rest."
      % (alloc["frames"]["lines"][0], alloc["frames"]["lines"][1],
         alloc["frames"]["lines"][1] - alloc["frames"]["lines"][0]))
    w("")
    w("| | allocs, %d lines | allocs, %d lines | per added line | in the worker, per added line |" %
      alloc["frames"]["lines"])
    w("|---|---|---|---|---|")
    for kind, name in (("frames", "frames --raw"), ("write", "write to quorvane-sim")):
        a = alloc[kind]
        w("| %s | %d | %d | %g | %g |" % (name, a["small"], a["large"], a["per_line"], a["per_line_worker"]))
    w("")
    if alloc["write"]["per_line"]:
        w("The `write` command's calls per line are made before anything is sent, by `CheckFirmware` "
          "(%g per added line): the file check that `write` runs first keeps its merged data ranges in a "
          "`std::map`. The worker that carries the job makes none." % alloc["write"]["per_line_check"])
        w("")

    # 5
    w("## 5. The Windows program under wine64")
    w("")
    if windows is None:
        w("not measured: no run of the write dialog finished (see the bench/run output).")
    else:
        w("The x86_64 `quorvane.exe` under wine64 in a real window (Xvfb, the GUI test harness), writing a "
          "generated file of %d frames (32 data bytes each) through its write dialog to `quorvane-sim` answering "
          "at once behind COM5 (a `dosdevices/com5` link to the simulator's pty). The turnaround is measured by "
          "the simulator as in section 2: from its answer written to the first byte of the next frame, so it "
          "holds Wine's serial read, the synchronous progress hand-over to the dialog (`SendMessageA`, the "
          "counter redrawn), reading and encoding the next line and Wine's serial write. %d runs." %
          (windows["frames"], windows["runs"]))
        w("")
        w("| | median of the runs |")
        w("|---|---|")
        w("| host turnaround, median | %.1f µs |" % windows["median"])
        w("| host turnaround, 99th percentile | %.1f µs |" % windows["p99"])
        w("| frames per second | %.0f |" % windows["fps"])
    w("")

    # limits
    w("## What limits the targets not met")
    w("")
    any_unmet = False
    if enc["ratio"] < 10:
        any_unmet = True
        w("- **Encoder (%.1fx srec_cat, target 10x).** Reading the file alone runs at %.0f MB/s, so the time "
          "is the work per line: the profile above shows `EncodeLine` (two table look-ups per hex pair, the "
          "CRC two bytes at a time) and the per-frame hand-over to the port and `fwrite`. `BM_EncodeRandomData` "
          "gives the encoder alone; 10x srec_cat here means %.0f MB/s for the whole path." %
          (enc["ratio"], enc["cat"], 10 * enc["srec"]))
    if turn["median"] >= 100:
        any_unmet = True
        w("- **Turnaround.** Median %.1f µs against 100 µs." % turn["median"])
    if windows is not None and windows["median"] >= 1000:
        any_unmet = True
        w("- **Turnaround under Wine.** Median %.1f µs against 1 ms: Wine's serial reads and writes each go "
          "through the wineserver, on top of the dialog's synchronous hand-over." % windows["median"])
    if ln["efficiency"] < 0.99:
        any_unmet = True
        w("- **38400 baud (%.2f%%).** Per frame the line time is %.1f µs; the host turnaround adds %.1f µs on "
          "average (median %.1f µs, p99 %.1f µs) and the simulator's own wake-up %.1f µs (sums in section 3). "
          "Without the simulator's lateness the host alone leaves %.2f%%; 99%% allows %.0f µs a frame in all."
          % (100 * ln["efficiency"], 1e6 * ln["on_line"] / n, 1e6 * ln["turn"] / n, ln["turn_median_us"],
             ln["turn_p99_us"], 1e6 * ln["late"] / n, 100 * ln["efficiency_host"],
             0.01 / 0.99 * ln["limit_s"] / n * 1e6))
    if not met_memory:
        any_unmet = True
        w("- **Memory.** Peak resident size grows by %+.2f MiB (frames) and %+.2f MiB (write) from 1 MB to 100 MB."
          % (mem_diff["frames"], mem_diff["write"]))
    if not zero:
        any_unmet = True
        w("- **Allocations.** %g per line in the worker, %g per line in frames --raw." %
          (alloc["write"]["per_line_worker"], alloc["frames"]["per_line"]))
    if not any_unmet:
        w("Every measured target is met.")
    w("")

    with open(output, "w") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    write_report(sys.argv[1], sys.argv[2])
