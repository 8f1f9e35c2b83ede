#!/usr/bin/env python3
"""qo --record against its yardstick (bench/bare_shot.cpp --loop), and where
the time of a frame goes.

    bench/record_bench.py BUILD SHADERS RUNS [FRAMES]

1. A shader whose drawing is the bottleneck (written here, at 400x300): the
   frames per second of qo --record (PNG sequence and mp4) against a bare
   EGL loop that draws and reads back the same frames, as a ratio of wall
   times and of CPU times (user + system, the encoder's included: steadier
   on a busy machine, and what a machine with a core to spare for the
   writing would see).
2. SHADERS (the example) at 800x600 and 1920x1080: frames per second of qo
   --record to PNG and to mp4, and the milliseconds per frame of each step,
   measured alone, one after the other: drawing (bare loop, glFinish),
   read-back (bare loop with glReadPixels, less the drawing), PNG compression
   and writing (bare loop writing each PNG, less the read-back loop), and
   ffmpeg's encoding of the same raw frames from a file (the pipe's far end).
   qo overlaps the writing with the next frame's drawing.

Each command runs RUNS times, interleaved, with DISPLAY and WAYLAND_DISPLAY
unset; medians. Figures only, no verdict.
"""
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

DRAW_BOUND_SHADER = """uniform vec4 fpar[4];
void main()
{
    vec2 p = gl_FragCoord.xy / 300.0;
    float v = 0.0;
    for (int i = 0; i < 600; ++i) {
        p = vec2(sin(p.x * 1.3 + fpar[2].x), cos(p.y * 1.7 - float(i) * 0.01)) * 1.01;
        v += p.x * p.y;
    }
    gl_FragColor = vec4(fract(v), fract(v * 0.5), fract(p.x), 1.0);
}
"""

# qo's own ffmpeg command for an mp4 (src/picture/ffmpeg_args.cpp).
MP4_ENCODING = ["-c:v", "libx264", "-vf",
                "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p", "-pix_fmt",
                "yuv420p", "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc",
                "bt709", "-color_range", "tv", "-f", "mp4"]


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def seconds_of(command, cwd, env, stdout=subprocess.DEVNULL, cpu=None):
    """Wall seconds of the command; its CPU seconds (its children's
    included) appended to `cpu` when given."""
    before = cpu_of_children()
    start = time.perf_counter()
    subprocess.run(command, cwd=cwd, env=env, check=True, stdout=stdout,
                   stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    if cpu is not None:
        cpu.append(cpu_of_children() - before)
    return wall


def medians(cases, runs, cwd, env):
    """The median wall and CPU seconds of each (name, command of a fresh
    output folder): {name: (wall, cpu)}."""
    walls = {name: [] for name, _ in cases}
    cpus = {name: [] for name, _ in cases}
    order = list(cases)
    for _ in range(runs):
        random.shuffle(order)
        for name, command in order:
            out = tempfile.mkdtemp()
            try:
                walls[name].append(seconds_of(command(out), cwd, env, cpu=cpus[name]))
            finally:
                shutil.rmtree(out)
    return {name: (statistics.median(walls[name]), statistics.median(cpus[name]))
            for name, _ in cases}


def main():
    build, shaders, runs = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), int(
        sys.argv[3])
    frames = int(sys.argv[4]) if len(sys.argv) > 4 else 60
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    qo = os.path.join(build, "qo")
    bare = os.path.join(build, "bench", "qo_bench_bare_shot")

    def bare_loop(count, size, mode):
        return lambda out: [bare, "--loop", str(count), size, mode]

    def record(count, size, file):
        return lambda out: [qo, "--record", os.path.join(out, file), "--frames", f"1-{count}",
                            "--size", size]

    # 1. Draw-bound.
    heavy = tempfile.mkdtemp()
    shutil.copy(os.path.join(shaders, "vs.fx"), heavy)
    with open(os.path.join(heavy, "ps.fx"), "w") as pixel:
        pixel.write(DRAW_BOUND_SHADER)
    count = max(frames // 2, 10)
    got = medians([("bare", bare_loop(count, "400x300", "read")),
                   ("png", record(count, "400x300", "f%04d.png")),
                   ("mp4", record(count, "400x300", "a.mp4"))], runs, heavy, env)
    shutil.rmtree(heavy)
    print(f"draw-bound shader, 400x300, {count} frames, medians of {runs}:")
    print(f"  {'':32} {'fps':>7} {'ratio':>6} {'CPU s':>7} {'CPU ratio':>9}")
    bare_wall, bare_cpu = got["bare"]
    print(f"  {'bare EGL loop (draw + read back)':32} {count / bare_wall:7.2f} {'':6} "
          f"{bare_cpu:7.2f}")
    for kind in ("png", "mp4"):
        wall, cpu = got[kind]
        print(f"  {'qo --record ' + kind:32} {count / wall:7.2f} {bare_wall / wall:6.2f} "
              f"{cpu:7.2f} {bare_cpu / cpu:9.2f}")

    # 2. The example shader: qo's rates and the steps alone.
    print()
    print(f"example shader, {frames} frames, medians of {runs} "
          "(steps: ms per frame, each alone)")
    print(f"{'':10} {'PNG fps':>8} {'mp4 fps':>8} {'draw':>7} {'read':>7} {'PNG':>7} "
          f"{'x264':>7}")
    for size in ("800x600", "1920x1080"):
        got = medians([("draw", bare_loop(frames, size, "draw")),
                       ("read", bare_loop(frames, size, "read")),
                       ("png steps", bare_loop(frames, size, "png")),
                       ("png", record(frames, size, "f%04d.png")),
                       ("mp4", record(frames, size, "a.mp4"))], runs, shaders, env)
        # ffmpeg alone on the same frames, from a file.
        raw = tempfile.NamedTemporaryFile(suffix=".raw")
        subprocess.run([bare, "--loop", str(frames), size, "raw"], cwd=shaders, env=env,
                       check=True, stdout=raw)
        encode = []
        for _ in range(runs):
            out = tempfile.mkdtemp()
            encode.append(seconds_of(
                ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo",
                 "-pix_fmt", "rgb24", "-s", size, "-framerate", "60", "-i", raw.name]
                + MP4_ENCODING + [os.path.join(out, "a.mp4")], shaders, env))
            shutil.rmtree(out)
        raw.close()
        per = {k: 1000 * v[0] / frames for k, v in got.items()}
        print(f"{size:10} {frames / got['png'][0]:8.2f} {frames / got['mp4'][0]:8.2f} "
              f"{per['draw']:7.1f} {per['read'] - per['draw']:7.1f} "
              f"{per['png steps'] - per['read']:7.1f} "
              f"{1000 * statistics.median(encode) / frames:7.1f}")


if __name__ == "__main__":
    main()
