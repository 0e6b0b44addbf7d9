#include "tools/zorbel-pack/ShowJson.h"

#include "package/BlockLayout.h"
#include "tools/common/ToolConventions.h"
#include "tools/zorbel-pack/Sha256.h"

namespace zorbel::pack {

nlohmann::ordered_json showJson(const std::string& program, const PackageDescription& d,
                                const ProfileStoreFacts& store, const RecordFacts& record,
                                const std::vector<std::string>& warnings) {
    using nlohmann::ordered_json;
    ordered_json doc;
    doc["schema"] = "zorbel-pack-show";
    doc["schema_version"] = ShowSchemaVersion;
    doc["tool_version"] = tools::projectVersion();
    doc["package_format"] = tools::PackageFormatVersion;
    doc["program"] = program;
    doc["title"] = utf8FromBytes(d.title);
    doc["supported_drives"] = utf8FromBytes(d.supportedDrives);
    doc["version"] = utf8FromBytes(d.version);
    doc["date"] = utf8FromBytes(d.date);
    doc["credit"] = utf8FromBytes(d.credit);
    doc["unread"] = utf8FromBytes(d.unread);
    doc["spare"] = utf8FromBytes(d.spare);
    ordered_json options = ordered_json::object();
    for (unsigned i = 0; i < block::OptionCount; ++i) {
        std::string_view key = block::OptionSlots[i].key;
        key.remove_suffix(1);  // the "="
        options[std::string(key)] = d.options[i];
    }
    doc["options"] = options;
    doc["bank_untouched"] = d.bankUntouched;

    ordered_json bins = ordered_json::array();
    for (std::size_t j = 0; j < d.bins.size(); ++j) {
        const BinDescription& bin = d.bins[j];
        ordered_json b;
        b["bin"] = j + 1;
        b["start"] = bin.start.value_or(0);
        b["size"] = bin.size.value_or(0);
        b["new_revision"] = utf8FromBytes(bin.newRevision);
        b["any_drive"] = acceptsAnyMake(bin);
        b["image"] = bin.image ? ordered_json(bin.image->generic_string()) : ordered_json(nullptr);
        b["image_sha256"] =
            d.bankUntouched ? ordered_json(nullptr) : ordered_json(sha256Hex(bin.imageBytes));
        ordered_json slots = ordered_json::array();
        for (std::size_t k = 0; k < bin.constraints.size(); ++k) {
            const SlotDescription& slot = bin.constraints[k];
            ordered_json s;
            s["slot"] = k + 1;
            s["untouched"] = slot.untouched;
            s["lowest"] = utf8FromBytes(slot.lowestRevision);
            s["highest"] = utf8FromBytes(slot.highestRevision);
            s["vendor"] = utf8FromBytes(slot.vendor);
            s["product"] = utf8FromBytes(slot.product);
            slots.push_back(s);
        }
        b["constraints"] = slots;
        bins.push_back(b);
    }
    doc["bins"] = bins;

    ordered_json profiles;
    profiles["marks"] = store.marks;
    profiles["sha256"] = store.sha256 ? ordered_json(*store.sha256) : ordered_json(nullptr);
    profiles["stand_in_profiles"] = store.standInGroups;
    doc["profile_store"] = profiles;

    // "state": "none" (no record in the program), "unfilled", "holds",
    // "does_not_hold"; the recorded digests by part when filled.
    ordered_json digests;
    const bool filled = record.check && record.check->outcome != DigestCheck::Outcome::NoRecord &&
                        !record.check->recordDamaged;
    digests["state"] = !record.check                                             ? "none"
                       : record.check->outcome == DigestCheck::Outcome::NoRecord ? "unfilled"
                       : record.check->outcome == DigestCheck::Outcome::Holds    ? "holds"
                                                                                 : "does_not_hold";
    ordered_json parts = ordered_json::object();
    ordered_json changed = ordered_json::array();
    static constexpr const char* Keys[DigestPartCount] = {"texts", "constraints", "options", "bank",
                                                          "profile_store"};
    for (unsigned i = 0; i < DigestPartCount; ++i) {
        parts[Keys[i]] =
            filled ? ordered_json(digestHex(record.recorded[i])) : ordered_json(nullptr);
    }
    if (record.check) {
        for (const DigestPart part : record.check->mismatched) {
            changed.push_back(Keys[static_cast<unsigned>(part)]);
        }
    }
    digests["sha256"] = parts;
    digests["changed"] = changed;
    digests["record_damaged"] = record.check && record.check->recordDamaged;
    doc["digests"] = digests;
    doc["warnings"] = warnings;
    return doc;
}

}  // namespace zorbel::pack
