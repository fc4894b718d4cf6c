// An MPEG-1 or MPEG-2 video elementary stream (.m1v, .m2v, and such streams
// named .mpg): no packs and no timestamps, only the stream's own headers.
// Its picture comes from the first sequence header, its length from the
// time codes of the first and last groups of pictures and the pictures
// after the last. The program stream reader reads these files too.
#pragma once

#include "byteorder.h"
#include "bytesource.h"
#include "codecnames.h"
#include "loadstop.h"
#include "mediasummary.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vidarium::videoes {

// MPEG-2's display aspect from its sequence header's code; a square-pixel
// code or MPEG-1's pixel aspect: the picture's own.
std::string MpegDisplayAspect(ByteSpan bytes, Codec format, std::uint32_t width,
                              std::uint32_t height);

// Where the stream's first sequence header starts, when `head` holds
// nothing but zero bytes before it (encoders and cutters pad a stream's
// start) and the header states a picture and a frame rate.
std::optional<std::size_t> SequenceStart(ByteSpan head);

// The end windows searched for the last group of pictures: grown from the
// first to the largest size.
struct TailWindows {
    std::size_t First = 0;
    std::size_t Largest = 0;
};

// Fills `summary` from the stream whose first bytes `head` holds (its
// sequence header at `start`), searching the file's end for the last group
// of pictures.
void Describe(ByteSource& source, ByteSpan head, std::size_t start, TailWindows tail,
              const LoadStop& stop, MediaSummary& summary);

} // namespace vidarium::videoes
