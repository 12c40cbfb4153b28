#include "app/run_control.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>

namespace brevant {

void CRunLog::Printf(const char* format, ...) {
  char text[512];
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof text) {
    Write(std::string_view(text, static_cast<size_t>(n)));
  } else if (n >= 0) {
    // Long paths: format once more into a buffer of the right size.
    try {
      std::string longer(static_cast<size_t>(n) + 1, '\0');
      std::vsnprintf(longer.data(), longer.size(), format, again);
      Write(std::string_view(longer.data(), static_cast<size_t>(n)));
    } catch (const std::bad_alloc&) {
      Write(std::string_view(text, sizeof text - 1));
    }
  }
  va_end(again);
}

void CStdoutLog::Write(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void CStdoutLog::Flush() { std::fflush(stdout); }

}  // namespace brevant
