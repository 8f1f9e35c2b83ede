#!/usr/bin/env python3
"""Instructions per frame of the viewer's loop, by step, from two callgrind
runs of different lengths (the difference cancels start-up and exit).

    callgrind_steps.py SHORT.out LONG.out SOURCE_ROOT

Both files must come from `valgrind --tool=callgrind --compress-strings=no
--compress-pos=no`. Each instruction executed on the loop's behalf is put in
one of three columns:
  qo        the viewer's own functions
  libraries libc, libm, Xlib/xcb, libXi, ld.so: called by the viewer itself
  GL driver libGL/libGLX/glvnd dispatch, Mesa, LLVM, JIT code (object "???")
The first two make the viewer's own count. The driver's is printed beside
it for scale: main thread only (llvmpipe rasterizes in its own threads), and
for flush and present it includes waiting on those threads, so it varies
from run to run.
The bench's swap hook is transparent: its own instructions are not counted.
The step is read from the source line of the loop (run_main_loop, draw_frame,
render_frame)
that spent the instruction or made the call.
"""
import re
import sys

# render_frame draws (one call per frame, also when the compiler folds
# draw_frame into run_main_loop); draw_frame's and its own lines are
# counted where they are.
LOOP_FUNCTIONS = ("run_main_loop", "draw_frame", "render_frame")
FRAME_FUNCTION = "render_frame"
DRIVER_OBJECT = re.compile(r"^\?\?\?$|libGL|libGLX|libGLdispatch|libglapi|_dri\.so|gallium|LLVM")
HOOK_OBJECT = re.compile(r"qo_bench_swap_hook")
REBUILD_STEP = "rebuild (F5 held)"
# Checked in order against the text of the loop's source line.
STEPS = [
    ("drain", re.compile(r"drain_window_events")),
    ("F5 poll", re.compile(r"f5_key_down")),
    ("save watch poll", re.compile(r"poll_save_watch")),
    (REBUILD_STEP, re.compile(r"release_shaders|build_shader_program")),
    ("uniform upload", re.compile(r"glUseProgram|glGetUniformLocation|glUniform")),
    ("clock + fpar", re.compile(r"frame_clock|fill_fpar_block")),
    ("clear + matrices", re.compile(r"glClear|glMatrixMode|glLoadIdentity")),
    ("rect", re.compile(r"glRect")),
    ("flush", re.compile(r"glFlush")),
    ("present", re.compile(r"present_frame")),
    ("yield", re.compile(r"yield_processor")),
]
OTHER_STEP = "loop and frame bodies"
COLUMNS = ("qo", "libraries", "GL driver")


def parse(path):
    """Returns {(object, function): {"self": [(file, line, cost)],
    "calls": [(file, line, callee_key, count, inclusive)]}}."""
    functions = {}
    ob = fl = fi = fn = None
    cob = cfn = None
    pending_call = None
    with open(path, encoding="utf-8", errors="replace") as lines:
        for raw in lines:
            line = raw.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            if line[0].isdigit() or line[0] in "+-*":
                fields = line.split()
                number, cost = int(fields[0]), int(fields[1]) if len(fields) > 1 else 0
                entry = functions.setdefault((ob, fn), {"self": [], "calls": []})
                if pending_call is not None:
                    callee, count = pending_call
                    entry["calls"].append((fi or fl, number, callee, count, cost))
                    pending_call = None
                else:
                    entry["self"].append((fi or fl, number, cost))
                continue
            key, _, value = line.partition("=")
            if key == "ob":
                ob = value
            elif key == "fl":
                fl, fi = value, None
            elif key in ("fi", "fe"):
                fi = value
            elif key == "fn":
                fn, fi = value, None
            elif key == "cob":
                cob = value
            elif key == "cfn":
                cfn = value
            elif key == "calls":
                pending_call = ((cob if cob is not None else ob, cfn), int(value.split()[0]))
                cob = cfn = None
    return functions


