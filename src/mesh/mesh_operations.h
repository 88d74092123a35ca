#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

namespace morvex {

// Merges coincident vertices of every object and rewrites its index list.
//
// Vertices are merged greedily in vertex order: a vertex joins the earliest
// surviving vertex before it that it equals (vectorsEqual, 2^-23 per
// coordinate); a vertex that equals none survives and gets the next new
// number. Equality is never chained: a vertex close to a merged vertex but
// not to the survivor stays apart. Indices not below the vertex count keep
// their value.
//
// Triangles are then rebuilt in order: a triangle holding the dropped-corner
// marker 0xFFFFFFFF is left out, and so is a later triangle with the same
// three new indices in the same cyclic order as a kept one (any rotation);
// a trailing one or two indices that form no triangle are dropped.
//
// Per-corner arrays (normals, texture coordinates, colours whose count is
// the index count) and material ranges follow the kept triangles; per-vertex
// colours and texture coordinates follow the merged vertices. Objects without
// indices are left untouched, so their implicit triangles stay intact.
//
// Success, Cancelled, or Failure when memory ran out (`failure` then says
// so). An object being processed when the work
// stops keeps its old arrays; objects finished before keep their new ones.
OperationResult removeDuplicates(Model& model, ProgressReporter& reporter, Failure* failure = nullptr);

// Gives every object whose reader delivered its triangles as a plain vertex
// list (verticesFormTriangles) and that has more than two vertices and no
// indices the triangle list 0, 1, 2, ... over its vertices; one or two
// trailing vertices belong to no triangle. Objects that have indices are not
// touched, and neither are point sets: vertices without that mark stay
// points, never invented triangles.
OperationResult generateIndices(Model& model, ProgressReporter& reporter, Failure* failure = nullptr);

} // namespace morvex
