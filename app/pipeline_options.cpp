#include "app/pipeline_options.h"

#include <atomic>
#include <thread>

namespace brevant {
namespace {

std::atomic<bool> g_plain{false};
std::atomic<int32_t> g_threads{0};

}  // namespace

void UsePlainForms(bool plain) { g_plain.store(plain, std::memory_order_relaxed); }
bool PlainFormsInUse() { return g_plain.load(std::memory_order_relaxed); }

void SetWorkerThreads(int32_t count) { g_threads.store(count < 0 ? 0 : count, std::memory_order_relaxed); }

int32_t WorkerThreads() {
  const int32_t asked = g_threads.load(std::memory_order_relaxed);
  if (asked > 0) return asked;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : static_cast<int32_t>(cores > 64 ? 64 : cores);
}

}  // namespace brevant
