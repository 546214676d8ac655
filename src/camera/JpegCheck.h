#pragma once

#include <cstddef>
#include <opencv2/core/mat.hpp>

namespace quorvel {

// Whether a Motion-JPEG frame decodes whole: libjpeg reads all of its coded data with no error
// and no warning of damage. A frame cut short that still ends in an end-of-image marker (some
// drivers add one) decodes, through libv4lconvert too, with grey rows where the data is
// missing; libjpeg warns of it. Extraneous bytes before a marker, which some webcams send in
// every frame, are no damage. Reads the coded data only (no colour conversion, no IDCT).
bool jpegDecodesWhole(const unsigned char* data, std::size_t size);

// Decodes a whole Motion-JPEG frame (as jpegDecodesWhole tells) into 8-bit BGR, scaled down by
// libjpeg itself (1/2, 1/4 or 1/8, as far as it stays as wide as `atLeast` or as high), which
// costs a fraction of decoding the full size; false, `image` undefined, when the frame is damaged.
// Frames without Huffman tables, as many webcams send, take the standard ones.
bool decodeWholeJpeg(const unsigned char* data, std::size_t size, cv::Size atLeast, cv::Mat& image);

} // namespace quorvel
