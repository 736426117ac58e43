#!/usr/bin/env python3
"""Makes a line-protocol transcript comparable across runs and builds.

How often progress is written depends on how fast the work goes (at most
four times a second), so the progress lines between two other lines are
replaced by their net change: for each control and form (short or named),
its last value, where it differs from what that run began with, sorted by
control id. Wine's own notes ("wine: ...") are dropped.

    normalise.py [--no-progress] < transcript > normalised

--no-progress drops progress lines altogether (a run cut short at a time
that differs from run to run, such as an Abort), and with them the amounts
in a failed run's closing line (how far it came).
"""
import re
import sys


def main():
    drop_progress = "--no-progress" in sys.argv[1:]
    captions = []
    state = {}      # (caption, id, form) -> value, across the whole transcript
    run = {}        # the same keys: the last value within the current run
    at_start = {}   # the same keys: the value when the current run began
    out = []

    def progress(line):
        for caption in captions:
            if not line.startswith(caption + " "):
                continue
            m = re.match(r"(\d+): (.*)$|\[(\d+) (bar|text)\]: (.*)$", line[len(caption) + 1:])
            if m:
                if m.group(1):
                    return (caption, int(m.group(1)), ""), m.group(2)
                return (caption, int(m.group(3)), m.group(4)), m.group(5)
        return None

    def end_run():
        for key in sorted(run):
            if run[key] != at_start.get(key):
                caption, cid, form = key
                label = "[%d %s]" % (cid, form) if form else str(cid)
                out.append("%s %s: %s" % (caption, label, run[key]))
            state[key] = run[key]
        run.clear()
        at_start.clear()

    for raw in sys.stdin.read().split("\n"):
        line = raw.rstrip("\r")
        if line.startswith("wine: "):
            continue
        p = progress(line)
        if p:
            if not drop_progress:
                key, value = p
                if key not in at_start:
                    at_start[key] = state.get(key)
                run[key] = value
            continue
        end_run()
        if drop_progress and line.startswith("flashupdate: FAILED: "):
            line = re.sub(r"\([^)]*\)", "(...)", line, count=1)
        if line.startswith("Dialog: "):
            captions.append(line[len("Dialog: "):])
            captions.sort(key=len, reverse=True)
        out.append(line)
    end_run()
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
