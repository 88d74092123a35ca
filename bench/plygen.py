#!/usr/bin/env python3
"""Writes the benchmark torus as binary little-endian PLY, ASCII PLY and OBJ.

The same closed torus as morvex-meshgen (a u x v grid, 2*u*v triangles, every
vertex shared by six triangles), with shared vertices, so that the PLY and OBJ
cases read the same mesh as the STL ones. Written here, independently of the
converter's own writers.

    plygen.py --triangles N [--binary FILE] [--ascii FILE] [--obj FILE]
"""

import argparse
import math
import os
import struct
import sys
from array import array


def grid_for(triangles):
    cells = max(1, triangles // 2)
    u = math.isqrt(cells)
    while u > 3 and cells % u:
        u -= 1
    u = max(u, 3)
    return u, max(3, cells // u)


def torus_points(u, v):
    points = array("f")
    for i in range(u):
        a = 2.0 * math.pi * i / u
        ca, sa = math.cos(a), math.sin(a)
        for j in range(v):
            b = 2.0 * math.pi * j / v
            ring = 40.0 + 12.0 * math.cos(b)
            points.extend((ring * ca, ring * sa, 12.0 * math.sin(b)))
    return points


def torus_triangles(u, v):
    corners = array("i")
    for i in range(u):
        row, next_row = i * v, ((i + 1) % u) * v
        for j in range(v):
            j1 = (j + 1) % v
            p00, p10, p01, p11 = row + j, next_row + j, row + j1, next_row + j1
            corners.extend((p00, p10, p11, p00, p11, p01))
    return corners


def ply_header(fmt, vertex_count, face_count):
    return (
        f"ply\nformat {fmt} 1.0\ncomment plygen torus\nelement vertex {vertex_count}\n"
        "property float x\nproperty float y\nproperty float z\n"
        f"element face {face_count}\nproperty list uchar int vertex_indices\nend_header\n"
    ).encode()


def replace_atomically(path, write):
    temporary = f"{path}.tmp{os.getpid()}"
    with open(temporary, "wb") as out:
        write(out)
    os.replace(temporary, path)


def write_binary(path, points, corners):
    if sys.byteorder != "little":
        points, corners = array("f", points), array("i", corners)
        points.byteswap()
        corners.byteswap()
    record = struct.Struct("<B12s")
    raw = corners.tobytes()

    def write(out):
        out.write(ply_header("binary_little_endian", len(points) // 3, len(corners) // 3))
        out.write(points.tobytes())
        out.write(b"".join(record.pack(3, raw[k : k + 12]) for k in range(0, len(raw), 12)))

    replace_atomically(path, write)


def text_lines(points, corners, vertex_format, face_format):
    for k in range(0, len(points), 3):
        yield vertex_format % (points[k], points[k + 1], points[k + 2])
    for k in range(0, len(corners), 3):
        yield face_format % (corners[k], corners[k + 1], corners[k + 2])


def write_text(path, header, lines):
    def write(out):
        out.write(header)
        out.write("".join(lines).encode())

    replace_atomically(path, write)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--triangles", type=int, default=2_000_000)
    parser.add_argument("--binary")
    parser.add_argument("--ascii")
    parser.add_argument("--obj")
    options = parser.parse_args()
    u, v = grid_for(options.triangles)
    points = torus_points(u, v)
    corners = torus_triangles(u, v)
    if options.binary:
        write_binary(options.binary, points, corners)
    if options.ascii:
        header = ply_header("ascii", len(points) // 3, len(corners) // 3)
        write_text(options.ascii, header, text_lines(points, corners, "%.7g %.7g %.7g\n", "3 %d %d %d\n"))
    if options.obj:
        one_based = array("i", (c + 1 for c in corners))
        header = f"# plygen torus {u}x{v}\n".encode()
        write_text(options.obj, header, text_lines(points, one_based, "v %.7g %.7g %.7g\n", "f %d %d %d\n"))


if __name__ == "__main__":
    main()
