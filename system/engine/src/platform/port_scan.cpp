#include "platform/port_scan.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>

#include <json/json.h>

namespace {

bool read_text_file(const std::string& file, std::string& out) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

// A sysfs attribute without its final newline; false when absent.
bool read_attr(const std::string& file, std::string& out) {
    if (!read_text_file(file, out)) return false;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return true;
}

std::vector<std::string> sorted_entries(const std::string& dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return names;
    while (dirent* e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool file_exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

std::string parent_of(const std::string& p) {
    auto pos = p.find_last_of('/');
    return pos == std::string::npos || pos == 0 ? std::string() : p.substr(0, pos);
}

std::string base_of(const std::string& p) {
    auto pos = p.find_last_of('/');
    return pos == std::string::npos ? p : p.substr(pos + 1);
}

// Optional string member: a missing or null member, or another type, is
// "not available".
bool optional_text(const Json::Value& doc, const char* key, std::string& out) {
    const Json::Value& v = doc[key];
    if (!v.isString()) return false;
    out = v.asString();
    return true;
}

bool id_member(const Json::Value& doc, const char* key, uint32_t& out) {
    const Json::Value& v = doc[key];
    if (v.isNull()) {
        out = 0;
        return true;
    }
    if (!v.isUInt()) return false;  // negative, above 32 bits or not a number
    out = v.asUInt();
    return true;
}

// One tty of /sys/class/tty; false when it is no real serial port.
bool describe_sysfs_tty(const std::string& name, PlatformPort& out) {
    std::string cls = "/sys/class/tty/" + name;
    char buf[PATH_MAX];
    if (!realpath((cls + "/device").c_str(), buf)) return false;  // virtual terminals, ptys
    std::string device = buf;

    PlatformPort p;
    p.path = "/dev/" + name;

    // The nearest ancestor with idVendor is the USB device; the directory just
    // below it is the interface the tty hangs off.
    std::string usb, iface;
    for (std::string dir = device; !dir.empty() && dir != "/sys/devices"; dir = parent_of(dir)) {
        if (file_exists(dir + "/idVendor") && file_exists(dir + "/idProduct")) {
            usb = dir;
            break;
        }
        iface = dir;
    }
    if (!usb.empty()) {
        std::string v, pr, product, interface;
        if (read_attr(usb + "/idVendor", v)) p.vendorId = static_cast<uint32_t>(strtoul(v.c_str(), nullptr, 16));
        if (read_attr(usb + "/idProduct", pr)) p.productId = static_cast<uint32_t>(strtoul(pr.c_str(), nullptr, 16));
        bool hasProduct = read_attr(usb + "/product", product);
        if (!iface.empty() && read_attr(iface + "/interface", interface) && !interface.empty()) {
            p.hasDescription = true;
            p.description = interface;
        } else if (hasProduct) {
            p.hasDescription = true;
            p.description = product;
        }
        p.hasLocation = true;
        p.locationInfo = base_of(usb);
        if (hasProduct) {
            p.hasDisplayName = true;
            p.displayName = product + " (" + name + ")";
        }
    } else {
        // Legacy UARTs exist in sysfs whether or not hardware sits behind them.
        std::string type;
        if (read_attr(cls + "/type", type) && strtol(type.c_str(), nullptr, 10) == 0) return false;
        p.hasLocation = true;
        p.locationInfo = base_of(device);
    }
    out = p;
    return true;
}

std::vector<PlatformPort> list_sysfs() {
    std::vector<PlatformPort> ports;
    for (const auto& name : sorted_entries("/sys/class/tty")) {
        PlatformPort p;
        try {
            if (describe_sysfs_tty(name, p)) ports.push_back(p);
        } catch (const std::exception&) {
            // an unreadable entry is no port
        }
    }
    return ports;
}

std::vector<PlatformPort> list_virtual(const std::string& dir) {
    std::vector<PlatformPort> ports;
    for (const auto& name : sorted_entries(dir)) {
        if (!platform_is_virtual_port_file(name)) continue;
        PlatformPort p;
        if (platform_read_virtual_port(dir + "/" + name, p)) ports.push_back(p);
    }
    return ports;
}

}  // namespace

std::string platform_virtual_ports_dir() {
    const char* v = getenv("KELVO_VIRTUAL_PORTS");
    return v ? std::string(v) : std::string();
}

bool platform_is_virtual_port_file(const std::string& name) {
    return name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".json") == 0;
}

bool platform_read_virtual_port(const std::string& file, PlatformPort& out) {
    std::string text;
    if (!read_text_file(file, text)) return false;
    try {
        Json::CharReaderBuilder b;
        std::unique_ptr<Json::CharReader> r(b.newCharReader());
        Json::Value doc;
        std::string errs;
        if (!r->parse(text.data(), text.data() + text.size(), &doc, &errs) || !doc.isObject()) return false;
        PlatformPort p;
        if (!doc["path"].isString() || doc["path"].asString().empty()) return false;
        p.path = doc["path"].asString();
        if (!id_member(doc, "vendorId", p.vendorId) || !id_member(doc, "productId", p.productId)) return false;
        p.hasDescription = optional_text(doc, "description", p.description);
        p.hasDisplayName = optional_text(doc, "displayName", p.displayName);
        p.hasLocation = optional_text(doc, "locationInfo", p.locationInfo);
        out = p;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<PlatformPort> platform_list_ports() {
    std::string dir = platform_virtual_ports_dir();
    if (!dir.empty()) return list_virtual(dir);
    return list_sysfs();
}
