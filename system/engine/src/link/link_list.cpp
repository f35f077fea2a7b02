// The list of links: below both the links' lifecycle and the flow of their
// download threads, which look their link up in it.
#include <algorithm>
#include <mutex>
#include <vector>

#include "base/never_destroyed.h"
#include "link/ethos_link.h"
#include "link/serial_link.h"

namespace {
// Changed on the loop thread under the lock; download threads look their
// link up under it.
std::mutex g_links_mutex;
std::vector<SerialLink*>& g_links = never_destroyed<std::vector<SerialLink*>>();
}  // namespace

void ethos_link_list_add(SerialLink* link) {
    std::lock_guard<std::mutex> lock(g_links_mutex);
    g_links.push_back(link);
}

void ethos_link_list_remove(SerialLink* link) {
    std::lock_guard<std::mutex> lock(g_links_mutex);
    g_links.erase(std::remove(g_links.begin(), g_links.end(), link), g_links.end());
}

const std::vector<SerialLink*>& ethos_links() { return g_links; }

size_t ethos_link_count() { return g_links.size(); }

SerialLink* ethos_link_find(uint32_t connectionId) {
    for (SerialLink* link : g_links)
        if (link->connectionId == connectionId) return link;
    return nullptr;
}

LinkFlow* ethos_link_flow(uint32_t connectionId) {
    std::lock_guard<std::mutex> lock(g_links_mutex);
    SerialLink* link = ethos_link_find(connectionId);
    return link ? &link->flow : nullptr;
}

void ethos_link_set_timeout(uint32_t connectionId, int32_t milliseconds) {
    std::lock_guard<std::mutex> lock(g_links_mutex);
    for (SerialLink* link : g_links)
        if (link->connectionId == connectionId) {
            link->noResponseMs.store(milliseconds);
            return;
        }
}
