#!/usr/bin/env python3
"""The update of bench/delta_bench.sh: version 1 and version 2 of a client.

  delta_generate.py OUT [PROGRAMS]

Writes OUT/v1 and OUT/v2 from a fixed seed: large binary-like files (runs
of noise, of small integers and of words; zlib takes them to about 55 %),
unchanged files, files with a few percent of their bytes rewritten in
scattered places, files with insertions and deletions that shift the rest,
files with appended tails, new files, a renamed and a moved file, and the
program pairs in PROGRAMS (PROGRAMS/old/NAME and PROGRAMS/new/NAME: real
builds at two commits). Prints what it made.
"""
import os
import random
import struct
import sys

MIB = 1 << 20
rng = random.Random(20261209)
WORDS = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(3, 10)))
         for _ in range(2000)]


def binary_like(size):
    """Bytes like those of data files and executables."""
    out = bytearray()
    while len(out) < size:
        run = rng.randint(1024, 16384)
        kind = rng.random()
        if kind < 0.35:  # compressed or encrypted parts: noise
            out += rng.randbytes(run)
        elif kind < 0.7:  # tables of small integers
            base = rng.randint(0, 1 << 20)
            count = run // 4
            values = [base + rng.randint(0, 300) for _ in range(count)]
            out += struct.pack("<%dI" % count, *values)
        else:  # symbol names, strings
            out += b"\0".join(rng.choices(WORDS, k=run // 7))
    return bytes(out[:size])


stats = {"edited_bytes": 0, "inserted_bytes": 0, "deleted_bytes": 0, "tail_bytes": 0,
         "new_bytes": 0, "edit_sites": 0}


def scattered_edits(data, share):
    """Rewrites about share of the bytes, in runs of 1 to 16 KiB."""
    data = bytearray(data)
    budget = int(len(data) * share)
    while budget > 0:
        run = min(budget, rng.randint(1024, 16384))
        at = rng.randint(0, len(data) - run)
        data[at:at + run] = binary_like(run)
        budget -= run
        stats["edited_bytes"] += run
        stats["edit_sites"] += 1
    return bytes(data)


def insertions(data, count):
    for _ in range(count):
        run = rng.randint(512, 32768)
        at = rng.randint(0, len(data))
        data = data[:at] + binary_like(run) + data[at:]
        stats["inserted_bytes"] += run
        stats["edit_sites"] += 1
    return data


def deletions(data, count):
    for _ in range(count):
        run = rng.randint(512, 65536)
        at = rng.randint(0, len(data) - run)
        data = data[:at] + data[at + run:]
        stats["deleted_bytes"] += run
        stats["edit_sites"] += 1
    return data


def tail(data, share):
    extra = binary_like(int(len(data) * share))
    stats["tail_bytes"] += len(extra)
    return data + extra


def main():
    out = sys.argv[1]
    programs = sys.argv[2] if len(sys.argv) > 2 else None
    v1, v2 = {}, {}

    def size(low, high):
        return rng.randint(int(low * MIB), int(high * MIB))

    for i in range(18):
        v1["common/unchanged%02d.dat" % i] = v2["common/unchanged%02d.dat" % i] = binary_like(size(0.2, 3))
    # Changed files, by kind: how many, their name, size range and change.
    changes = [
        (30, "data/edited%02d.pak", 2.5, 5, lambda old: scattered_edits(old, rng.uniform(0.02, 0.06))),
        (14, "data/shifted%02d.pak", 2, 4, lambda old: insertions(old, rng.randint(1, 4))),
        (6, "data/trimmed%02d.pak", 1.5, 3, lambda old: deletions(old, rng.randint(1, 3))),
        (14, "logs/grown%02d.db", 1.5, 2.5, lambda old: tail(old, rng.uniform(0.03, 0.12))),
    ]
    for count, name, low, high, change in changes:
        for i in range(count):
            old = binary_like(size(low, high))
            v1[name % i] = old
            v2[name % i] = change(old)
    for i in range(10):
        v2["new/added%02d.res" % i] = binary_like(size(0.3, 1.2))
        stats["new_bytes"] += len(v2["new/added%02d.res" % i])
    # A renamed and a moved file: new names, old bytes.
    v1["media/intro.vid"] = binary_like(size(2, 3))
    v2["media/intro-2.vid"] = v1["media/intro.vid"]
    v1["old/place/fonts.pak"] = binary_like(size(1, 2))
    v2["new/place/fonts.pak"] = v1["old/place/fonts.pak"]
    if programs:
        for name in sorted(os.listdir(os.path.join(programs, "old"))):
            v1["bin/" + name] = open(os.path.join(programs, "old", name), "rb").read()
            v2["bin/" + name] = open(os.path.join(programs, "new", name), "rb").read()

    for version, files in (("v1", v1), ("v2", v2)):
        for name, data in files.items():
            path = os.path.join(out, version, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            # Unchanged files keep their time, so the installer skips them.
            stamp = 1700000000 if version == "v1" or v1.get(name) == data else 1710000000
            os.utime(path, (stamp, stamp))
    changed = sum(1 for n in v2 if n in v1 and v1[n] != v2[n])
    new = sum(1 for n in v2 if n not in v1)
    print("v1_bytes=%d v2_bytes=%d files_changed=%d files_new=%d %s" % (
        sum(map(len, v1.values())), sum(map(len, v2.values())), changed, new,
        " ".join("%s=%d" % kv for kv in stats.items())))


main()
