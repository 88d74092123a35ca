#pragma once

#include "mesh/model.h"
#include "support/progress/progress_reporter.h"

// The steps that bring a model from the coordinate conventions of its source
// format (the model's profile) to those of the target format, and the two
// geometric effects that use the same machinery. Each works in place and
// returns Success, Cancelled when the reporter says stop (work done so far
// stays in the model), or Failure when memory ran out.

namespace morvex {

// Transforms every vertex with transformPoint and, with `withNormals`, every
// per-corner normal as a direction: by the inverse transpose of the linear
// part, without the translation, keeping each normal's length. Asks the
// reporter whether to stop once every 1000 elements.
OperationResult transformObject(ModelObject& object, const Matrix4& matrix, bool withNormals,
                                ProgressReporter& reporter);

// Turns every object's placement about X from Y up to Z up (90 degrees) or
// from Z up to Y up (270 degrees); vertices follow later with the placement.
// The X angle wraps once past 360. Does nothing unless both axes are known
// and differ.
OperationResult reconcileUpAxis(Model& model, UpAxis target, ProgressReporter& reporter);

// Mirrors every object in X between left- and right-handed coordinates and
// toggles the model's winding, since a mirror turns every triangle over.
OperationResult reconcileHandedness(Model& model, Handedness target, ProgressReporter& reporter);

// Reverses every whole triangle (swaps its second and third corner, with the
// corner's normal, colour and texture coordinate) when the windings are
// known and differ. Trailing indices are not touched.
OperationResult reconcileWinding(Model& model, Winding target, ProgressReporter& reporter);

// Applies each object's placement (scale, rotation, position) to its
// vertices and resets it, for targets that keep no placement. Objects within
// 2^-23 of the identity placement are left alone.
OperationResult bakeObjectTransforms(Model& model, bool withNormals, ProgressReporter& reporter);

// Applies the user's transform to every object in object space, before the
// object's own placement.
OperationResult applyCustomTransform(Model& model, const Matrix4& matrix, bool withNormals, ProgressReporter& reporter);

// Recomputes the normals of objects that have a normal array: one unit face
// normal per corner, facing the front of the target winding. A triangle with
// an index beyond the vertex count keeps its normals. Never adds normals to
// an object without them.
OperationResult recalculateNormals(Model& model, Winding target, ProgressReporter& reporter,
                                   Failure* failure = nullptr);

} // namespace morvex
