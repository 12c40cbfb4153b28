// Conversion of an imaging-component metadata reader (ko/codec/wic_metadata.h) into a
// property set. Nothing in it is particular to DNG, but the DNG reader is the only user:
// it reads the file's TIFF directories through that layer. The other readers get their
// TIFF and EXIF tags as codec property items instead (CGdiImageReader).
#pragma once
#include "ko/core/params.h"
#include "ko/codec/wic_metadata.h"

namespace ko {

// Converts a metadata reader's items into `out`: items with a schema are skipped;
// numbered identifiers are stored by number, string identifiers by name; nested readers
// become nested property sets (kParamNested) and vectors of readers arrays of them.
// Items of a variant type without a property kind, and nested readers that fail to
// convert (short of memory), are left out; any other failure (reading or storing an item,
// an allocation) ends the conversion with its code.
HRESULT ConvertMetadataToParams(CWicObject* source, CParams* out);

}  // namespace ko
