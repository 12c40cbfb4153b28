#include "bench/yardsticks.h"

#if defined(BREVANT_HAVE_OPENCV)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace brevant::bench {

#if defined(BREVANT_HAVE_OPENCV)

namespace {

cv::Mat View(const ko::CTypedImg<float>& img) {
  return cv::Mat(img.height, img.width, CV_32F, img.pixels, static_cast<size_t>(img.stride));
}

cv::Mat Taps(const ko::CKernel& k) { return cv::Mat(1, k.count, CV_32F, k.taps); }

}  // namespace

bool HaveOpenCv() { return true; }
void SetOpenCvThreads(int32_t threads) { cv::setNumThreads(threads); }

void OpenCvSteerablePasses(const ko::CTypedImg<float>& input, const SSteerableKernels& k,
                           std::vector<ko::CTypedImg<float>>* responses) {
  const ko::CKernel* const table[7][2] = {{&k.a, &k.g}, {&k.b, &k.b}, {&k.g, &k.a}, {&k.c, &k.g},
                                          {&k.f, &k.d}, {&k.d, &k.f}, {&k.g, &k.c}};
  responses->resize(7);
  const cv::Mat src = View(input);
  for (int i = 0; i < 7; ++i) {
    ko::CTypedImg<float>& out = (*responses)[i];
    if (!out.HasMemory()) out.Create(input.width, input.height, 1, 0);
    cv::Mat dst = View(out);
    // A correlation (OpenCV does not mirror), zero outside: the taps there are dropped.
    cv::sepFilter2D(src, dst, CV_32F, Taps(*table[i][0]), Taps(*table[i][1]), cv::Point(-1, -1), 0.0,
                    cv::BORDER_CONSTANT);
  }
}

void OpenCvSmoothTwo(const ko::CTypedImg<float>& a, const ko::CTypedImg<float>& b, const ko::CKernel& kernel,
                     ko::CTypedImg<float>* smoothA, ko::CTypedImg<float>* smoothB) {
  for (ko::CTypedImg<float>* out : {smoothA, smoothB})
    if (!out->HasMemory()) out->Create(a.width, a.height, 1, 0);
  cv::Mat da = View(*smoothA), db = View(*smoothB);
  cv::sepFilter2D(View(a), da, CV_32F, Taps(kernel), Taps(kernel), cv::Point(-1, -1), 0.0, cv::BORDER_REPLICATE);
  cv::sepFilter2D(View(b), db, CV_32F, Taps(kernel), Taps(kernel), cv::Point(-1, -1), 0.0, cv::BORDER_REPLICATE);
}

#else

bool HaveOpenCv() { return false; }
void SetOpenCvThreads(int32_t) {}
void OpenCvSteerablePasses(const ko::CTypedImg<float>&, const SSteerableKernels&, std::vector<ko::CTypedImg<float>>*) {}
void OpenCvSmoothTwo(const ko::CTypedImg<float>&, const ko::CTypedImg<float>&, const ko::CKernel&,
                     ko::CTypedImg<float>*, ko::CTypedImg<float>*) {}

#endif

}  // namespace brevant::bench
