// Firmware image packages: member images, their chain-of-trust certificates
// made by the certificate generator, and both packed by the package packer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "release/config_dir.h"
#include "release/generators.h"
#include "release/image_factory.h"
#include "release/key_set.h"
#include "release/partition_layout.h"
#include "tools/common/tool_invocation.h"

namespace {

// Per member kind: the tools' option for the image, the certificates of its
// chain of trust and its type identifier in the package.
const char* const kFipCertsConfig = R"json({
  // Image types of the public package format, with their standard identifiers.
  "BL2_IMAGE_ID": {
    "option": "--tb-fw",
    "cot": ["--tb-fw-cert"],
    "uuid": "5FF9EC0B-4D22-3E4D-A544-C39D81C73F0A",
    "description": "Trusted Boot Firmware image file"
  },
  "SCP_BL2_IMAGE_ID": {
    "option": "--scp-fw",
    "cot": ["--scp-fw-key-cert", "--scp-fw-cert", "--trusted-key-cert"],
    "uuid": "9766FD3D-89BE-E849-AE5D-78A140608213",
    "description": "SCP Firmware image file"
  },
  "BL31_IMAGE_ID": {
    "option": "--soc-fw",
    "cot": ["--soc-fw-key-cert", "--soc-fw-cert", "--trusted-key-cert"],
    "uuid": "47D4086D-4CFE-9846-9B95-2950CBBD5A00",
    "description": "SoC AP Firmware image file(EL3 Runtime)"
  },
  "BL32_IMAGE_ID": {
    "option": "--tos-fw",
    "cot": ["--tos-fw-key-cert", "--tos-fw-cert", "--trusted-key-cert"],
    "uuid": "05D0E189-53DC-1347-8D2B-500A4B7A3E38",
    "description": "Trusted OS image file(Secure Payload)"
  },
  "BL32_EXTRA1_IMAGE_ID": {
    "option": "--tos-fw-extra1",
    "cot": ["--tos-fw-key-cert", "--tos-fw-cert", "--trusted-key-cert"],
    "uuid": "0B70C29B-2A5A-7840-9F65-0A5682738288",
    "description": "Trusted OS Extra1 image file(Secure Payload Extra1)"
  },
  "BL32_EXTRA2_IMAGE_ID": {
    "option": "--tos-fw-extra2",
    "cot": ["--tos-fw-key-cert", "--tos-fw-cert", "--trusted-key-cert"],
    "uuid": "8EA87BB1-CFA2-3F4D-85FD-E7BBA50220D9",
    "description": "Trusted OS Extra2 image file(Secure Payload Extra2)"
  },
  "BL33_IMAGE_ID": {
    "option": "--nt-fw",
    "cot": ["--nt-fw-key-cert", "--nt-fw-cert", "--trusted-key-cert"],
    "uuid": "D6D0EEA7-FCEA-D54B-9782-9934F234B6E4",
    "description": "Non-Trusted World Bootloader image file"
  },
  "SCP_BL2U_IMAGE_ID": {
    "option": "--scp-fwu-cfg",
    "cot": ["--fwu-cert"],
    "uuid": "65922703-2F74-E644-8DFF-579AC1FF0610",
    "description": "SCP Firmware Update Config image file"
  },
  "BL2U_IMAGE_ID": {
    "option": "--ap-fwu-cfg",
    "cot": ["--fwu-cert"],
    "uuid": "60B3EB37-C1E5-EA41-9DF3-19EDA11F6801",
    "description": "AP Firmware Update Config image file"
  },
  "NS_BL2U_IMAGE_ID": {
    "option": "--fwu",
    "cot": ["--fwu-cert"],
    "uuid": "4F511D11-2BE5-4E49-B4C5-83C2F715840A",
    "description": "Firmware Updater image file"
  },
  // This system's own kinds.
  "CP_IMAGE_ID": {
    "option": "--nt-cp",
    "cot": ["--nt-cp-cert"],
    "uuid": "77C4F476-1B94-417C-B343-B0EA443AACD7",
    "description": "Non-Trusted CP image file"
  },
  "DSP_IMAGE_ID": {
    "option": "--nt-dsp",
    "cot": ["--nt-dsp-cert"],
    "uuid": "8ABD24EB-E069-4ACD-8815-30A950B93A2B",
    "description": "Non-Trusted DSP image file"
  }
})json";

struct ImageArgument {
    std::string option, uuid;
    int fd;
    uint32_t offset;
};

struct CertArgument {
    std::string option;
    UniqueFd fd;  // the certificate's scratch file vanishes when this closes
};

// A partition start as the 32-bit offset the package's table records; false
// (after an error line) for a start at or beyond 4 GiB.
bool start32(const Json::Value& row, uint32_t& out) {
    const Json::Value& start = row["start"];
    if (!start.isNull() && !start.isConvertibleTo(Json::uintValue)) {
        printf("error: start of partition \"%s\" does not fit in 32 bits.\n", row["name"].asString().c_str());
        return false;
    }
    out = start.asUInt();
    return true;
}

// Runs one tool over a vector of texts that it may rewrite in place.
int run_tool(int (*entry)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return entry(static_cast<int>(args.size()), argv.data());
}

void rewind_fd(int fd) { lseek(fd, 0, SEEK_SET); }

}  // namespace

