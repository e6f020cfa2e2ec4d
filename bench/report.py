"""Writes docs/PERFORMANCE.md (to standard output) from the results
scripts/bench left in a directory. Usage: report.py DIR REPETITIONS"""
import datetime
import json
import os
import platform
import re
import statistics
import sys

OUT = sys.argv[1]
REPS = sys.argv[2]


def path(name):
    return os.path.join(OUT, name)


def medians(name):
    """The median aggregates of a Google Benchmark JSON file, by run name."""
    with open(path(name + ".json")) as f:
        data = json.load(f)
    return {b["run_name"].split("/")[0]: b for b in data["benchmarks"]
            if b.get("aggregate_name") == "median"}


def values(name):
    """The numbers in a file, one a line."""
    with open(path(name + ".txt")) as f:
        return [float(line.split()[0]) for line in f if line.strip()]


def query_rounds(kind):
    """The driver's query rounds, in microseconds."""
    times = []
    for r in range(1, int(REPS) + 1):
        with open(path(f"query-{kind}-{r}.json")) as f:
            times.append(us(json.load(f)["benchmarks"][0]))
    return times


def us(bench):
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}[bench["time_unit"]]
    return bench["real_time"] * scale


def met(ok):
    return "met" if ok else "**not met**"


def strace_per_query(kind):
    """System calls of one query: 2000 queries less 1000, over 1000."""
    counts = []
    for n in (1000, 2000):
        name = path(f"strace-{kind}-{n}.txt")
        if not os.path.exists(name):
            return None
        calls = {}
        with open(name) as f:
            for line in f:
                m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", line)
                if m:
                    calls[m.group(2)] = int(m.group(1))
        counts.append(calls)
    per = {k: (counts[1].get(k, 0) - counts[0].get(k, 0)) / 1000
           for k in set(counts[0]) | set(counts[1])}
    return {k: v for k, v in sorted(per.items()) if v >= 0.05 and k != "total"}


def machine():
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}"


lines = []
w = lines.append
now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
w("# Performance")
w("")
w("What the driver costs beside the line it drives. Every figure is a ratio of")
w("two timings taken in the same run, so a busy machine moves both sides; the")
w("times themselves are given only to show the scale.")
w("")
w(f"- Machine: {machine()}. The machine was shared with other builds and test runs")
w("  while these figures were taken; the absolute times are noisy, the ratios less so.")
w(f"- Date: {now}; medians of {REPS} repetitions unless a row says otherwise.")
w("- Reproduce: `scripts/bench` (builds the `kestor-bench-*` programs of `bench/` and")
w("  rewrites this file; `KESTOR_BENCH_REPS=N` sets the repetitions, `KESTOR_BENCH_OUT=DIR`")
w("  keeps the raw results). Needs libbenchmark-dev, python3-serial and strace.")
w("")

# 1.
ex = medians("exchange")
w("## Processor time per exchange")
w("")
w("`kestor-bench-exchange`: the driver over a line in memory. The emulator's register")
w("answers each operation once while its answers are recorded; the timed loop replays")
w("them, so only the driver runs. Line time: the bytes both ways at 115200 baud,")
w("10 bits a byte. Goal: the driver's time at most 2 % of the line's.")
w("")
w("| Exchange | Bytes | Line time (µs) | Driver CPU (µs) | CPU / line | Goal ≤ 2 % |")
w("|---|---:|---:|---:|---:|---|")
names = {
    "Identification": "Identification (`Close`, `Open`: \"E\")",
    "Query": "A query (`QueryLastDocInfo`)",
    "XReport": "X report (`XReport`)",
    "Receipt": "Standard receipt, 196 items, closed (207.1K)",
    "Composite": "Composite document, 300 properties, closed (207.1F)",
    "Graphic": "Largest graphic header, 70 × 120 (207.1F)",
}
for key, label in names.items():
    b = ex[key]
    w(f"| {label} | {b['bytes']:.0f} | {b['line_us']:.0f} | {b['cpu_us']:.1f} | "
      f"{b['cpu_pct']:.2f} % | {met(b['cpu_pct'] <= 2)} |")
