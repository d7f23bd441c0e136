// The codes an IVF build keeps beside the indexed column's vectors: one byte per dimension,
// an affine map of the float32 value, so that the int8 kernel of the column's metric ranks
// a quantized query against the codes roughly as the float32 kernel ranks it against the
// vectors. Searches scan the codes and re-rank the best candidates by the vectors.
//
// The map is one per build: a scale shared by every dimension (the kernels weigh every
// dimension alike, so a scale per dimension would change the ranking) and, for L2 and L1,
// an offset per dimension (it cancels out of differences). Cosine takes no offset: it would
// change the angle. code = clamp(round((x - offset) / scale), -127, 127).
#pragma once

#include <cstdint>

#include "jix0/index/ivf.h"

// Reads T_info 'IVF_CODES' into c->codesMap, or leaves it null when the build keeps no codes.
// A map of the wrong form sets the message.
[[nodiscard]] int jix0_ivf_codes_load(jix0_vtab* p, IvfCentroids* c);

// Before a write: sets p->codesSlotBytes from whether T_info holds a codes map now. Reads
// only that row, so that a write that does not place rows (a delete, 'optimize', a build)
// does not depend on the centroids being readable.
[[nodiscard]] int jix0_ivf_codes_refresh(jix0_vtab* p);

// The code of one vector of the indexed column. REQUIRES: c->codesMap.
void jix0_ivf_encode(const IvfCentroids* c, const float* vector, int8_t* out);

// After build-index placed every row (and wrote the new build id): makes the codes table,
// trains the map on every stored vector, keeps it in T_info and writes every chunk's codes.
// With no lists, the build keeps no codes. Failures are the write's own; the caller reports
// them as a failure part-way.
[[nodiscard]] int jix0_ivf_build_codes(jix0_vtab* p, int lists);

// drop-index: the map goes, and every row of the codes table.
[[nodiscard]] int jix0_ivf_drop_codes_of_build(jix0_vtab* p);
