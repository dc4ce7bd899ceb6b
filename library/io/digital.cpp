#include <cstring>

#include "io/channel_io.h"
#include "io/model_table.h"
#include "protocol/builders.h"

namespace kelvo {
namespace {

// Models 9 and 19 count 16 positions, but the port image holds 8: ports
// beyond the image are refused like any port outside the model.
bool Readable(const DeviceEntry& entry, std::uint8_t port) {
    return port < LookupModel(entry.model).inputs && port < PORT_IMAGE_SIZE;
}
bool Writable(const DeviceEntry& entry, std::uint8_t port) {
    return port < LookupModel(entry.model).total && port < PORT_IMAGE_SIZE;
}

}  // namespace

Status ReadDIO(DeviceEntry* entry, std::uint8_t port, std::uint8_t* data) {
    *data = 0;
    if (!entry) return STATUS_NOT_OPEN;
    if (!Readable(*entry, port)) return STATUS_BAD_CHANNEL;
    std::uint8_t image[PORT_IMAGE_SIZE] = {};
    const Status status = ReadPorts(*entry, PORT_IMAGE_SIZE, image);
    if (status == STATUS_OK) *data = image[port];
    return status;
}

Status WriteDIO(DeviceEntry* entry, std::uint8_t port, std::uint8_t value, std::uint8_t mask) {
    if (!entry) return STATUS_NOT_OPEN;
    if (!Writable(*entry, port)) return STATUS_BAD_CHANNEL;
    // Every other port goes out with value 0 and mask 0: unchanged.
    std::uint8_t values[PORT_IMAGE_SIZE] = {}, masks[PORT_IMAGE_SIZE] = {};
    values[port] = value;
    masks[port] = mask;
    return WritePorts(*entry, PORT_IMAGE_SIZE, values, masks);
}

// The whole image is read once; the port list is checked afterwards, so the
// read is made (and the sequence stepped) even when the list holds a bad port.
Status MultiReadDIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* ports,
                    std::uint8_t* data) {
    std::memset(data, 0, count);
    if (!entry) return STATUS_NOT_OPEN;
    std::uint8_t image[PORT_IMAGE_SIZE] = {};
    const Status status = ReadPorts(*entry, PORT_IMAGE_SIZE, image);
    if (status != STATUS_OK) return status;
    for (std::uint8_t i = 0; i < count; ++i) {
        if (!Readable(*entry, ports[i])) return STATUS_BAD_CHANNEL;
        data[i] = image[ports[i]];
    }
    return STATUS_OK;
}

// All entries are merged into one image (a later entry for the same port
// wins) and written in one exchange; a bad entry sends nothing.
Status MultiWriteDIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* ports,
                     const std::uint8_t* values, const std::uint8_t* masks) {
    if (count == 0) return STATUS_BAD_CHANNEL;
    if (!entry) return STATUS_NOT_OPEN;
    std::uint8_t valueImage[PORT_IMAGE_SIZE] = {}, maskImage[PORT_IMAGE_SIZE] = {};
    for (std::uint8_t i = 0; i < count; ++i) {
        if (!Writable(*entry, ports[i])) return STATUS_BAD_CHANNEL;
        valueImage[ports[i]] = values[i];
        maskImage[ports[i]] = masks[i];
    }
    return WritePorts(*entry, PORT_IMAGE_SIZE, valueImage, maskImage);
}

// Directions are not checked against the model: the unit decides what its
// direction bits mean. The request has room for 8 ports.
Status SetChDirDIO(DeviceEntry* entry, std::uint8_t count, const std::uint8_t* directions) {
    if (!entry) return STATUS_NOT_OPEN;
    if (count > PORT_IMAGE_SIZE) return STATUS_BAD_CHANNEL;
    return SetDirections(*entry, count, directions);
}

}  // namespace kelvo
