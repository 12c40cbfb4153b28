// The pipeline driver: runs every stage on one float intensity image and writes the
// result file next to the input.
#pragma once
#include <cstdint>
#include <string>

#include "app/edge_state.h"

namespace brevant {

// The result file's name for an input path: its last three characters replaced by "edg"
// (photo.png gives photo.edg, scan.tiff gives scan.tedg). False for a path shorter than
// three characters, which has no such name.
bool ResultFileName(const std::string& path, std::string* name);

// Bytes a run of the fast forms needs at its peak for a w x h image, the input not counted:
// the state's planes, the refinement's buffers and the steerable scratch (the plain form's
// figure is RequiredBytes, memory_budget.h). A run is refused when it exceeds the memory
// available.
uint64_t FastRunRequiredBytes(int32_t w, int32_t h, bool histograms, float sigma, int32_t passes);

// What the run the drivers choose (plain or fast) needs: RequiredBytes or FastRunRequiredBytes.
uint64_t RunRequiredBytes(int32_t w, int32_t h, bool histograms, float sigma, int32_t passes);

// Runs the stages on `input` (a 1-band float share of the caller's intensity image) with the
// parameters of `state`, whose planes it creates, and writes the result file: planes 0 to 2
// (energy, orientation, refined energy) and, with histograms, planes 3 to 38, each
// width x height little-endian floats. `path` is the input path; it is cut by its last three
// characters in place, and the result is named after it. Prints the run's progress. Returns 0
// on success, 1 when the run failed (the reason has been printed); a failed run leaves no
// result file behind and keeps an earlier one.
int RunEdgeAnalysis(ko::CTypedImg<float> input, std::string& path, CEdgeState& state);

}  // namespace brevant
