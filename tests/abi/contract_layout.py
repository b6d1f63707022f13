#!/usr/bin/env python3
"""Virtual-table slots of every contract class, and the records a host or the
plug-in reads without a virtual call, as Clang lays them out for the hosts'
platform (MSVC ABI) and for ours (Itanium ABI).

Compiles a translation unit that includes only host/data.h and
feed/TellivarClient.h (with a <cstdint> made of the compiler's own types) for
x86_64-pc-windows-msvc and x86_64-linux-gnu, reads Clang's vtable and record
layout dumps, and compares them with SLOTS and RECORDS below.

Usage: contract_layout.py CLANG SOURCE_DIR
Exits 0 when every class and record matches under both ABIs, 1 otherwise.
"""
import os
import re
import subprocess
import sys
import tempfile

# Slot numbers as the hosts and the feed client count them, which is the MSVC
# way: a virtual destructor ("~") takes one slot. A number missing below the
# highest one is a slot the other side keeps for an operation the plug-in never
# calls: it must be there (it holds the later ones in place), under any name.
# The highest number listed is the last slot: a virtual added at the end fails.
SLOTS = {
    # Host classes the plug-in derives from.
    "data::DataInterfaceFactory": {0: "settingsPanel", 1: "setSetting", 2: "checkSetting", 3: "getSetting",
                                   4: "displayName", 5: "ability", 6: "createDataInterface", 7: "release",
                                   8: "connectionControl", 9: "~"},
    "data::ProviderAbility": {0: "abilityLetters", 1: "intervalTable", 2: "capabilityFlag1", 3: "capabilityFlag2",
                              4: "capabilityFlag3", 5: "capabilityFlag4", 6: "capabilityFlag5", 7: "isOnline",
                              8: "addListener", 9: "removeListener"},
    "data::DataInterface": {0: "~", 1: "createHistorySupplier", 2: "createTickSupplier", 3: "createUpdateSupplier"},
    "data::SupplierBase": {0: "~"},
    "data::HistorySupplier": {0: "~", 1: "makeIterator", 2: "makeReverseIterator"},
    "data::TickSupplier": {0: "~", 1: "getTime", 2: "getValue", 3: "hasValue"},
    "data::TickIterator": {0: "~", 1: "getTime", 2: "getValue", 3: "hasValue", 4: "isValid", 5: "setOption",
                           6: "next"},
    # Host objects the plug-in calls.
    "data::SupplierRequest": {4: "intervalNumber", 5: "intervalType", 6: "intervalMultiple", 7: "intervalLetter",
                              10: "endTime", 15: "recordCount", 16: "fieldNames", 18: "symbol"},
    "data::NameList": {1: "count", 2: "at"},
    "data::RequestContext": {0: "logger"},
    "data::HostLogger": {0: "status", 2: "error", 4: "info"},
    "data::AbilityListener": {0: "abilityChanged"},
    "data::HistoryConsumer": {1: "historyReady"},
    "data::TickConsumer": {1: "ticksChanged"},
    # The feed client's sinks the plug-in implements.
    "EConnectStatus": {0: "onSendCredentials", 1: "onLogon", 2: "onLogOff", 3: "onReady", 4: "onMessage", 5: "~"},
    "ITRecSetSink": {0: "onRecordSetEvent"},
    "ISSSetSink": {1: "onSnapshotUpdate"},
    # The feed client's objects the plug-in calls.
    "TRecordSet": {0: "SetSink", 1: "Init", 2: "EnterRead", 3: "LeaveRead", 4: "GetFieldIx", 5: "GetRecDouble",
                   6: "GetETime", 7: "~"},
    "SnapshotSet": {0: "Init", 1: "EnterRead", 2: "LeaveRead", 3: "GetDouble", 4: "GetDWord", 5: "~"},
    "TellivarClient": {0: "Connect", 1: "SendLogon", 2: "Disconnect", 3: "Shutdown", 4: "CreateTRecordSet",
                       5: "CreateSnapshotSet", 6: "DeleteTRecordSet", 7: "DeleteSnapshotSet", 8: "MakeTime",
                       9: "GetYMD", 10: "GetHMS", 11: "~"},
}

# Direct members (byte offset, canonical type and name) of the records read
# in place, identical under both ABIs. "vptr" is the vtable pointer.
CALENDAR_FIELDS = "tm_sec tm_min tm_hour tm_mday tm_mon tm_year tm_wday tm_yday tm_isdst".split()
RECORDS = {
    "TRecordSet": [(0, "vptr"), (8, "int sinkMode"), (12, "int hasRecords"), (16, "int firstRecord"),
                   (20, "int lastRecord"), (24, "int recordBase")],
    "SnapshotSet": [(0, "vptr"), (8, "class ISSSetSink * sink")],
    "data::CalendarRecord": [(4 * i, "int " + name) for i, name in enumerate(CALENDAR_FIELDS)],
}

TARGETS = {"MSVC": "x86_64-pc-windows-msvc", "Itanium": "x86_64-linux-gnu"}

# The contract headers need nothing from the library but fixed-width integers,
# taken from the compiler's own definitions for the target.
CSTDINT = "#pragma once\nnamespace std {\n" + "".join(
    f"typedef __{kind}{bits}_TYPE__ {kind.lower()}{bits}_t;\n" for kind in ("INT", "UINT") for bits in (8, 16, 32, 64)
) + "}\n"


