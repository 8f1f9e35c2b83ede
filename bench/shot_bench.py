#!/usr/bin/env python3
"""qo --shot against its yardstick (bench/bare_shot.cpp), and an EGL context
against the viewer's GLX window at start.

    bench/shot_bench.py BUILD SHADERS RUNS

Runs each command RUNS times, interleaved in a new order each round, in SHADERS, with DISPLAY and
WAYLAND_DISPLAY unset except for the GLX context (which uses the DISPLAY of
the caller: run-bench.sh's Xvfb). Prints the median wall time from start to
exit (the file written) with the first and third quartiles, the median CPU
time (user + system; steadier on a busy machine) and the median peak
resident memory (/usr/bin/time's %M). Figures only, no verdict.
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time


def measure(command, cwd, env):
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M %U %S"] + command,
                       cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        rss, user, system = report.read().split()[-3:]
        return seconds, int(rss), float(user) + float(system)


def main():
    build, shaders, runs = os.path.abspath(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    headless = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    out = tempfile.mkdtemp()
    bare = os.path.join(build, "bench", "qo_bench_bare_shot")
    cases = [
        ("qo --shot (frame 60)", [os.path.join(build, "qo"), "--shot", out + "/qo.png",
                                  "--frame", "60"], headless),
        ("bare shot (frame 60)", [bare, out + "/bare.png", "60"], headless),
        ("EGL context, surfaceless", [bare, "--context", "egl"], headless),
        ("GLX context, 800x600 window", [bare, "--context", "glx"], dict(os.environ)),
    ]
    results = {name: [] for name, _, _ in cases}
    order = list(cases)
    for _ in range(runs):
        # A new order each round: what a run leaves behind (Xvfb tearing a
        # window down, caches) does not always fall on the same next one.
        random.shuffle(order)
        for name, command, env in order:
            results[name].append(measure(command, shaders, env))
    print(f"{'':30} {'wall ms':>8} {'q1-q3 ms':>14} {'CPU ms':>7} {'peak RSS MiB':>13}")
    for name, _, _ in cases:
        times = sorted(1000 * t for t, _, _ in results[name])
        q = statistics.quantiles(times, n=4)
        cpu = statistics.median(1000 * c for _, _, c in results[name])
        rss = statistics.median(m for _, m, _ in results[name]) / 1024
        print(f"{name:30} {statistics.median(times):8.1f} {q[0]:6.1f}-{q[2]:<7.1f} {cpu:7.0f} "
              f"{rss:13.1f}")
    for what, index in (("wall", 0), ("CPU", 2)):
        qo = statistics.median(r[index] for r in results["qo --shot (frame 60)"])
        bare_time = statistics.median(r[index] for r in results["bare shot (frame 60)"])
        print(f"qo --shot / bare shot, {what}: {qo / bare_time:.2f}")


if __name__ == "__main__":
    main()
