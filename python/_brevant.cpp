// The compiled half of the Python package: small on purpose. It loads images, reduces
// arrays to intensity and runs the engine into numpy planes; argument checks, words and
// the result class are the Python layer's (brevant/__init__.py). Long calls run on a thread
// of their own while the caller's thread, without the interpreter lock, waits and looks for
// Ctrl-C now and then.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/output/memory_sink.h"
#include "app/output/result_file.h"
#include "app/output/result_file_sink.h"
#include "app/run/engine.h"
#include "app/run/memory_estimate.h"
#include "app/run/run_input.h"
#include "ko/convert/strided_gray.h"
#include "ko/platform/ko_buffer.h"

namespace py = pybind11;

namespace brevant::python {
namespace {

// Runs `work` on a thread of its own while this thread, the interpreter lock released,
// waits; every 50 ms it takes the lock to let the interpreter see signals. A pending
// KeyboardInterrupt (or any error a signal handler raised) cancels the work, and is raised
// here once the work has stopped.
void RunWithoutLock(const std::function<void(const std::atomic<bool>& cancel)>& work) {
  std::atomic<bool> cancel{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr failure;
  std::thread worker([&] {
    try {
      work(cancel);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
  });
  bool interrupted = false;
  {
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
      if (finished.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; })) break;
      lock.unlock();
      {
        py::gil_scoped_acquire acquire;
        if (!interrupted && PyErr_CheckSignals() != 0) {
          interrupted = true;
          cancel = true;
        }
      }
      lock.lock();
    }
  }
  worker.join();
  if (interrupted) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
}

// Planes the engine fills, owned by numpy through a capsule that frees them.
py::array_t<float> OwnedPlanes(float* planes, int32_t count, int32_t h, int32_t w) {
  py::capsule owner(planes, [](void* p) { ko::KoFree(p); });
  return py::array_t<float>({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(h), static_cast<py::ssize_t>(w)},
                            planes, owner);
}

// The outcome of a call, for the Python layer to turn into a value or an exception.
py::tuple Outcome(const char* kind, const std::string& words, py::object value = py::none()) {
  return py::make_tuple(kind, words, value);
}

// The Python layer's name for how a run failed.
const char* KindOf(const SRunStatus& status) {
  return status.hr == ko::E_ABORT ? "cancelled" : status.hr == ko::E_OUTOFMEMORY ? "memory" : "failed";
}

// The program's load of `path` into an intensity plane (the decoded colour image freed);
// nullptr, or how it failed (unreadable, failed, memory) with the words.
const char* LoadIntensity(const std::string& path, const CSchedule& schedule, const SRunShape& shape,
                          ko::CTypedImg<float>* intensity, std::string* words) {
  CColorImage colour;
  SInputStatus input = LoadColorImage(path, schedule, &shape, &colour);
  if (input.Ok()) input = ReduceToIntensity(colour, path, intensity);
  if (input.Ok()) return nullptr;
  *words = input.words;
  return input.kind == SInputStatus::EKind::kUnreadable      ? "unreadable"
         : input.kind == SInputStatus::EKind::kUnconvertible ? "failed"
                                                             : "memory";
}

struct SAnalysis {
  const char* kind = "ok";  // ok, unreadable, memory, cancelled, failed
  std::string words;
  ko::CKoBuffer<float> planes;  // freed unless handed to numpy
  int32_t count = 0, width = 0, height = 0;
};

// The engine on `intensity` into fresh zero planes; the caller keeps the input alive.
void Analyze(const ko::CTypedImg<float>& intensity, int32_t iterations, bool histograms, float sigma,
             const CSchedule& schedule, const std::atomic<bool>& cancel, SAnalysis* out) {
  const int32_t w = intensity.width, h = intensity.height;
  out->width = w;
  out->height = h;
  out->count = histograms ? 3 + kHistogramBins : 3;
  // Refused before the planes are had, with the program's words.
  uint64_t available = 0;
  const uint64_t needed = RunRequiredBytes(schedule, w, h, histograms, sigma, iterations, false);
  if (ReadAvailableMemory(&available) && needed > available) {
    out->kind = "memory";
    out->words = NotEnoughMemoryText(w, h, needed, available);
    return;
  }
  const uint64_t planeFloats = static_cast<uint64_t>(w) * static_cast<uint64_t>(h);
  const uint64_t bytes = planeFloats * static_cast<uint64_t>(out->count) * sizeof(float);
  if (bytes > SIZE_MAX || !out->planes.Allocate(static_cast<size_t>(planeFloats) * static_cast<size_t>(out->count), true)) {
    out->kind = "memory";
    out->words = "Out of memory: the result planes of a " + std::to_string(w) + " x " + std::to_string(h) +
                 " image cannot be had.";
    return;
  }
  CMemorySink sink(out->planes.get(), w, h, out->count, static_cast<ptrdiff_t>(planeFloats * sizeof(float)),
                   static_cast<ptrdiff_t>(w) * static_cast<ptrdiff_t>(sizeof(float)), true);
  CEdgeState state;
  state.sigma = sigma;
  state.iterations = iterations;
  state.computeHistograms = histograms;
  const CRunControl control(nullptr, &cancel);
  const SRunStatus status = AnalyzeIntensity(intensity, state, schedule, sink, control);
  if (status.Ok()) return;
  out->planes.Reset();
  out->kind = KindOf(status);
  out->words = status.reason;
}

py::tuple Result(SAnalysis& a) {
  if (!a.planes) return Outcome(a.kind, a.words);
  return Outcome("ok", "", OwnedPlanes(a.planes.Release(), a.count, a.height, a.width));
}

// analyze_path(path, iterations, histograms, sigma, threads): the program's load, then the run.
py::tuple AnalyzePath(const std::string& path, int32_t iterations, bool histograms, float sigma, int32_t threads) {
  SAnalysis analysis;
  RunWithoutLock([&](const std::atomic<bool>& cancel) {
    const CSchedule schedule(EForm::kFast, threads);
    // The planes are kept whole: no histogram band.
    const SRunShape shape{.histograms = histograms, .sigma = sigma, .passes = iterations, .histogramBands = false};
    ko::CTypedImg<float> intensity;
    if (const char* failed = LoadIntensity(path, schedule, shape, &intensity, &analysis.words)) {
      analysis.kind = failed;
      return;
    }
    Analyze(intensity, iterations, histograms, sigma, schedule, cancel, &analysis);
  });
  return Result(analysis);
}

// analyze_to_file(path, result, iterations, histograms, sigma, threads, admit): the
// program's run of the image at `path`, its result file written as `result` (temporary
// file, then rename), nothing kept in memory. Once the image is read, admit(width, height,
// bytes) is called with what the run will need and may wait until that much is free.
py::tuple AnalyzeToFile(const std::string& path, const std::string& result, int32_t iterations, bool histograms,
                        float sigma, int32_t threads, const py::object& admit) {
  const char* kind = "ok";
  std::string words;
  int32_t w = 0, h = 0;
  RunWithoutLock([&](const std::atomic<bool>& cancel) {
    const CSchedule schedule(EForm::kFast, threads);
    const SRunShape shape{.histograms = histograms, .sigma = sigma, .passes = iterations};
    ko::CTypedImg<float> intensity;
    if (const char* failed = LoadIntensity(path, schedule, shape, &intensity, &words)) {
      kind = failed;
      return;
    }
    w = intensity.width;
    h = intensity.height;
    const bool bands = HistogramsInBands(schedule, w, h, histograms, iterations);
    const uint64_t needed = RunRequiredBytes(schedule, w, h, histograms, sigma, iterations, bands) +
                            static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * sizeof(float);
    if (!admit.is_none()) {
      py::gil_scoped_acquire acquire;
      admit(w, h, needed);
    }
    CEdgeState state;
    state.sigma = sigma;
    state.iterations = iterations;
    state.computeHistograms = histograms;
    state.keepHistogramPlanes = false;
    CResultFileSink sink(path, result);
    const CRunControl control(nullptr, &cancel);
    const SRunStatus status = AnalyzeIntensity(intensity, state, schedule, sink, control);
    if (status.Ok()) return;
    kind = KindOf(status);
    words = status.reason;
  });
  const int32_t planes = histograms ? 3 + kHistogramBins : 3;
  return Outcome(kind, words, py::make_tuple(w, h, planes));
}

// analyze_intensity(plane, ...): `plane` a 2-D float32 array whose rows hold their pixels
// side by side (the Python layer makes sure); used where it lies.
py::tuple AnalyzeIntensityArray(py::array_t<float, 0> plane, int32_t iterations, bool histograms, float sigma,
                                int32_t threads) {
  if (plane.ndim() != 2 || plane.strides(1) != static_cast<py::ssize_t>(sizeof(float)) || plane.strides(0) <= 0 ||
      plane.strides(0) % static_cast<py::ssize_t>(sizeof(float)) != 0 || plane.strides(0) > INT32_MAX ||
      plane.shape(0) > INT32_MAX || plane.shape(1) > INT32_MAX)
    throw py::value_error("internal: the plane must be a 2-D float32 array of contiguous rows");
  ko::CTypedImg<float> intensity;
  if (plane.shape(0) > 0 && plane.shape(1) > 0 &&
      intensity.Attach(const_cast<float*>(plane.data()), static_cast<int32_t>(plane.shape(1)),
                       static_cast<int32_t>(plane.shape(0)), 1, static_cast<int32_t>(plane.strides(0)), 4,
                       intensity.type) < 0)
    throw std::bad_alloc();
  SAnalysis analysis;
  RunWithoutLock([&](const std::atomic<bool>& cancel) {
    const CSchedule schedule(EForm::kFast, threads);
    Analyze(intensity, iterations, histograms, sigma, schedule, cancel, &analysis);
  });
  return Result(analysis);
}

ko::EStridedElement ElementOf(const py::array& a) {
  if (a.dtype().is(py::dtype::of<uint8_t>())) return ko::EStridedElement::kByte;
  if (a.dtype().is(py::dtype::of<uint16_t>())) return ko::EStridedElement::kShort;
  if (a.dtype().is(py::dtype::of<float>())) return ko::EStridedElement::kFloat;
  throw py::type_error("internal: uint8, uint16 or float32 expected");
}

// intensity(image, red, green, blue): a new (H, W) float32 plane from a (H, W) or (H, W, C)
// array of any strides: the luma of bands red, green, blue, or a gray plane's values.
py::array_t<float> Intensity(const py::array& image, int red, int green, int blue) {
  if (image.ndim() != 2 && image.ndim() != 3) throw py::value_error("internal: a 2-D or 3-D array expected");
  ko::SStridedPixels in;
  in.base = static_cast<const uint8_t*>(image.data());
  in.height = static_cast<int32_t>(image.shape(0));
  in.width = static_cast<int32_t>(image.shape(1));
  in.rowStride = image.strides(0);
  in.pixelStride = image.strides(1);
  in.bandStride = image.ndim() == 3 ? image.strides(2) : 0;
  in.element = ElementOf(image);
  const int bands = image.ndim() == 3 ? static_cast<int>(image.shape(2)) : 1;
  if (image.ndim() == 3 && (red >= bands || green >= bands || blue >= bands))
    throw py::value_error("internal: a band index beyond the pixel");
  py::array_t<float> out({static_cast<py::ssize_t>(in.height), static_cast<py::ssize_t>(in.width)});
  float* o = out.mutable_data();
  {
    py::gil_scoped_release release;
    if (image.ndim() == 3) ko::StridedColorToGray(in, red, green, blue, o, in.width);
    else ko::StridedGrayToFloat(in, o, in.width);
  }
  return out;
}

// load(path): the program's load of an image file, as an array in RGBA order (the library
// keeps blue first): (H, W, 4) uint8, or float32 where the reader gives floats.
py::tuple Load(const std::string& path) {
  CColorImage colour;
  SInputStatus status;
  RunWithoutLock([&](const std::atomic<bool>&) {
    const CSchedule schedule(EForm::kFast, 1);
    status = LoadColorImage(path, schedule, nullptr, &colour);
  });
  if (!status.Ok()) {
    return Outcome(status.kind == SInputStatus::EKind::kUnreadable ? "unreadable" : "memory", status.words);
  }
  const int32_t w = colour.width, h = colour.height, bands = colour.bands;
  const int32_t element = ko::ElementTypeOf(colour.type);
  if (element != ko::kElemByte && element != ko::kElemFloat) return Outcome("failed", "an unexpected element type");
  const bool isFloat = element == ko::kElemFloat;
  std::vector<py::ssize_t> shape = {h, w};
  if (bands != 1) shape.push_back(bands);
  py::array out = isFloat ? py::array(py::dtype::of<float>(), shape) : py::array(py::dtype::of<uint8_t>(), shape);
  auto* o = static_cast<uint8_t*>(out.mutable_data());
  const size_t sample = isFloat ? sizeof(float) : 1;
  {
    py::gil_scoped_release release;
    const size_t pixel = sample * static_cast<size_t>(bands);
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = colour.RowPtr(y);
      uint8_t* d = o + static_cast<size_t>(y) * static_cast<size_t>(w) * pixel;
      std::memcpy(d, s, static_cast<size_t>(w) * pixel);
      // Blue, green, red (, alpha) to red, green, blue (, alpha).
      if (bands >= 3)
        for (int32_t x = 0; x < w; ++x) {
          uint8_t* p = d + static_cast<size_t>(x) * pixel;
          for (size_t i = 0; i < sample; ++i) std::swap(p[i], p[2 * sample + i]);
        }
    }
  }
  return Outcome("ok", "", out);
}

