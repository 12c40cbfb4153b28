// What a run says and whether it should stop: the progress log the stages write to (the
// program's standard output, or nothing for a library caller) and a cancellation flag the
// caller may raise from any thread; stages look at it between passes.
#pragma once
#include <atomic>
#include <string_view>

namespace brevant {

// Progress text, exactly as the program prints it. The base class says nothing.
class CRunLog {
 public:
  virtual ~CRunLog() = default;
  virtual void Write(std::string_view text) { (void)text; }
  virtual void Flush() {}
  // Formats like printf (up to 1 KB) and writes the result.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Standard output.
class CStdoutLog final : public CRunLog {
 public:
  void Write(std::string_view text) override;
  void Flush() override;
};

class CRunControl {
 public:
  // Without a log the run is silent; without a flag it cannot be cancelled.
  explicit CRunControl(CRunLog* log = nullptr, const std::atomic<bool>* cancel = nullptr)
      : log_(log ? log : &silent_), cancel_(cancel) {}
  CRunControl(const CRunControl&) = delete;
  CRunControl& operator=(const CRunControl&) = delete;

  CRunLog& Log() const { return *log_; }
  bool Cancelled() const { return cancel_ && cancel_->load(std::memory_order_relaxed); }

 private:
  mutable CRunLog silent_;
  CRunLog* log_;
  const std::atomic<bool>* cancel_;
};

}  // namespace brevant