w("")

# 2.
w("## Round trip of a query on a pseudo-terminal")
w("")
w("`QueryFirmwareInfo` (\"E\", 10 bytes out, 120 back) in a loop, beside")
w("`kestor-bench-floor`, a minimal C program doing the same exchange with one")
w("write and blocking reads up to the ETX, and beside `bench/pyserial_query.py`,")
w("the same with python3-serial. The three take turns on the same line, each")
w("round 500 queries (100 for pyserial): the figures are the medians over the")
w("rounds of the mean round trip, and the quietest round's (the least mean of")
w("each). A round trip on a pty is two process switches, so on a shared machine a")
w("round that meets another process's work takes several times as long; the")
w("quietest rounds show the cost of the code itself.")
w("The instant peer (`kestor-bench-peer`) answers a known request with one write")
w("at once; `kestor-emu` is the emulator at 115200 baud. Goal: at most 1.5 × the floor.")
w("")
w("| Peer | C floor (µs) | Driver (µs) | Driver / floor | Quietest: floor, driver (µs) | Quietest ratio | Goal ≤ 1.5 × | pyserial (µs) | pyserial / floor |")
w("|---|---:|---:|---:|---:|---:|---|---:|---:|")
for kind, label in (("peer", "instant peer"), ("emu", "kestor-emu")):
    floors, drvs = values(f"floor-{kind}"), query_rounds(kind)
    floor, drv = statistics.median(floors), statistics.median(drvs)
    py = statistics.median(values(f"pyserial-{kind}"))
    quiet = min(drvs) / min(floors)
    w(f"| {label} | {floor:.1f} | {drv:.1f} | {drv / floor:.2f} × | "
      f"{min(floors):.1f}, {min(drvs):.1f} | {quiet:.2f} × | "
      f"median {met(drv / floor <= 1.5)}, quietest {met(quiet <= 1.5)} | "
      f"{py:.1f} | {py / floor:.1f} × |")
w("")
per = strace_per_query("peer")
if per:
    total = sum(per.values())
    detail = ", ".join(f"{v:g} {k}" for k, v in per.items())
    w(f"System calls of one query (`strace -f -c`, 2000 queries less 1000, instant peer):")
    w(f"{total:g} ({detail}).")
    w("")
w("Before the changes below (measured on 2026-12-06, same machine, same load):")
w("")
w("- one query took 21 system calls (4 write, 5 poll, 5 read, 5 ioctl, 2 sched_yield);")
w("- in memory, a query's wall time was 832 µs for 4.9 µs of processor time: each of")
w("  the two `sched_yield` calls gave the processor to the other processes on the")
w("  busy machine for a time slice. Without them, 1.3 µs;")
w("- on kestor-emu, 12 rounds by turns of the old driver, the new one and the C floor")
w("  gave quietest rounds of 94.5, 85.6 and 40.4 µs, medians 216, 229 and 89 µs: under")
w("  that load the round trips are dominated by waiting for a processor, and the")
w("  difference between the old and the new driver lies within the noise.")
w("")
w("What changed below the port operations (their order, and that of the data")
w("events, is the same):")
w("")
w("- A request frame's blocks wait in the line (`TLine::Queue`) and go out with its")
w("  last block in one write; the line's output is drained once a frame, not once a block.")
w("- The POSIX line reads what has arrived into its own buffer with one read, and")
w("  serves the engine's small reads (the STX, the header, the data, the BCC, the ETX)")
w("  from it.")
w("- No `sched_yield` between writing and reading: the wait for the answer blocks in")
w("  `poll` anyway.")
w("")

