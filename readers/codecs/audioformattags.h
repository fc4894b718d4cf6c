// The WAVE format tags' names, which AVI, Windows Media and Matroska sound
// streams share.
#pragma once

#include <cstdint>
#include <string>

namespace vidarium {

// Display name of a WAVE format tag; an unlisted tag gives its decimal value.
std::string AudioFormatTagName(std::uint16_t tag);
// The tag as a code: "0x0055".
std::string AudioFormatTagCode(std::uint16_t tag);

} // namespace vidarium
