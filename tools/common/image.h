// Reading a unit's whole image back, outputs included: the 8 port bytes of a
// digital unit, or the 32-bit little-endian channel values of an analog or
// counter unit. The typed reads of the library refuse output positions, so
// this is the raw read (command 0x11, selector 0xFF, byte 4 = the bytes
// asked for) through Kelvo_Access.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvo.h"
#include "kelvo_models.h"

namespace kelvo::tools {

enum class ImageRead {
    OK,
    FAILED,  // the exchange failed: no reply in time, or an invalid one
    SHORT,   // the reply carried fewer data bytes than asked for
};

// Reads the first `size` bytes (8..240) of the image into `data`. Nothing but
// a whole image counts: on SHORT or FAILED `data` must not be used.
ImageRead ReadImage(KELVO_HANDLE handle, std::size_t size, std::uint8_t* data);

// The bytes of the image of a model: 8 ports, or 4 bytes per channel.
std::size_t ImageSize(const KelvoModel& model);

}  // namespace kelvo::tools