// engine_seconds(plane, ...): the engine alone on a float32 plane of contiguous rows, into
// planes it frees again: the yardstick of the module's benchmark.
double EngineSeconds(py::array_t<float, 0> plane, int32_t iterations, bool histograms, float sigma, int32_t threads) {
  ko::CTypedImg<float> intensity;
  if (plane.ndim() != 2 || plane.strides(1) != 4 ||
      intensity.Attach(const_cast<float*>(plane.data()), static_cast<int32_t>(plane.shape(1)),
                       static_cast<int32_t>(plane.shape(0)), 1, static_cast<int32_t>(plane.strides(0)), 4,
                       intensity.type) < 0)
    throw py::value_error("internal: a 2-D float32 array of contiguous rows expected");
  py::gil_scoped_release release;
  const auto start = std::chrono::steady_clock::now();
  const CSchedule schedule(EForm::kFast, threads);
  const std::atomic<bool> cancel{false};
  SAnalysis analysis;
  Analyze(intensity, iterations, histograms, sigma, schedule, cancel, &analysis);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// memory_refusal(width, height, histograms, sigma, iterations, threads, extra): the
// program's words when a run of that size (and `extra` bytes besides) cannot be held here,
// else "".
std::string MemoryRefusal(int32_t w, int32_t h, bool histograms, float sigma, int32_t iterations, int32_t threads,
                          uint64_t extra) {
  const CSchedule schedule(EForm::kFast, threads);
  uint64_t available = 0;
  const uint64_t needed = RunRequiredBytes(schedule, w, h, histograms, sigma, iterations, false) + extra;
  if (!ReadAvailableMemory(&available) || needed <= available) return "";
  return NotEnoughMemoryText(w, h, needed, available);
}

// write_edg(path, planes): the planes' bytes as the program writes its result: a temporary
// in the same folder, flushed, renamed over the target.
py::tuple WriteEdg(const std::string& path, py::array_t<float, py::array::c_style> planes) {
  std::string why;
  const auto* data = planes.data();
  const size_t bytes = static_cast<size_t>(planes.nbytes());
  bool ok = false;
  {
    py::gil_scoped_release release;
    CResultFile file;
    if (!file.Create(path)) {
      why = "Cannot create the result file " + path + ": " + std::strerror(errno) + ".";
    } else if (!file.Write(data, bytes)) {
      why = "Cannot write the result file " + path + ": " + std::strerror(errno) + ".";
    } else if (!file.Commit()) {
      why = "Cannot complete the result file " + path + ": " + std::strerror(errno) + ".";
    } else {
      ok = true;
    }
  }
  return Outcome(ok ? "ok" : "failed", why);
}

}  // namespace
}  // namespace brevant::python