def translation_unit():
    """The two headers, and a use of each class that makes Clang lay out its
    vtable: a pointer to its last virtual member (declared in the class itself,
    not inherited), or a virtual delete."""
    lines = ['#include "host/data.h"', '#include "feed/TellivarClient.h"']
    for i, (cls, slots) in enumerate(SLOTS.items()):
        named = [name for _, name in sorted(slots.items()) if name != "~"]
        if named:
            lines.append(f"auto touch{i} = &{cls}::{named[-1]};")
        else:
            lines.append(f"void touch{i}({cls}* p) {{ delete p; }}")
    for i, cls in enumerate(RECORDS):
        lines.append(f"unsigned long long size{i} = sizeof({cls});")
    return "\n".join(lines) + "\n"


def dump(clang, target, source_dir, workdir):
    tu = os.path.join(workdir, "contract.cpp")
    command = [clang, f"--target={target}", "-std=c++17", "-ffreestanding", "-nostdlibinc",
               "-I", os.path.join(workdir, "include"), "-I", source_dir,
               "-Xclang", "-fdump-vtable-layouts", "-Xclang", "-fdump-record-layouts-canonical",
               "-c", "-o", os.devnull, tu]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"{' '.join(command)} failed:\n{run.stderr}")
    return run.stdout


VTABLE_HEAD = re.compile(r"^(?:Vtable|VFTable) for '([^']+)'(?: in '([^']+)')*")
ENTRY = re.compile(r"^\s+\d+ \| (.*)$")
METHOD = re.compile(r"([~\w]+)\(")


def entry_name(text):
    """'void data::HostLogger::error(const char *, ...)' -> 'error'; destructors -> '~'."""
    name = METHOD.search(text).group(1)
    return "~" if name.startswith("~") else name


def vtables(output):
    """Class name -> names of its vtable entries in order, from the first dump of each."""
    tables = {}
    lines = output.splitlines()
    for i, line in enumerate(lines):
        head = VTABLE_HEAD.match(line)
        if not head:
            continue
        cls = re.findall(r"'([^']+)'", line)[-1]  # "'Base' in 'Derived'" names Derived last
        entries = []
        for body in lines[i + 1:]:
            match = ENTRY.match(body)
            if not body.strip():
                break
            if not match:
                continue  # "-- (X, 0) vtable address --"
            text = match.group(1)
            if "offset_to_top" in text:
                if entries:
                    sys.exit(f"{cls}: more than one vtable (a second base); this check reads one")
                continue
            if text.endswith(" RTTI"):
                continue
            entries.append(entry_name(text))
        tables.setdefault(cls, entries)
    return tables


RECORD_LINE = re.compile(r"^\s*(\d+) \|( +)(.*)$")


def records(output):
    """Record name -> its direct members as (offset, text), vtable pointer as 'vptr'."""
    found = {}
    blocks = output.split("*** Dumping AST Record Layout")[1:]
    for block in blocks:
        lines = [RECORD_LINE.match(line) for line in block.splitlines()]
        lines = [m for m in lines if m]
        if not lines:
            continue
        name = lines[0].group(3).split(" ", 1)[1]  # "class TRecordSet" / "struct data::CalendarRecord"
        members = []
        for m in lines[1:]:
            if len(m.group(2)) != 3:
                continue  # inside a base or member subobject
            text = m.group(3)
            members.append((int(m.group(1)), "vptr" if re.fullmatch(r"\(\w+ v(f)?table pointer\)", text) else text))
        found.setdefault(name, members)
    return found


def expected_entries(slots, abi):
    """The vtable entries a slot table gives: placeholders are None; under the
    Itanium ABI a virtual destructor fills two entries (complete, deleting)."""
    entries = []
    for slot in range(max(slots) + 1):
        name = slots.get(slot)
        entries += [name, name] if name == "~" and abi == "Itanium" else [name]
    return entries


def describe(entries):
    return ", ".join(f"{i}:{'<any>' if n is None else n}" for i, n in enumerate(entries))


def check(abi, output):
    failures = []
    tables = vtables(output)
    for cls, slots in SLOTS.items():
        want = expected_entries(slots, abi)
        got = tables.get(cls)
        if got is None:
            failures.append(f"{abi}: no vtable dumped for {cls}")
        elif len(got) != len(want) or any(w is not None and w != g for w, g in zip(want, got)):
            failures.append(f"{abi}: {cls} vtable\n  want {describe(want)}\n  got  {describe(got)}")
    found = records(output)
    for name, members in RECORDS.items():
        got = found.get(name)
        if got != members:
            failures.append(f"{abi}: {name} layout\n  want {members}\n  got  {got}")
    return failures


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    clang, source_dir = sys.argv[1], sys.argv[2]
    failures = []
    with tempfile.TemporaryDirectory() as workdir:
        os.mkdir(os.path.join(workdir, "include"))
        with open(os.path.join(workdir, "include", "cstdint"), "w") as f:
            f.write(CSTDINT)
        with open(os.path.join(workdir, "contract.cpp"), "w") as f:
            f.write(translation_unit())
        for abi, target in TARGETS.items():
            failures += check(abi, dump(clang, target, source_dir, workdir))
    for failure in failures:
        print(failure)
    if failures:
        return 1
    print(f"{len(SLOTS)} vtables and {len(RECORDS)} records match under the {' and '.join(TARGETS)} ABIs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
