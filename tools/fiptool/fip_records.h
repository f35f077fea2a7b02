// The image descriptors of one run: one per known image, in table order,
// then one per unknown UUID ("blob") in the order of first appearance.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/fiptool/fip_format.h"

enum class FipAction { none = 0, pack = 1, unpack = 2, remove = 3 };

// An image held in memory with its ToC entry.
struct FipImage {
    FipTocItem toc;
    std::vector<uint8_t> payload;
};

struct FipImageRecord {
    FipUuid uuid{};
    std::string name;
    std::string option;
    FipAction action = FipAction::none;
    bool has_argument = false;
    std::string argument;  // descriptor number or file name
    std::unique_ptr<FipImage> image;
    uint64_t fixed_offset = 0;  // 0: laid out among the payloads
};

// Everything a run holds; destroyed whole when the run ends, however it ends.
struct FipRun {
    std::vector<std::unique_ptr<FipImageRecord>> records;
    size_t nr_image_descs() const { return records.size(); }
};

// Appends the 31 known images to an empty list.
void fip_add_known_records(FipRun& run);
FipImageRecord& fip_make_record(FipRun& run, const FipUuid& uuid, const std::string& name,
                                const std::string& option);
FipImageRecord* fip_record_for_option(FipRun& run, const char* option);
FipImageRecord* fip_record_for_uuid(FipRun& run, const FipUuid& uuid);
void fip_assign_action(FipImageRecord& rec, FipAction action, const char* argument);
// How messages name a descriptor: its option name, or its UUID text for a blob.
const char* fip_record_label(const FipImageRecord& rec);