PYBIND11_MODULE(_brevant, m) {
  using namespace brevant::python;
  m.doc() = "The compiled half of brevant; use the functions of the brevant package.";
  m.def("analyze_path", &AnalyzePath, py::arg("path"), py::arg("iterations"), py::arg("histograms"), py::arg("sigma"),
        py::arg("threads"));
  m.def("analyze_to_file", &AnalyzeToFile, py::arg("path"), py::arg("result"), py::arg("iterations"),
        py::arg("histograms"), py::arg("sigma"), py::arg("threads"), py::arg("admit"));
  m.def("analyze_intensity", &AnalyzeIntensityArray, py::arg("plane"), py::arg("iterations"), py::arg("histograms"),
        py::arg("sigma"), py::arg("threads"));
  m.def("intensity", &Intensity, py::arg("image"), py::arg("red"), py::arg("green"), py::arg("blue"));
  m.def("load", &Load, py::arg("path"));
  m.def("write_edg", &WriteEdg, py::arg("path"), py::arg("planes"));
  m.def("engine_seconds", &EngineSeconds, py::arg("plane"), py::arg("iterations"), py::arg("histograms"),
        py::arg("sigma"), py::arg("threads"));
  m.def("memory_refusal", &MemoryRefusal, py::arg("width"), py::arg("height"), py::arg("histograms"),
        py::arg("sigma"), py::arg("iterations"), py::arg("threads"), py::arg("extra"));
  m.attr("MAX_THREADS") = brevant::CSchedule::kMaxThreads;
}
