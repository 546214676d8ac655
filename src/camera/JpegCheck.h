#pragma once

#include <cstddef>

namespace quorvel {

// Whether a Motion-JPEG frame decodes whole: libjpeg reads all of its coded data with no error
// and no warning of damage. A frame cut short that still ends in an end-of-image marker (some
// drivers add one) decodes, through libv4lconvert too, with grey rows where the data is
// missing; libjpeg warns of it. Extraneous bytes before a marker, which some webcams send in
// every frame, are no damage. Reads the coded data only (no colour conversion, no IDCT).
bool jpegDecodesWhole(const unsigned char* data, std::size_t size);

} // namespace quorvel
