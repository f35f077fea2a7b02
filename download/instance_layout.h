// The places of the outside libraries' records that the front end touches.
// 32-bit words keep their offsets; the callback and its context are
// pointer-sized on a 64-bit host and sit in 8-byte-aligned slots of their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace frontend {

// InstanceParams
constexpr size_t kInstanceFlagsOffset = 48;      // uint32, bit 0x40: upload flag
constexpr size_t kInstanceUploadWordOffset = 56;  // uint32, set to 1 by command 4
constexpr size_t kInstanceCallbackOffset = 64;    // BlStatusCallback
constexpr size_t kInstanceContextOffset = 72;     // void*
constexpr uint32_t kInstanceUploadFlagBit = 0x40;

// BlStatusRecord
constexpr size_t kStatusNumber8Offset = 8;     // uint32, fourth field
constexpr size_t kStatusTextOffset = 12;       // NUL-terminated UTF-16, first field
constexpr size_t kStatusNumber2916Offset = 2916;  // uint32, second field
constexpr size_t kStatusNumber2920Offset = 2920;  // uint32, third field
// The text cannot run past the next field.
constexpr size_t kStatusTextMaxUnits = (kStatusNumber2916Offset - kStatusTextOffset) / 2;

}  // namespace frontend
