#include "tools/zorbel-probe/ReportJson.h"

#include <cstdio>

#include "device/ExternalPower.h"
#include "engine/ChipTable.h"
#include "tools/common/ToolConventions.h"

namespace zorbel::probe {

namespace {

using nlohmann::ordered_json;

std::string hexDigits(std::span<const std::uint8_t> bytes) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string text;
    for (const std::uint8_t b : bytes) {
        text.push_back(Hex[b >> 4]);
        text.push_back(Hex[b & 0xF]);
    }
    return text;
}

// Every byte as the character of the same number (U+0000 to U+00FF), so that
// the text is valid UTF-8 and still says exactly what the drive sent.
std::string latin1Text(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (const std::uint8_t b : bytes) {
        if (b < 0x80) {
            text.push_back(static_cast<char>(b));
        } else {
            text.push_back(static_cast<char>(0xC0 | (b >> 6)));
            text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return text;
}

ordered_json field(std::span<const std::uint8_t> bytes) {
    return {{"text", latin1Text(bytes)}, {"hex", hexDigits(bytes)}};
}

ordered_json sense(const std::optional<Sense>& s) {
    if (!s) {
        return nullptr;
    }
    char text[16];
    std::snprintf(text, sizeof text, "%02X/%02X/%02X", s->key, s->asc, s->ascq);
    return text;
}

ordered_json textOrNull(const std::string& text) {
    return text.empty() ? ordered_json(nullptr) : ordered_json(text);
}

ordered_json flash(const DriveReport& d) {
    if (!d.flashAsked) {
        return nullptr;
    }
    ordered_json f;
    f["answered"] = d.flashAnswered;
    f["id"] = d.flashAnswered ? ordered_json(hexDigits(d.chip)) : ordered_json(nullptr);
    f["refusal_sense"] = sense(d.flashRefusal);
    const int row = chipRow(d);
    const bool found = row != NoChipEntry;
    const auto r = static_cast<std::size_t>(found ? row : 0);
    f["table_row"] = found ? ordered_json(row) : ordered_json(nullptr);
    f["chip"] = found ? ordered_json(std::string(ChipNames[r])) : ordered_json(nullptr);
    f["profile"] = found ? ordered_json(ProfileGroupTable[r]) : ordered_json(nullptr);
    f["profile_length"] = found ? ordered_json(ProfileLength(row)) : ordered_json(nullptr);
    return f;
}

ordered_json drive(const DriveReport& d) {
    ordered_json j;
    j["node"] = d.node;
    j["generic_node"] = textOrNull(d.genericNode);
    j["address"] = d.hasAddress ? ordered_json{{"host", d.host},
                                               {"channel", d.channel},
                                               {"target", d.target},
                                               {"lun", d.lun}}
                                : ordered_json(nullptr);
    j["opened"] = d.opened;
    j["identified"] = d.identified;
    j["list_line"] = d.identified ? ordered_json(listLine(d, d.node)) : ordered_json(nullptr);
    j["vendor"] = d.identified ? field(d.vendor) : ordered_json(nullptr);
    j["product"] = d.identified ? field(d.product) : ordered_json(nullptr);
    j["revision"] = d.identified ? field(d.revision) : ordered_json(nullptr);
    j["vendor_specific"] = d.identified ? field(d.vendorSpecific) : ordered_json(nullptr);
    static constexpr const char* Discs[] = {"unknown", "present", "absent"};
    static constexpr const char* Trays[] = {"unknown", "closed", "open"};
    j["disc"] = d.opened ? ordered_json(Discs[static_cast<int>(d.disc)]) : ordered_json(nullptr);
    j["tray"] = d.opened ? ordered_json(Trays[static_cast<int>(d.tray)]) : ordered_json(nullptr);
    j["unit_ready"] =
        d.opened ? ordered_json{{"answered", d.unitReadyAnswered}, {"sense", sense(d.unitReady)}}
                 : ordered_json(nullptr);
    j["event_status_answered"] = d.opened ? ordered_json(d.eventStatus) : ordered_json(nullptr);
    ordered_json access;
    access["generic"] = d.genericAccessNode.empty()
                            ? ordered_json(nullptr)
                            : ordered_json{{"node", d.genericAccessNode},
                                           {"opens", d.genericAccessError.empty()},
                                           {"error", textOrNull(d.genericAccessError)}};
    access["block"] = {{"node", d.blockAccessNode},
                       {"opens", d.blockAccessError.empty()},
                       {"error", textOrNull(d.blockAccessError)},
                       {"raw_io", d.rawIo}};
    access["update_node"] = textOrNull(d.updateNode);
    access["group"] = textOrNull(d.group);
    access["lines"] = d.access;
    j["access"] = access;
    j["flash"] = flash(d);
    return j;
}

}  // namespace

ordered_json reportJson(const std::vector<DriveReport>& drives, bool flashIdAsked,
                        const PowerState& power) {
    ordered_json doc;
    doc["schema"] = "zorbel-probe";
    doc["schema_version"] = ProbeSchemaVersion;
    doc["tool_version"] = tools::projectVersion();
    doc["flash_id_asked"] = flashIdAsked;
    doc["power"] = {
        {"source", power.source == PowerSource::External  ? "external"
                   : power.source == PowerSource::Battery ? "battery"
                                                          : "unknown"},
        {"battery", power.batteryPresent},
        {"battery_percent",
         power.batteryPercent >= 0 ? ordered_json(power.batteryPercent) : ordered_json(nullptr)},
        {"update_allowed", ExternalPower::allowsUpdate(power)}};
    ordered_json list = ordered_json::array();
    for (const DriveReport& d : drives) {
        list.push_back(drive(d));
    }
    doc["drives"] = list;
    return doc;
}

}  // namespace zorbel::probe
