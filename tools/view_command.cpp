#include "tools/view_command.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "ko/core/img.h"
#include "ko/io/image_file_reader.h"
#include "ko/platform/path_codec.h"
#include "tools/edg_result.h"
#include "tools/png_file.h"
#include "tools/view_pictures.h"

namespace brevant::view {

namespace {

constexpr int kMontageMaxSide = 3072;

void PrintHelp() {
  std::printf(
      "Usage: brevant-view <input image> [<result file>] [<output folder>]\n"
      "\n"
      "Turns a Brevant result file into PNG pictures.\n"
      "  <input image>    the image that was analysed: it gives the width and height, which the\n"
      "                   result file does not record.\n"
      "  <result file>    default (or \"-\"): the name Brevant gives it, the input's name with its\n"
      "                   last three characters replaced by \"edg\" (photo.png -> photo.edg,\n"
      "                   scan.tiff -> scan.tedg).\n"
      "  <output folder>  default: the folder of the result file; created when missing.\n"
      "\n"
      "Pictures, named after the result file (photo.edg gives photo-energy.png, ...):\n"
      "  NAME-energy.png       plane 0, oriented energy, grey.\n"
      "  NAME-orientation.png  plane 1, orientation as hue, brightness from the energy of plane 0.\n"
      "                        The colour wheel in the bottom-right corner is the legend: an edge\n"
      "                        has the wheel's colour in the direction in which the image\n"
      "                        brightens across it (right: 3/2 pi, left: 1/2 pi).\n"
      "  NAME-refined.png      plane 2, refined energy, grey.\n"
      "With histograms (a result of 39 planes):\n"
      "  NAME-dominant.png     hue of the strongest histogram bin (bin k stands for k x 10 degrees,\n"
      "                        coloured like that orientation), brightness from its value.\n"
      "  NAME-histograms.png   the 36 bins in a 6 x 6 grid, bin 0 top left, row by row, all on one\n"
      "                        scale; large images are reduced by box averaging.\n"
      "\n"
      "Grey levels and brightness are linear; white is the 99.5th percentile of the plane's\n"
      "values above 0 (nearest rank), so that a few extreme pixels do not darken the rest. Each\n"
      "picture's white value is printed.\n"
      "\n"
      "Exit status: 0 when every picture was written, 1 on an error, 2 for a wrong command line.\n");
}

void PrintUsageError(const char* what) {
  std::printf("%s\nUsage: brevant-view <input image> [<result file>] [<output folder>]  (--help explains)\n",
              what);
}

bool Write(const std::string& path, const Picture& picture, const char* what, float white) {
  std::string error;
  if (!WritePngFile(path, picture, &error)) {
    std::printf("%s\n", error.c_str());
    return false;
  }
  if (white > 0.0f)
    std::printf("Wrote %s: %s, %d x %d, white = %g\n", path.c_str(), what, picture.width, picture.height, white);
  else
    std::printf("Wrote %s: %s, %d x %d, all black (no value above 0)\n", path.c_str(), what, picture.width,
                picture.height);
  return true;
}

int View(const std::string& inputPath, const std::string& resultPath, const std::string& outputFolder) {
  // Load the image the way Brevant does, so that the size is the one the analysis saw.
  ko::CCompositeImg<ko::RGBAType<unsigned char>> image;
  const std::u16string wideInput = ko::DecodeNarrowPath(inputPath.c_str());
  const ko::HRESULT loaded = ko::LoadImageFile(wideInput.c_str(), &image, 1, -1);
  if (loaded < 0 || !image.HasMemory()) {
    std::printf("Cannot open the image %s (%s).\n", inputPath.c_str(), ko::ResultName(loaded < 0 ? loaded : ko::E_FAIL));
    return 1;
  }
  const int width = image.width;
  const int height = image.height;
  image.Reset();  // only the size is needed
  if (width <= 0 || height <= 0) {
    std::printf("The image %s has no pixels.\n", inputPath.c_str());
    return 1;
  }

  ResultPlanes result;
  std::string error;
  if (!ReadResultFile(resultPath, width, height, &result, &error)) {
    std::printf("%s\n", error.c_str());
    return 1;
  }
  std::printf("Reading %s: %d planes of %d x %d\n", resultPath.c_str(), result.count, width, height);

  std::error_code made;
  std::filesystem::create_directories(outputFolder, made);
  if (made) {
    std::printf("Cannot create the output folder %s: %s.\n", outputFolder.c_str(), made.message().c_str());
    return 1;
  }
  const std::string stem = std::filesystem::path(resultPath).stem().string();
  const std::string base = (std::filesystem::path(outputFolder) / stem).string();
  const size_t pixels = static_cast<size_t>(width) * height;

  const float energyWhite = PositivePercentile(result.Plane(0), pixels, kScalePercentile);
  if (!Write(base + "-energy.png", MakeGreyPicture(result.Plane(0), width, height, energyWhite), "oriented energy",
             energyWhite))
    return 1;
  if (!Write(base + "-orientation.png",
             MakeOrientationPicture(result.Plane(1), result.Plane(0), width, height, energyWhite),
             "orientation as hue, brightness from the energy", energyWhite))
    return 1;
  const float refinedWhite = PositivePercentile(result.Plane(2), pixels, kScalePercentile);
  if (!Write(base + "-refined.png", MakeGreyPicture(result.Plane(2), width, height, refinedWhite),
             "refined energy", refinedWhite))
    return 1;
  if (result.count == kPlanesPlain) return 0;

  const float* bins[kHistogramBins];
  for (int k = 0; k < kHistogramBins; ++k) bins[k] = result.Plane(kPlanesPlain + k);
  float dominantWhite = 0.0f;
  const Picture dominant = MakeDominantBinPicture(bins, width, height, &dominantWhite);
  if (!Write(base + "-dominant.png", dominant, "dominant histogram bin as hue", dominantWhite)) return 1;
  const float binsWhite = PositivePercentile(result.Plane(kPlanesPlain), pixels * kHistogramBins, kScalePercentile);
  const MontageLayout layout = ComputeMontageLayout(width, height, kHistogramBins, kMontageMaxSide);
  if (!Write(base + "-histograms.png", MakeHistogramMontage(bins, width, height, layout, binsWhite),
             "36 histogram bins, 6 x 6, bin 0 top left", binsWhite))
    return 1;
  return 0;
}

}  // namespace

int RunViewer(int argc, char** argv) {
  std::string positional[3];
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintHelp();
      return 0;
    }
    if (arg[0] == '-' && arg[1] == '-') {
      PrintUsageError(("Unknown option " + std::string(arg) + ".").c_str());
      return 2;
    }
    if (count == 3) {
      PrintUsageError("Too many arguments.");
      return 2;
    }
    positional[count++] = arg;
  }
  if (count == 0 || positional[0].empty()) {
    PrintUsageError("No input image given.");
    return 2;
  }
  std::string resultPath = positional[1];
  if (count < 2 || resultPath.empty() || resultPath == "-") {
    const std::optional<std::string> derived = DefaultResultName(positional[0]);
    if (!derived) {
      std::printf("Cannot derive a result name from %s (shorter than three characters): give the result file.\n",
                  positional[0].c_str());
      return 1;
    }
    resultPath = *derived;
  }
  std::string outputFolder = positional[2];
  if (outputFolder.empty()) {
    outputFolder = std::filesystem::path(resultPath).parent_path().string();
    if (outputFolder.empty()) outputFolder = ".";
  }
  try {
    return View(positional[0], resultPath, outputFolder);
  } catch (const std::bad_alloc&) {
    std::printf("Out of memory.\n");
    return 1;
  }
}

}  // namespace brevant::view
