#!/usr/bin/env python3
"""Writes the benchmark torus as an MQO text scene.

The same closed torus as bench/plygen.py (and morvex-meshgen), as one object
with shared vertices and triangle faces, CR LF line ends and tab indents as
the format's own program writes them; written here, independently of the
converter.

    mqogen.py --triangles N --output FILE
"""

import argparse
import os

from plygen import grid_for, torus_points, torus_triangles


def lines(points, corners):
    yield "Metasequoia Document\r\nFormat Text Ver 1.0\r\n\r\n"
    yield "Scene {\r\n\tpos 0.0000 0.0000 1500.0000\r\n\tlookat 0.0000 0.0000 0.0000\r\n}\r\n"
    yield "Material 1 {\r\n\t\"mat1\" shader(3) col(1.000 1.000 1.000 1.000) dif(0.800)\r\n}\r\n"
    yield "Object \"torus\" {\r\n\tdepth 0\r\n\tvisible 15\r\n\tshading 1\r\n"
    yield f"\tvertex {len(points) // 3} {{\r\n"
    for k in range(0, len(points), 3):
        yield "\t\t%.4f %.4f %.4f\r\n" % (points[k], points[k + 1], points[k + 2])
    yield f"\t}}\r\n\tface {len(corners) // 3} {{\r\n"
    for k in range(0, len(corners), 3):
        yield "\t\t3 V(%d %d %d) M(0)\r\n" % (corners[k], corners[k + 1], corners[k + 2])
    yield "\t}\r\n}\r\nEof\r\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--triangles", type=int, default=2_000_000)
    parser.add_argument("--output", required=True)
    options = parser.parse_args()
    u, v = grid_for(options.triangles)
    points = torus_points(u, v)
    corners = torus_triangles(u, v)
    temporary = f"{options.output}.tmp{os.getpid()}"
    with open(temporary, "wb") as out:
        out.write("".join(lines(points, corners)).encode())
    os.replace(temporary, options.output)


if __name__ == "__main__":
    main()
