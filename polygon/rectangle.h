// The rules of a rectangle area, in one place for the rectangle dialog, the
// modification driver and kavlin-apply: the corner order, the whole-degree
// cell count with its 36-cell limit, and the closed five-vertex ring (and
// the one-vertex area of a point).
#pragma once

#include "base/program_values.h"

namespace kavlin {

// The corner check of a rectangle from its north-west corner (LON1, LAT1)
// to its south-east corner (LON2, LAT2): "Lower right corner is not east of
// upper left corner!" when LON2 <= LON1, else "... not south ..." when
// LAT2 >= LAT1, both with caption "Error in co-ordinates"; empty when the
// corners are in order.
Notice rectangle_corner_notice(double LON1, double LAT1, double LON2, double LAT2);

// "Area is too big! Modification is not possible!" (caption "Error") when
// the rectangle's extent (corners in order) has more than 36 cells, as any
// area's (area_size_notice); empty otherwise.
Notice rectangle_size_notice(double LON1, double LAT1, double LON2, double LAT2);

// The closed ring (LON1, LAT1), (LON2, LAT1), (LON2, LAT2), (LON1, LAT2),
// (LON1, LAT1); NREC 5.
void fill_rectangle_ring(VertexTable& table, double LON1, double LAT1, double LON2, double LAT2);

// The one-vertex area of a point; NREC 1.
void fill_point(VertexTable& table, double LON1, double LAT1);

}  // namespace kavlin
