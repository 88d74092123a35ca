#!/usr/bin/env python3
"""stl2off.py INPUT.stl OUTPUT.off: a binary STL as an OFF file with shared
vertices, for the cases that need a mesh in a format only the helper reads
(assimp has no OFF exporter)."""
import struct
import sys

with open(sys.argv[1], "rb") as f:
    data = f.read()
count = struct.unpack_from("<I", data, 80)[0]
index_of = {}
vertices = []
faces = []
for t in range(count):
    base = 84 + 50 * t + 12
    corners = []
    for c in range(3):
        key = data[base + 12 * c: base + 12 * c + 12]
        if key not in index_of:
            index_of[key] = len(vertices)
            vertices.append(struct.unpack("<3f", key))
        corners.append(index_of[key])
    faces.append(corners)
with open(sys.argv[2], "w") as out:
    out.write(f"OFF\n{len(vertices)} {len(faces)} 0\n")
    out.writelines(f"{x:.9g} {y:.9g} {z:.9g}\n" for x, y, z in vertices)
    out.writelines(f"3 {a} {b} {c}\n" for a, b, c in faces)
