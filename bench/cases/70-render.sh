# The preview's cost: drawing the mesh into a picture as the preview shows
# it (read, conventions, one vertex per corner, the buffers uploaded once and
# one frame drawn on Mesa's software renderer, the PNG written) beside reading
# it alone with `info`, load to first frame against the read. The goal is at
# most twice the read: a time ratio of at least x0.50. Without a display the
# render includes starting a private Xvfb (about a tenth of a second).
out="$WORK/render"
mkdir -p "$out"
bench_compare "render binary STL to PNG (vs info reading it)" \
  "$CLI render --png '$out' --size 800x600 '$MESH_BIN'" \
  "$CLI info '$MESH_BIN'"
