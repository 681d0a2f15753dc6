#!/usr/bin/env python3
"""The delta benchmark's archives, and what changed between two of them.

    python3 bench/deltaarchives.py make OUT VERSION     (VERSION 1, 2 or 3)
    python3 bench/deltaarchives.py compare OLD NEW

make writes about 1 GiB of stored, incompressible entries: 2,000 of 512 KiB, one of them 4 MiB.
Version 2 changes the 4 MiB entry's bytes only; version 3 changes, beside that, every tenth
entry (200, spread over the archive). Sizes, names, dates and order never change, so an
unchanged entry is the same bytes at the same offset in every version.

compare prints key=value figures of NEW against OLD: the changed entries, their compressed
sizes and extents (local header and data) and the size of NEW's central directory.
"""

import random
import struct
import sys
import zipfile

ENTRIES = 2000
SIZE = 512 * 1024
BIG_INDEX = 1000
BIG_SIZE = 4 * 1024 * 1024
DATE = (2024, 1, 1, 0, 0, 0)
POOL_SIZE = 64 * 1024 * 1024


def size_of(i):
    return BIG_SIZE if i == BIG_INDEX else SIZE


def seed_of(i, version):
    """Which version of its bytes entry i holds in an archive version."""
    if version >= 3 and i % 10 == 5:
        return 3
    if version >= 2 and i == BIG_INDEX:
        return 2
    return 1


def make(out, version):
    # Slices of one random pool: incompressible, made in seconds, and the same for a seed.
    pool = random.Random(20240101).randbytes(POOL_SIZE)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for i in range(ENTRIES):
            size = size_of(i)
            at = ((i * 7919 + seed_of(i, version) * 104729) * 4096) % (POOL_SIZE - size)
            info = zipfile.ZipInfo("data/part%04d.bin" % i, DATE)
            info.compress_type = zipfile.ZIP_STORED
            info.external_attr = 0o644 << 16
            archive.writestr(info, pool[at:at + size])


def local_header_size(file, offset):
    file.seek(offset)
    header = file.read(30)
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return 30 + name_length + extra_length


def compare(old, new):
    with zipfile.ZipFile(old) as a:
        before = {info.filename: (info.CRC, info.file_size) for info in a.infolist()}
    with zipfile.ZipFile(new) as b, open(new, "rb") as file:
        file.seek(0, 2)
        length = file.tell()
        changed = compressed = extents = 0
        for info in b.infolist():
            if before.get(info.filename) == (info.CRC, info.file_size):
                continue
            changed += 1
            compressed += info.compress_size
            extents += local_header_size(file, info.header_offset) + info.compress_size
        # No comment and no zip64: the end record is the last 22 bytes.
        directory = length - 22 - b.start_dir
        print("entries=%d changed=%d compressed_bytes=%d extent_bytes=%d directory_bytes=%d"
              " archive_bytes=%d" % (len(b.infolist()), changed, compressed, extents, directory,
                                     length))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "make":
        make(sys.argv[2], int(sys.argv[3]))
    elif len(sys.argv) == 4 and sys.argv[1] == "compare":
        compare(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