// A member that gets no "offset" here (its partitions are not laid out, or
// a start does not fit) fails the package at generation.
void fip_compute_member_offsets(Json::Value& entry, Json::Value& release, const std::string& id) {
    if (!release_is_list(static_cast<const Json::Value&>(entry)["fip"]["images"], "images")) return;
    Json::Value& members = entry["fip"]["images"];
    for (Json::Value& m : members) m.removeMember("offset");
    Json::Value* list = ptable_flat_list(release, "computing the offsets of a certificate-only package");
    if (!list) return;
    const Json::Value& commands = release["commands"];
    if (!release_is_list(commands, "commands")) return;

    Json::Value starts(Json::objectValue);
    for (const Json::Value& m : members) {
        for (const Json::Value& c : commands) {
            if (c["type"].asString() != "image") continue;
            const std::string name = c["name"].asString();
            if (name != id && name != m["image"].asString()) continue;
            const Json::Value* row = ptable_find_by(*list, "name", c["partition"].asString());
            if (!row) continue;
            uint32_t start = 0;
            if (!start32(*row, start)) return;
            starts[name] = start;
        }
    }
    const uint32_t own = starts[id].asUInt();
    for (Json::Value& m : members) m["offset"] = Json::UInt(starts[m["image"].asString()].asUInt() - own);
}

int image_generate_fip(Json::Value& fip_entry, Json::Value& release, int fd, int depth) {
    const Json::Value& fip = fip_entry;
    const Json::Value& members = fip["images"];
    const bool members_listed = release_is_list(members, "images");
    if (members_listed)
        for (const Json::Value& m : members)
            if (image_open_or_generate(m["image"].asString(), release, depth + 1) != 0) return -1;

    Json::Value table;
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const char* text = kFipCertsConfig;
    if (!reader->parse(text, text + std::char_traits<char>::length(text), &table, &errors) || !table.isObject()) {
        printf("error: reading fip_certs_config string failed.\n");
        return -1;
    }

    const bool cert_only = fip["certOnly"].asBool();
    std::vector<ImageArgument> images;
    std::set<std::string> cert_options;  // byte order, each once
    std::set<std::string> kinds;
    if (members_listed)
        for (const Json::Value& m : members) {
            const std::string id = m["id"].asString();
            const Json::Value& kind = table[id];
            // A package holds one image of a kind: the tools keep the last of
            // two, so the other would be left out of a package that succeeds.
            if (!kinds.insert(id).second) {
                printf("error: fip image holds two members of kind \"%s\".\n", id.c_str());
                return -1;
            }
            const Json::Value* entry = release_find_image(release, m["image"].asString());
            if (entry) {
                ImageArgument a{kind["option"].asString(), kind["uuid"].asString(), (*entry)["fd"].asInt(), 0};
                if (cert_only) {
                    if (m["offset"].isNull() || !m["offset"].isConvertibleTo(Json::uintValue)) return -1;
                    a.offset = m["offset"].asUInt();
                }
                images.push_back(a);
            }
            if (kind["cot"].isArray())
                for (const Json::Value& cert : kind["cot"]) cert_options.insert(cert.asString());
        }

    std::vector<CertArgument> certs;
    for (const auto& option : cert_options) {
        UniqueFd cert(release_open_scratch_fd());
        if (!cert.valid()) {
            printf("error: creating certificate file for %s failed.\n", option.c_str());
            return -1;
        }
        certs.push_back({option, std::move(cert)});
    }

    // The generator reads the key set and makes up only the keys the set does
    // not name; nothing is written back into the configuration directory.
    if (key_set_check_files(release) != 0) return -1;
    const Json::Value& security = release["security"];
    std::vector<std::string> cert_args{"cert_create",
                                       "--key-alg",
                                       security["keyAlg"].asString(),
                                       "--hash-alg",
                                       security["hashAlg"].asString(),
                                       "--tfw-nvctr",
                                       "1",
                                       "--ntfw-nvctr",
                                       "1",
                                       "--new-keys"};
    if (release_is_list(security["keys"], "keys"))
        for (const Json::Value& key : security["keys"]) {
            cert_args.push_back(key["option"].asString());
            cert_args.push_back(key["param"].asString());
        }
    for (const auto& a : images) {
        cert_args.push_back(a.option);
        cert_args.push_back(std::to_string(a.fd));
        rewind_fd(a.fd);
    }
    for (const auto& c : certs) {
        cert_args.push_back(c.option);
        cert_args.push_back(std::to_string(c.fd.get()));
    }
    int rc = run_tool(cert_create_main, cert_args);
    if (rc != 0) return rc;

    std::vector<std::string> pack_args{"fiptool", "create", "--align", "4", "--plat-toc-flags",
                                       fip["callBoot2"].asBool() ? "1" : "0"};
    for (const auto& a : images) {
        pack_args.push_back(a.option);
        pack_args.push_back(std::to_string(a.fd));
        rewind_fd(a.fd);
        if (cert_only) {
            pack_args.push_back("--offset");
            pack_args.push_back("uuid=" + a.uuid + ",offset=" + std::to_string(a.offset));
        }
    }
    for (const auto& c : certs) {
        pack_args.push_back(c.option);
        pack_args.push_back(std::to_string(c.fd.get()));
        rewind_fd(c.fd.get());
    }
    pack_args.push_back(std::to_string(fd));
    return run_tool(fiptool_main, pack_args);
}
