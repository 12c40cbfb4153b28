// Writes a Picture as an 8-bit PNG (grey or RGB) with libpng.
#pragma once
#include <string>

#include "tools/view_pictures.h"

namespace brevant::view {

// False with libpng's or the system's reason in *error when the file cannot be written.
bool WritePngFile(const std::string& path, const Picture& picture, std::string* error);

}  // namespace brevant::view
