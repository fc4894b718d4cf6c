// The WAVE format tags' names, which AVI, Windows Media and Matroska sound
// streams share.
#pragma once

#include "byteorder.h"

#include <cstdint>
#include <string>

namespace vidarium {

// The classic AVI row's name of a WAVE format tag, as that row has always
// shown it; an unlisted tag gives its decimal value.
std::string AudioFormatTagName(std::uint16_t tag);
// The modern rows' name of a tag: the common tags by the names media tools
// use ("MP2", "IMA ADPCM", "WMA v2"), else its code.
std::string SoundFormatName(std::uint16_t tag);
// The tag of a WAVEFORMATEX; for a WAVEFORMATEXTENSIBLE (0xFFFE), its
// sub-format's, when the bytes hold it.
std::uint16_t FormatTagOf(ByteSpan waveFormat);
// The tag as a code: "0x0055".
std::string AudioFormatTagCode(std::uint16_t tag);

} // namespace vidarium
