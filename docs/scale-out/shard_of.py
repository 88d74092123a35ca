#!/usr/bin/env python3
"""Prints which shard of N each path falls into, as morvex-cli --shard decides.

The key of a file is its path as the list names it (a relative entry as
written, "./" included), or its path inside the folder named on the command
line; the shard is FNV-1a 64 of the key's bytes, modulo N.

    shard_of.py N PATH...        one line per path: SHARD<TAB>PATH
    shard_of.py N < list.txt     the paths of a list, one a line
    shard_of.py -0 N < list0     a NUL-separated list
"""
import sys

FNV_OFFSET_BASIS = 0xCBF29CE484222325
FNV_PRIME = 0x100000001B3


def fnv1a64(data: bytes) -> int:
    value = FNV_OFFSET_BASIS
    for byte in data:
        value = ((value ^ byte) * FNV_PRIME) & 0xFFFFFFFFFFFFFFFF
    return value


def main(args):
    separator = b"\n"
    if args and args[0] == "-0":
        separator, args = b"\0", args[1:]
    if not args or not args[0].isdigit() or int(args[0]) < 1:
        sys.exit(__doc__)
    count = int(args[0])
    if len(args) > 1:
        keys = [path.encode("utf-8", "surrogateescape") for path in args[1:]]
    else:
        keys = sys.stdin.buffer.read().split(separator)
        if separator == b"\n":
            keys = [key[:-1] if key.endswith(b"\r") else key for key in keys]
    out = sys.stdout.buffer
    for key in keys:
        if key:
            out.write(b"%d\t%s%s" % (fnv1a64(key) % count, key, separator))


if __name__ == "__main__":
    main(sys.argv[1:])
