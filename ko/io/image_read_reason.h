// Why an image could not be read, in words a person can act on, from the reader's result
// code: "no such file", "permission denied", "not a format Brevant reads", ... A reader
// that knows more (which variant of a format it met) leaves its own words for the thread
// that called it, which are then given instead.
#pragma once
#include <string>

#include "ko/platform/hresult.h"

namespace ko {

// The words for a failed load of `path` (a narrow path, as the caller gave it) with code
// `hr`; hr >= 0 means the load succeeded but gave no pixels (an extension no reader takes:
// "not a format Brevant reads", or "no such file" when there is none).
// Takes, and clears, the words a reader left on the calling thread.
std::string ImageReadReason(HRESULT hr, const std::string& path);

// A reader's own words for the failure it is about to return, such as "a DNG variant the
// reader does not support: lossy JPEG"; kept for the calling thread until ImageReadReason
// takes them or ClearImageReadReason drops them.
void SetImageReadReason(const std::string& words);
void ClearImageReadReason();

}  // namespace ko