# 3.
w("## Line-rate efficiency on a paced line")
w("")
w("`kestor-emu --paced --line-time 0`: the emulator takes the host's bytes and sends")
w("its own at the byte rate of the line (10 bits a byte), and its printer takes no time.")
w("Efficiency: the line time of every byte that crossed the line, both ways,")
w("beside the measured time. Goal: at least 98 % for the framed transfer (the")
w("graphic header). The text on BS is acknowledged byte by byte, so each byte")
w("costs a round trip through both ends beside its own and its ACK's line time;")
w("the goal column gives that cost per byte. The driver's share of it is four")
w("system calls a byte (the write, the drain's ioctl, the poll and the read of")
w("the ACK, counted with strace); the rest is three wake-ups a byte (the")
w("emulator's two timers and the driver's poll), each of which, on this shared")
w("machine, may wait for a processor.")
w("")
w("| Baud | Protocol | Transfer | Bytes | Line time (ms) | Measured (ms) | Efficiency | Goal |")
w("|---:|---|---|---:|---:|---:|---:|---|")
for baud in (9600, 115200):
    for proto in ("bs", "xonxoff"):
        runs = medians(f"paced-{baud}-{proto}")
        for key, label in (("GraphicHeader", "graphic header frame"), ("Text", "4 KB text")):
            b = runs[key]
            eff = b["efficiency_pct"]
            if key == "GraphicHeader":
                goal = f"≥ 98 %: {met(eff >= 98)}"
            elif proto == "bs":
                goal = f"ACK round trip: {b['overhead_us'] / 4100:.0f} µs a byte"
            else:
                goal = "—"
            w(f"| {baud} | {proto} | {label} | {b['bytes']:.0f} | {b['line_us'] / 1000:.1f} | "
              f"{us(b) / 1000:.1f} | {eff:.1f} % | {goal} |")
w("")
w("(3 repetitions at 9600 baud, 5 at 115200.)")
w("")

# 4.
def samples(name):
    with open(path(name + ".txt")) as f:
        rows = [line.split() for line in f if line.strip()]
    return [float(r[0]) for r in rows], [int(r[1]) for r in rows]


bare_ms, bare_kb = samples("window-bare")
text_ms, text_kb = samples("window-text")
test_ms, test_kb = samples("window-test")
mem = ex["DriverMemory"]
w("## Test window and memory")
w("")
w("`kestor-bench-window` (`QT_QPA_PLATFORM=offscreen`), a fresh process each time,")
w("by turns: the time from `main` to the end of the window's first paint, and the")
w("process's peak resident memory then, for a bare `QWidget`, for one with a")
w("single `QLabel`, and for the test window (`TMainForm`). No goal is set. Most of")
w("what the test window adds to a bare one is what any window with text pays:")
w("fontconfig reading its configuration and the font files (the label's column),")
w("then loading the JPEG plugin and decoding the control's pictures, and the")
w("form's widgets.")
w("")
w("| | Bare QWidget | With a label | Test window | Test / bare | Test / label |")
w("|---|---:|---:|---:|---:|---:|")
tb, tl, tt = (statistics.median(x) for x in (bare_ms, text_ms, test_ms))
mb, ml, mt = (statistics.median(x) for x in (bare_kb, text_kb, test_kb))
w(f"| Start to first paint (ms) | {tb:.1f} | {tl:.1f} | {tt:.1f} | {tt / tb:.2f} × | "
  f"{tt / tl:.2f} × |")
w(f"| Peak memory (KiB) | {mb:.0f} | {ml:.0f} | {mt:.0f} | {mt / mb:.2f} × | {mt / ml:.2f} × |")
w("")
extra = mem["heap_bytes"] - mem["object_bytes"]
w(f"The driver object is {mem['object_bytes']:.0f} bytes, its document buffers included.")
w(f"Connected, with a receipt of 196 items built, it holds {extra:.0f} bytes of heap")
w("beyond itself (`kestor-bench-exchange`, DriverMemory: the heap in use before")
w("creating it and after).")
w("")
print("\n".join(lines))
