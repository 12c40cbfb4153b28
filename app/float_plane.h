// What every stage expects of the planes it is handed.
#pragma once

#include "ko/core/img.h"

namespace brevant {

// A 1-band float image with pixels.
inline bool IsFloatPlane(const ko::CImg& img) {
  return img.HasMemory() && img.bands == 1 && img.elementSize == 4 && ko::ElementTypeOf(img.type) == ko::kElemFloat;
}

}  // namespace brevant
