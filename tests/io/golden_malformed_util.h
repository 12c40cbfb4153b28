// The golden table of malformed inputs: every row is a small file built here (no committed
// binaries), the name it is saved under and the result LoadImageFile must give for it. The
// io tests check the codes; the app tests run the program on every failing row.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "ko/platform/hresult.h"

namespace golden {

struct SMalformedCase {
  std::string name;           // unique, also the file's name (extension included)
  std::vector<uint8_t> bytes;
  ko::HRESULT load;           // LoadImageFile(name, colour image, 1, -1)
  // For object files, whose LoadImageFile stops after opening: what reading the first
  // object gives (CImageFileReader::ReadImage). 0 elsewhere.
  ko::HRESULT read = 0;
  // Codec truncations: where the cut falls decides between the layer's "not an image" and
  // "decode failed"; either is stated. 0 elsewhere.
  ko::HRESULT orLoad = 0;
};

// Every row of the table, for the readers of the formats in this build.
std::vector<SMalformedCase> MalformedCases();

// Well-formed files the rows start from (a small picture each), so tests can check that
// the base itself loads.
std::vector<SMalformedCase> WellFormedBases();

}  // namespace golden
