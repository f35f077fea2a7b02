// Record layouts shared by the stand-in outside libraries (libKOV_BLD.so and
// libVorptDownLoad.so), as `download` fills and reads them on a 64-bit host.
//
// InstanceParams (kInstanceSize bytes, zeroed by MallocInstanceParams):
//   offset  0  uint32  serial number of the record (the stand-in's own, for logs)
//   offset 48  uint32  flags word; bit 0x40 is the upload flag of command 4
//   offset 56  uint32  upload word, set to 1 by command 4
//   offset 64  void (*)(void* context, void* reserved, const void* status)
//                      status callback, stored by command 5 (8-byte slot)
//   offset 72  void*   the callback's context, stored by command 5 (8-byte slot)
// The 32-bit words keep their places; the two pointers, 32-bit slots at 28 and
// 32 on a 32-bit host, move to their own 8-byte-aligned slots after the words.
//
// BlStatusRecord (kStatusSize bytes), handed to the status callback:
//   offset    8  uint32  fourth field of the "QUR7302" record
//   offset   12  char16_t[]  NUL-terminated status text, first field
//   offset 2916  uint32  second field
//   offset 2920  uint32  third field
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin {

constexpr size_t kInstanceSize = 256;
constexpr size_t kSerialOffset = 0;
constexpr size_t kFlagsOffset = 48;
constexpr size_t kUploadWordOffset = 56;
constexpr size_t kCallbackOffset = 64;
constexpr size_t kContextOffset = 72;

constexpr size_t kStatusSize = 2924;
constexpr size_t kStatusNumber8Offset = 8;
constexpr size_t kStatusTextOffset = 12;
constexpr size_t kStatusNumber2916Offset = 2916;
constexpr size_t kStatusNumber2920Offset = 2920;

using BlStatusCallback = void (*)(void* context, void* reserved, const void* status);

}  // namespace standin
