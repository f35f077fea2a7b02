// Framed serial links, one per device opened in download mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include <string>

// What a link tells the device table, which stands above it: handed down by
// the engine at init. Unset, the link tells nobody.
struct LinkDeviceHooks {
    void (*writePort)(uint32_t connectionId, const uint8_t* data, size_t length) = nullptr;
    void (*linkClosed)(uint32_t connectionId) = nullptr;  // the device table closes the port
    void (*setStatus)(uint32_t connectionId, const std::string& status) = nullptr;
    int (*postProgress)(uint32_t connectionId, uint32_t percentage) = nullptr;  // any thread
};
void ethos_link_set_device_hooks(const LinkDeviceHooks& hooks);

// Loop thread: run when the last link has closed (set by the engine at init).
void ethos_link_set_all_closed_handler(void (*handler)());
// Loop thread: links still in the link list.
size_t ethos_link_count();

// Loop thread: a link for the port of `connectionId`, created once the port
// is open in download mode; `usb` for a boot-ROM USB port, `order` fixes the
// local UDP port of its download thread.
void ethos_link_create(uint32_t connectionId, bool usb, int32_t order);

// Why a link closes: its port went away, or the host stops the engine.
enum class LinkClose : uint8_t { PortGone, HostStop };

// Loop thread: closes the link of `connectionId`; once it has left the link
// list the device table closes the port (device_on_link_closed). A download
// still running ends FAILED, except one whose script succeeded while its port
// went away (a device that reboots at the end of its list).
void ethos_link_close(uint32_t connectionId, LinkClose why);

// Loop thread: bytes read from the port of `connectionId` in download mode.
void ethos_receive(uint32_t connectionId, const uint8_t* data, size_t length);

// Download threads: the no-response time-out of the link of `connectionId`
// in milliseconds (0 turns the silence test off); nothing without a link.
void ethos_link_set_timeout(uint32_t connectionId, int32_t milliseconds);
