// The byte stream that the fastboot-style request layer talks through.
#pragma once

#include <cstddef>
#include <cstdint>

// Bit 31 of a WriteAll length asks for the data to be sent without
// acknowledgement; the byte count is in the low 31 bits.
constexpr uint32_t kTransportNoAck = 0x80000000u;

class Transport {
public:
    virtual ~Transport() = default;
    // Fastboot bytes received into `buffer`, at most `capacity`; -1 on failure.
    // A failure leaves errno at the system error behind it, or 0 when there
    // is none (a protocol failure, a silent device), so that no stale error
    // number is reported as its cause.
    virtual int64_t ReadSome(uint8_t* buffer, size_t capacity) = 0;
    // Bytes written (low 31 bits of `length`); -1 on failure, errno as above.
    virtual int64_t WriteAll(const uint8_t* data, uint32_t length) = 0;
    virtual int Disconnect() = 0;
    // No operation of the flashing client waits for a detach.
    virtual bool AwaitDetach() { return false; }
};
