#include "app/edge_pipeline.h"

#include <cstdio>

namespace brevant {

// Not built yet.
int RunEdgeAnalysis(ko::CTypedImg<float>, std::string&, CEdgeState&) {
  std::printf("The edge analysis is not available in this build.\n");
  return 1;
}

}  // namespace brevant