def splitter(functions, viewer_object):
    """Returns split(key, inclusive) -> [qo, libraries, driver] for a call of
    `inclusive` instructions into the function `key`."""
    totals = {}
    memo = {}

    def total(key):
        if key not in totals:
            entry = functions.get(key, {"self": [], "calls": []})
            totals[key] = sum(c for _, _, c in entry["self"]) + sum(
                c[4] for c in entry["calls"])
        return totals[key]

    def whole(key):
        if key in memo:
            return memo[key]
        obj = key[0] or ""
        entry = functions.get(key, {"self": [], "calls": []})
        if DRIVER_OBJECT.search(obj):
            memo[key] = [0, 0, total(key)]
            return memo[key]
        memo[key] = [0, total(key), 0]  # stands while a recursion is open
        parts = [0, 0, 0]
        hook = HOOK_OBJECT.search(obj) is not None
        if not hook:
            parts[0 if obj == viewer_object else 1] += sum(c for _, _, c in entry["self"])
        for _, _, callee, _, inclusive in entry["calls"]:
            for i, value in enumerate(split(callee, inclusive)):
                if i == 2 or not hook:  # under the hook only the real GL call counts
                    parts[i] += value
        memo[key] = parts
        return parts

    def split(key, inclusive):
        parts = whole(key)
        full = sum(parts)
        if full == 0:
            return [0, 0, inclusive] if DRIVER_OBJECT.search(key[0] or "") else [0, inclusive, 0]
        return [p * inclusive / full for p in parts]

    return split


def source_text(root, path, number, cache={}):
    if path not in cache:
        try:
            with open(path if path.startswith("/") else f"{root}/{path}", encoding="utf-8") as f:
                cache[path] = f.read().split("\n")
        except OSError:
            cache[path] = []
    lines = cache[path]
    return lines[number - 1] if 0 < number <= len(lines) else ""


def step_of(text):
    for name, pattern in STEPS:
        if pattern.search(text):
            return name
    return OTHER_STEP


def step_at(root, path, number):
    """The step of a line of the loop; a line of an inline function from a
    header (a GL call wrapper) takes the step of the few lines above it."""
    step = step_of(source_text(root, path, number))
    lookback = 3 if path.endswith(".h") else 0
    while step == OTHER_STEP and lookback > 0 and number > 1:
        number -= 1
        lookback -= 1
        step = step_of(source_text(root, path, number))
    return step


def by_step(path, root):
    """Returns ({step: [qo, libraries, driver]}, frames drawn)."""
    functions = parse(path)
    loop_objects = [ob for ob, fn in functions if (fn or "").startswith("run_main_loop(")]
    if len(loop_objects) != 1:
        sys.exit(f"callgrind_steps.py: no single run_main_loop in {path}")
    split = splitter(functions, loop_objects[0])
    steps = {}
    frames = 0
    for (ob, fn), entry in functions.items():
        name = (fn or "").split("(")[0]
        if name not in LOOP_FUNCTIONS or ob != loop_objects[0]:
            continue
        # run_main_loop's own first build and last release are not frames.
        skipped = (REBUILD_STEP,) if name == "run_main_loop" else ()
        for file, number, cost in entry["self"]:
            step = step_at(root, file, number)
            if step not in skipped:
                steps.setdefault(step, [0, 0, 0])[0] += cost
        for file, number, callee, count, inclusive in entry["calls"]:
            callee_name = callee[1].split("(")[0]
            if callee_name in LOOP_FUNCTIONS:
                frames += count if callee_name == FRAME_FUNCTION else 0
                continue  # its own lines are counted above
            step = step_at(root, file, number)
            if step in skipped:
                continue
            parts = split(callee, inclusive)
            row = steps.setdefault(step, [0, 0, 0])
            for i, value in enumerate(parts):
                row[i] += value
    return steps, frames


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: callgrind_steps.py SHORT.out LONG.out SOURCE_ROOT")
    short, short_frames = by_step(sys.argv[1], sys.argv[3])
    long, long_frames = by_step(sys.argv[2], sys.argv[3])
    frames = long_frames - short_frames
    if frames <= 0:
        sys.exit("callgrind_steps.py: the second run must draw more frames than the first")
    order = [name for name, _ in STEPS] + [OTHER_STEP]
    print(f"Instructions per frame (difference of {long_frames} and {short_frames} frames)\n")
    print("| step | qo | libraries | viewer total | GL driver (main thread, for scale) |")
    print("|---|---:|---:|---:|---:|")
    sums = [0.0, 0.0, 0.0]
    for name in order:
        a = long.get(name, [0, 0, 0])
        b = short.get(name, [0, 0, 0])
        row = [(a[i] - b[i]) / frames + 0.0 for i in range(3)]
        row = [0.0 if abs(value) < 0.5 else value for value in row]
        if name not in long and name not in short:
            continue
        sums = [sums[i] + row[i] for i in range(3)]
        print(f"| {name} | {row[0]:.0f} | {row[1]:.0f} | {row[0] + row[1]:.0f} | {row[2]:.0f} |")
    print(f"| **all steps** | {sums[0]:.0f} | {sums[1]:.0f} | {sums[0] + sums[1]:.0f} "
          f"| {sums[2]:.0f} |")


if __name__ == "__main__":
    main()
