// The port filter, virtual-port files and the error texts, without an engine.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "device/port_enum.h"
#include "platform/port_scan.h"
#include "platform/serial_port.h"

namespace {

PlatformPort port(uint32_t vid, uint32_t pid, const char* description) {
    PlatformPort p;
    p.path = "/dev/ttyX";
    p.vendorId = vid;
    p.productId = pid;
    if (description) {
        p.hasDescription = true;
        p.description = description;
    }
    p.hasLocation = true;
    p.locationInfo = "1-1";
    return p;
}

TEST(PortFilter, BootIdentityAndDescription) {
    struct Case {
        PlatformPort port;
        bool plain, usbOnly;
    } cases[] = {
        {port(0x2ECC, 0x3017, "Ovix Usb Boot Port"), true, true},
        {port(0x2ECC, 0x3004, "Ovix Usb Boot Port"), true, true},
        {port(0x2ECC, 0x3017, "Ovix Usb Boot Port "), false, false},
        {port(0x2ECC, 0x3017, "ovix usb boot port"), false, false},
        {port(0x2ECC, 0x3004, nullptr), true, false},
        {port(0x2ECC, 0x1234, "Other"), true, false},
        {port(0, 0, nullptr), true, false},
    };
    for (const auto& c : cases) {
        PortInfo info;
        engine_set_usb_only(false);
        EXPECT_EQ(serial_port_passes(c.port, info), c.plain) << c.port.description;
        engine_set_usb_only(true);
        EXPECT_EQ(serial_port_passes(c.port, info), c.usbOnly) << c.port.description;
    }
    engine_set_usb_only(false);
}

TEST(PortFilter, MissingTextsTakeTheirDefaults) {
    PortInfo info;
    engine_set_usb_only(false);
    // The location is known only together with the description.
    ASSERT_TRUE(serial_port_passes(port(0, 0, nullptr), info));
    EXPECT_EQ(info.locationInfo, "Unknown location");
    EXPECT_EQ(info.displayName, "Unknown name");
    ASSERT_TRUE(serial_port_passes(port(0, 0, "USB Serial"), info));
    EXPECT_EQ(info.locationInfo, "1-1");
}

TEST(VirtualPortFile, AcceptsOnlyUsableDescriptions) {
    char tmpl[] = "/tmp/kelvo-vport-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {R"({"path": "/dev/pts/7", "vendorId": 11980, "productId": 12311, "description": "Ovix Usb Boot Port"})", true},
        {R"({"path": "/dev/pts/7"})", true},
        {R"({"path": "/dev/pts/7", "vendorId": -1})", false},
        {R"({"path": "/dev/pts/7", "vendorId": 4294967296})", false},
        {R"({"path": "/dev/pts/7", "vendorId": "11980"})", false},
        {R"({"path": 7})", false},
        {R"({"vendorId": 1})", false},
        {R"([1, 2])", false},
        {"not json", false},
    };
    for (const auto& c : cases) {
        std::string file = dir + "/p.json";
        std::ofstream(file) << c.text;
        PlatformPort p;
        EXPECT_EQ(platform_read_virtual_port(file, p), c.ok) << c.text;
        unlink(file.c_str());
    }
    PlatformPort p;
    EXPECT_FALSE(platform_read_virtual_port(dir + "/missing.json", p));
    EXPECT_TRUE(platform_is_virtual_port_file("a.json"));
    EXPECT_FALSE(platform_is_virtual_port_file(".a.json.tmp"));
    EXPECT_FALSE(platform_is_virtual_port_file(".json"));
    rmdir(dir.c_str());
}

TEST(SerialErrors, LinuxErrorsMapToTheEngineTexts) {
    struct Case {
        int err;
        const char* text;
    } cases[] = {
        {ENOENT, "P: File not found"},  {ENXIO, "P: File not found"},   {ENODEV, "P: File not found"},
        {EACCES, "P: Access denied"},   {EPERM, "P: Access denied"},    {EBUSY, "P: Access denied"},
        {EBADF, "P: Invalid handle"},   {EINVAL, "P: The parameter is incorrect"},
        {ENOTTY, "P: The parameter is incorrect"}, {ECANCELED, "P: Operation aborted"},
        {EIO, "P: Unknown error code 5"},
    };
    for (const auto& c : cases) EXPECT_EQ(platform_describe_error("P", c.err), c.text);
}

TEST(SerialOpen, RegularFileIsNoSerialPort) {
    char tmpl[] = "/tmp/kelvo-notatty-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    UniqueFd out;
    std::string error;
    EXPECT_FALSE(platform_serial_open(tmpl, 115200, out, error));
    EXPECT_EQ(error, "Open (GetCommState): The parameter is incorrect");
    EXPECT_FALSE(out.valid());
    unlink(tmpl);
}

TEST(SysfsEnumeration, ListsDeviceNodes) {
    unsetenv("KELVO_VIRTUAL_PORTS");
    for (const auto& p : platform_list_ports()) {
        EXPECT_EQ(p.path.rfind("/dev/", 0), 0u) << p.path;
        EXPECT_EQ(p.path.find('/', 5), std::string::npos) << p.path;
    }
}

}  // namespace
