#include "tools/png_file.h"

#include <png.h>

#include <cstdint>

namespace brevant::view {

bool WritePngFile(const std::string& path, const Picture& picture, std::string* error) {
  if (picture.width <= 0 || picture.height <= 0 || (picture.channels != 1 && picture.channels != 3) ||
      static_cast<png_uint_32>(picture.width) > PNG_UINT_31_MAX / 3 ||
      picture.pixels.size() != static_cast<size_t>(picture.width) * picture.height * picture.channels) {
    *error = "Internal error: malformed picture for " + path + ".";
    return false;
  }
  // The simplified API reports errors through image.message rather than longjmp.
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(picture.width);
  image.height = static_cast<png_uint_32>(picture.height);
  image.format = picture.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  const png_int_32 stride = picture.width * picture.channels;
  if (!png_image_write_to_file(&image, path.c_str(), 0, picture.pixels.data(), stride, nullptr)) {
    *error = "Cannot write " + path + ": " + image.message + ".";
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace brevant::view
