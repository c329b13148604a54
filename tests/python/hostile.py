"""The machinery of the hostile-input fuzzers: batches of cases run side by
side in child interpreters whose address space is capped, so that a crash
or an allocation gone wild fails the batch and names the last case started
instead of taking pytest (or the machine) down.

A fuzzer module defines ``run_batch(batch, count, progress_path, headroom)``
(run in the child; it calls :func:`cap_address_space` and writes the number
of every case to ``progress_path`` before starting it, on a line of its own,
optionally followed by a tab and the call the case makes) and hands
:func:`run_batches` the counts and a function that describes case k of a
batch, for crash reports.
"""
import json
import os
import resource
import subprocess
import sys
import tempfile

import pytest


def cap_address_space(headroom):
    """Caps this process's address space at its current size plus headroom
    bytes: a huge matrix then fails to allocate instead of being written."""
    with open("/proc/self/statm") as f:
        size = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS,
                       (size + headroom, resource.getrlimit(resource.RLIMIT_AS)[1]))


def split_cases(total, batches):
    """Case counts of the batches, as even as they can be."""
    return [total // batches + (b < total % batches) for b in range(batches)]


def run_batches(module_path, counts, headroom, describe, env=None, timeout=1800):
    """Runs batch b (with counts[b] cases) of the fuzzer at module_path in a
    child interpreter each, side by side, and returns their summaries (the
    JSON run_batch returned). A batch that dies fails the test, naming its
    last case and describe(b, k)."""
    here = os.path.dirname(os.path.abspath(module_path))
    name = os.path.splitext(os.path.basename(module_path))[0]
    shared = os.path.dirname(os.path.abspath(__file__))
    with tempfile.TemporaryDirectory() as tmp:
        progress = [os.path.join(tmp, f"progress{b}") for b in range(len(counts))]
        children = [
            subprocess.Popen([sys.executable, "-c",
                              f"import json, sys; sys.path[:0] = [{here!r}, {shared!r}]; "
                              f"import {name} as t; print(json.dumps(t.run_batch("
                              f"{b}, {counts[b]}, {progress[b]!r}, {headroom!r})))"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=env if env is not None else dict(os.environ))
            for b in range(len(counts))]
        outputs = [child.communicate(timeout=timeout) for child in children]
        for b, (child, (_, err)) in enumerate(zip(children, outputs)):
            if child.returncode != 0:
                started = []
                if os.path.exists(progress[b]):
                    with open(progress[b]) as f:
                        started = [line for line in f.read().splitlines() if line.strip()]
                # A line is a case number, then optionally a tab and what the case called.
                last_line = started[-1].split("\t", 1) if started else ["0"]
                last = int(last_line[0])
                try:
                    call = describe(b, last)
                except Exception as e:
                    call = f"not reproducible here: {e!r}"
                if len(last_line) > 1:
                    call += f"; last call: {last_line[1]}"
                # Memory corrupted by one case may be noticed by a later one.
                before = "\n  ".join(line[:500] for line in started[-4:-1])
                pytest.fail(f"batch {b} died (status {child.returncode}) in case {b}/{last} "
                            f"({call}):\n"
                            f"{err[-3000:]}"
                            + (f"\nthe cases before it:\n  {before}" if before else ""))
    summaries = [json.loads(out.splitlines()[-1]) for out, _ in outputs]
    assert [s["cases"] for s in summaries] == counts
    return summaries


def merge_tallies(summaries):
    """The per-entry outcome counts of all batches added up."""
    tally = {}
    for s in summaries:
        for name, outcomes in s["tally"].items():
            for outcome, n in outcomes.items():
                tally.setdefault(name, {}).setdefault(outcome, 0)
                tally[name][outcome] += n
    return tally
