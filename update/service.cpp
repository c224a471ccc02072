// SPDX-License-Identifier: Apache-2.0
#include "update/service.h"

#include "agent/agent.h"
#include "image/image.h"
#include "update/update.h"

namespace {

// Read in pieces of this size so the progress moves and a stop is seen
// soon; EPRead splits further.
constexpr uint32_t READ_PIECE = 16384;

}  // namespace

int ServiceReadFlash(uint8_t* dest, uint32_t length, void (*progress)(int percent),
                     uint16_t* crcOut, const char** message) {
    for (uint32_t done = 0; done < length;) {
        if (UpdateStopRequested()) return UPDATE_HOOK_STOPPED;
        if (progress != nullptr) progress(static_cast<int>(uint64_t{done} * 100 / length));
        const uint32_t piece = length - done < READ_PIECE ? length - done : READ_PIECE;
        if (EPRead(done, dest + done, piece) != 0) {
            *message = "EPRead Fail!";
            return UPDATE_HOOK_FAILED;
        }
        done += piece;
    }
    if (progress != nullptr) progress(100);
    if (UpdateStopRequested()) return UPDATE_HOOK_STOPPED;
    uint16_t receiverCrc = 0;
    if (CalculateFlashCRC16(0, length, 0xFFFF, &receiverCrc) != 0) {
        *message = "CalculateFlashCRC16 Fail!";
        return UPDATE_HOOK_FAILED;
    }
    if (crcOut != nullptr) *crcOut = receiverCrc;
    uint16_t readCrc = 0;
    Crc16Update(dest, length, 0xFFFF, &readCrc);
    if (readCrc != receiverCrc) {
        *message = "The flash read back does not match the receiver's CRC!";
        return UPDATE_HOOK_FAILED;
    }
    return UPDATE_HOOK_OK;
}
