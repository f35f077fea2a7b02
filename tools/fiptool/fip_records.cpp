#include "tools/fiptool/fip_records.h"

#include <cstring>

void fip_add_known_records(FipRun& run) {
    for (size_t i = 0; i < kFipKnownImageCount; ++i) {
        const FipKnownImage& k = kFipKnownImages[i];
        FipUuid uuid{};
        fip_uuid_parse(k.uuid, uuid);
        fip_make_record(run, uuid, k.name, k.option);
    }
}

FipImageRecord& fip_make_record(FipRun& run, const FipUuid& uuid, const std::string& name,
                                const std::string& option) {
    auto rec = std::make_unique<FipImageRecord>();
    rec->uuid = uuid;
    rec->name = name;
    rec->option = option;
    run.records.push_back(std::move(rec));
    return *run.records.back();
}

FipImageRecord* fip_record_for_option(FipRun& run, const char* option) {
    for (auto& rec : run.records)
        if (rec->option == option) return rec.get();
    return nullptr;
}

FipImageRecord* fip_record_for_uuid(FipRun& run, const FipUuid& uuid) {
    for (auto& rec : run.records)
        if (rec->uuid == uuid) return rec.get();
    return nullptr;
}

void fip_assign_action(FipImageRecord& rec, FipAction action, const char* argument) {
    rec.action = action;
    rec.has_argument = argument != nullptr;
    rec.argument = argument ? argument : "";
}

const char* fip_record_label(const FipImageRecord& rec) {
    return rec.option == "blob" ? rec.name.c_str() : rec.option.c_str();
}
