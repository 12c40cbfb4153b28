// TIFF tag numbers, in one place for every file that reads or reports them: the pointer tags
// the directory parser follows, the baseline, Exif and DNG tags readers look up, and the
// tags of the HD Photo container. Property items are stored under these numbers too; the
// few property item numbers that are not TIFF tags (PNG's gAMA, pHYs and Title) are listed
// at the end, since they share the same number space.
#pragma once
#include <cstdint>

namespace ko::tiff_tag {

// Baseline and extension tags
inline constexpr uint16_t kNewSubFileType = 254;
inline constexpr uint16_t kImageWidth = 256;
inline constexpr uint16_t kImageLength = 257;
inline constexpr uint16_t kBitsPerSample = 258;
inline constexpr uint16_t kCompression = 259;
inline constexpr uint16_t kPhotometricInterpretation = 262;
inline constexpr uint16_t kImageDescription = 270;  // 0x010E
inline constexpr uint16_t kStripOffsets = 273;
inline constexpr uint16_t kSamplesPerPixel = 277;
inline constexpr uint16_t kRowsPerStrip = 278;
inline constexpr uint16_t kStripByteCounts = 279;
inline constexpr uint16_t kSoftware = 305;               // 0x0131
inline constexpr uint16_t kDateTime = 306;               // 0x0132
inline constexpr uint16_t kArtist = 315;                 // 0x013B
inline constexpr uint16_t kWhitePoint = 318;             // 0x013E
inline constexpr uint16_t kPrimaryChromaticities = 319;  // 0x013F
inline constexpr uint16_t kTileWidth = 322;
inline constexpr uint16_t kTileLength = 323;
inline constexpr uint16_t kTileOffsets = 324;
inline constexpr uint16_t kTileByteCounts = 325;
inline constexpr uint16_t kSampleFormat = 339;
inline constexpr uint16_t kCopyright = 33432;            // 0x8298
inline constexpr uint16_t kIccProfile = 34675;           // 0x8773

// Pointers to further directories
inline constexpr uint16_t kSubIfds = 330;
inline constexpr uint16_t kExifIfd = 34665;
inline constexpr uint16_t kGpsIfd = 34853;
inline constexpr uint16_t kInteropIfd = 40965;

// TIFF/EP and DNG
inline constexpr uint16_t kCfaRepeatPatternDim = 33421;
inline constexpr uint16_t kCfaPattern = 33422;
inline constexpr uint16_t kLinearizationTable = 50712;
inline constexpr uint16_t kBlackLevelRepeatDim = 50713;
inline constexpr uint16_t kBlackLevel = 50714;
inline constexpr uint16_t kBlackLevelDeltaH = 50715;
inline constexpr uint16_t kBlackLevelDeltaV = 50716;
inline constexpr uint16_t kWhiteLevel = 50717;
inline constexpr uint16_t kDefaultCropOrigin = 50719;
inline constexpr uint16_t kDefaultCropSize = 50720;
inline constexpr uint16_t kColorMatrix1 = 50721;
inline constexpr uint16_t kCameraCalibration1 = 50723;
inline constexpr uint16_t kAsShotNeutral = 50728;
inline constexpr uint16_t kActiveArea = 50829;

// The HD Photo container's directory
inline constexpr uint16_t kHdPixelFormat = 0xBC01;
inline constexpr uint16_t kHdTransformation = 0xBC02;
inline constexpr uint16_t kHdCompression = 0xBC03;
inline constexpr uint16_t kHdImageType = 0xBC04;
inline constexpr uint16_t kHdImageWidth = 0xBC80;
inline constexpr uint16_t kHdImageHeight = 0xBC81;
inline constexpr uint16_t kHdImageOffset = 0xBCC0;
inline constexpr uint16_t kHdImageByteCount = 0xBCC1;
inline constexpr uint16_t kHdAlphaOffset = 0xBCC2;
inline constexpr uint16_t kHdAlphaByteCount = 0xBCC3;
inline constexpr uint16_t kHdImageDataDiscard = 0xBCC4;
inline constexpr uint16_t kHdAlphaDataDiscard = 0xBCC5;

// Property item numbers that are not TIFF tags
inline constexpr uint16_t kPropertyGamma = 0x0301;
inline constexpr uint16_t kPropertyTitle = 0x0320;
inline constexpr uint16_t kPropertyPixelUnit = 0x5110;
inline constexpr uint16_t kPropertyPixelPerUnitX = 0x5111;
inline constexpr uint16_t kPropertyPixelPerUnitY = 0x5112;

}  // namespace ko::tiff_tag
