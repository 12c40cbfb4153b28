// The pipeline driver: runs every stage on one float intensity image and writes the
// result file next to the input.
#pragma once
#include <string>

#include "app/edge_state.h"

namespace brevant {

// `input` is a share of the caller's intensity image; `path` is the input path, from which
// the output name is derived. Returns 0 on success, 1 when the run failed (the reason has
// been printed).
int RunEdgeAnalysis(ko::CTypedImg<float> input, std::string& path, CEdgeState& state);

}  // namespace brevant
