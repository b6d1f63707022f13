#!/usr/bin/env python3
"""Instructions per call of each hot path under callgrind.

Runs tellivar-bench once per case under `valgrind --tool=callgrind` (LM_DEBUG
masked, the host's normal setting) and prints the inclusive instruction count
per call of the function that does the case's work, for the plug-in and for
its baseline. Instruction counts do not vary from run to run as times do.

Usage: bench/callgrind.py [path/to/tellivar-bench]   (default build/bench/tellivar-bench)
"""
import os
import re
import subprocess
import sys
import tempfile

BENCH = sys.argv[1] if len(sys.argv) > 1 else "build/bench/tellivar-bench"

# (label, benchmark filter, functions whose inclusive costs per call are summed, divisor)
CASES = [
    ("snapshot 10 subscribed / 5 changed, plug-in", r"^snapshot/plugin/sub:10/changed:5/debug:masked/",
     [r"(Relay<TickSupplier>|TickSupplier)::onSnapshotUpdate\("], 1),
    ("snapshot 10 subscribed / 5 changed, baseline", r"^snapshot/baseline/sub:10/changed:5/",
     [r"BaselineSnapshotSink::onSnapshotUpdate\("], 1),
    ("snapshot 10 subscribed / 5 changed, floor", r"^snapshot/floor/sub:10/changed:5/",
     [r"FloorSnapshotSink::onSnapshotUpdate\("], 1),
    ("snapshot all subscribed / 20 changed, plug-in", r"^snapshot/plugin/sub:all/changed:20/debug:masked/",
     [r"(Relay<TickSupplier>|TickSupplier)::onSnapshotUpdate\("], 1),
    ("snapshot all subscribed / 20 changed, baseline", r"^snapshot/baseline/sub:all/changed:20/",
     [r"BaselineSnapshotSink::onSnapshotUpdate\("], 1),
    ("update callback, plug-in", r"^update/plugin/debug:masked/", [r"(Relay<UpdateSupplier>|UpdateSupplier)::onRecordSetEvent\("], 1),
    ("update callback, baseline", r"^update/baseline", [r"BaselineUpdateSink::onRecordSetEvent\("], 1),
    ("history record (forward walk of 1,000), plug-in", r"^history/plugin/forward/records:1000/debug:masked/",
     [r"HistoryBaseIterator::getTime\(", r"HistoryBaseIterator::getValue\(", r"HistoryIterator::isValid\(",
      r"HistoryIterator::next\("], None),
    ("history record (forward walk of 1,000), baseline", r"^history/baseline/forward/records:1000/",
     [r"baselineWalk\("], 1000),
    ("create+destroy tick supplier (10 fields), plug-in", r"^create\+destroy/plugin/tick/debug:masked/",
     [r"TellivarInterface::createTickSupplier\(", r"TickSupplier::~TickSupplier\(\)"], 1),
    ("create+destroy history supplier, plug-in", r"^create\+destroy/plugin/history/debug:masked/",
     [r"TellivarInterface::createHistorySupplier\(", r"HistorySupplier::~HistorySupplier\(\)"], 1),
    ("create+destroy update supplier, plug-in", r"^create\+destroy/plugin/update/debug:masked/",
     [r"TellivarInterface::createUpdateSupplier\(", r"UpdateSupplier::~UpdateSupplier\(\)"], 1),
]

# (label, benchmark filter, the relay's callback, the supplier's body it forwards to): the
# relay's own part of a callback, its inclusive count less the body's (the supplier's lock,
# the callback mark, the dispatching thread, the feed-thread guard).
RELAY_CASES = [
    ("sink relay's own part, snapshot callback", r"^snapshot/plugin/sub:10/changed:5/debug:masked/",
     r"SnapshotRelay<TickSupplier>::onSnapshotUpdate\(", r"TickSupplier::handleSnapshotUpdate\("),
    ("sink relay's own part, update callback", r"^update/plugin/debug:masked/",
     r"RecordSetRelay<UpdateSupplier>::onRecordSetEvent\(", r"UpdateSupplier::handleRecordSetEvent\("),
]

CALLS = re.compile(r"\(([0-9,]+)x\)")


def blocks(text):
    block = []
    for line in text.splitlines():
        if not line.strip():
            if block:
                yield block
            block = []
        else:
            block.append(line)
    if block:
        yield block


def per_call(output, function):
    """Inclusive Ir of `function` and the number of calls its callers made.

    Only an entry with callers counts: the others are pieces of the function
    inlined from headers, already inside its inclusive cost."""
    for block in blocks(output):
        head = [l for l in block if re.search(r"\*\s", l) and re.search(function, l)]
        if not head:
            continue
        ir = int(head[0].split()[0].replace(",", ""))
        calls = 0
        for line in block:
            if re.search(r"<\s", line):
                match = CALLS.search(line)
                if match:
                    calls += int(match.group(1).replace(",", ""))
        if calls > 0:  # an entry without callers is code inlined from elsewhere
            return ir, calls
    return 0, 0


def run(case_filter, functions):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, BENCH,
                        "--benchmark_filter=" + case_filter, "--benchmark_min_time=0.01"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--tree=caller", out],
                              capture_output=True, text=True, check=True).stdout
    return [per_call(text, function) for function in functions]


def main():
    print(f"{'hot path (LM_DEBUG masked)':56} {'Ir per call':>12}")
    for label, case_filter, functions, divisor in CASES:
        results = run(case_filter, functions)
        if any(calls == 0 for _, calls in results):
            print(f"{label:56} {'n/a':>12}")
            continue
        if divisor is None:
            # Per record: every iterator call of the walk, per record visited (getTime's count).
            records = results[0][1]
            value = sum(ir for ir, _ in results) / records
        else:
            value = sum(ir / calls for ir, calls in results) / divisor
        print(f"{label:56} {value:12.0f}")
    for label, case_filter, relay, body in RELAY_CASES:
        (relay_ir, relay_calls), (body_ir, body_calls) = run(case_filter, [relay, body])
        if relay_calls == 0 or body_calls == 0:
            print(f"{label:56} {'n/a':>12}")
            continue
        print(f"{label:56} {relay_ir / relay_calls - body_ir / body_calls:12.0f}")


if __name__ == "__main__":
    main()
