# PLY reading and writing against assimp export. The inputs are the same torus
# as the STL cases, written by bench/plygen.py as binary and ASCII PLY and as OBJ.
out="$WORK/out"
mkdir -p "$out"
PLY_BIN="$WORK/mesh-$TRIANGLES.ply"
PLY_ASCII="$WORK/mesh-$TRIANGLES-ascii.ply"
PLY_OBJ="$WORK/mesh-$TRIANGLES-plygen.obj"
if [[ ! -f $PLY_BIN || ! -f $PLY_ASCII || ! -f $PLY_OBJ ]]; then
  python3 "$root/bench/plygen.py" --triangles "$TRIANGLES" --binary "$PLY_BIN" --ascii "$PLY_ASCII" --obj "$PLY_OBJ"
fi

# Whether our converter reads a tiny file of the extension and writes it in the
# format: the cases that need another format's reader or writer wait for it.
ply_converts() {
  local probe="$WORK/ply-probe"
  mkdir -p "$probe"
  printf 'ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n' >"$probe/probe.ply"
  printf 'v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n' >"$probe/probe.obj"
  "$CLI" convert --on-exists overwrite "$probe/probe.$1" --to "$2" --output "$probe/out" >/dev/null 2>&1
}

bench_compare "binary PLY -> binary PLY (vs assimp)" \
  "$CLI convert --on-exists overwrite '$PLY_BIN' --to ply --output '$out/ours-ply'" \
  "assimp export '$PLY_BIN' '$out/peer-ply.ply' --format=plyb"
bench_check_output "$out/peer-ply.ply" plyb
bench_compare "ASCII PLY -> binary PLY (vs assimp)" \
  "$CLI convert --on-exists overwrite '$PLY_ASCII' --to ply --output '$out/ours-ply-ascii'" \
  "assimp export '$PLY_ASCII' '$out/peer-ply-ascii.ply' --format=plyb"
bench_check_output "$out/peer-ply-ascii.ply" plyb
if ply_converts ply obj; then
  bench_compare "binary PLY -> OBJ (vs assimp)" \
    "$CLI convert --on-exists overwrite '$PLY_BIN' --to obj --output '$out/ours-ply-obj'" \
    "assimp export '$PLY_BIN' '$out/peer-ply.obj' --format=obj"
else
  echo "binary PLY -> OBJ: skipped, no OBJ writer yet"
fi
if ply_converts obj ply; then
  bench_compare "OBJ -> binary PLY (vs assimp)" \
    "$CLI convert --on-exists overwrite '$PLY_OBJ' --to ply --output '$out/ours-obj-ply'" \
    "assimp export '$PLY_OBJ' '$out/peer-obj.ply' --format=plyb"
  bench_check_output "$out/peer-obj.ply" plyb
else
  echo "OBJ -> binary PLY: skipped, no OBJ reader yet"
fi
if ply_converts ply stl; then
  bench_compare "ASCII PLY -> binary STL (vs assimp)" \
    "$CLI convert --on-exists overwrite '$PLY_ASCII' --to stl --output '$out/ours-ply-stl'" \
    "assimp export '$PLY_ASCII' '$out/peer-ply-ascii.stl' --format=stlb"
  bench_check_output "$out/peer-ply-ascii.stl" stlb
else
  echo "ASCII PLY -> binary STL: skipped, no STL writer yet"
fi
echo "input sizes: binary PLY $(stat -c %s "$PLY_BIN") bytes, ASCII PLY $(stat -c %s "$PLY_ASCII") bytes, OBJ $(stat -c %s "$PLY_OBJ") bytes"
