// zorbel-probe's report of a drive: identity made visible, the chip table
// lookup, and a scenario that the simulated computer reads back byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "sim/Scenario.h"
#include "sim/SimHost.h"
#include "tools/zorbel-probe/Probe.h"
#include "tools/zorbel-probe/Report.h"
#include "tools/zorbel-probe/ReportJson.h"

namespace zorbel::probe {
namespace {

template <std::size_t N>
std::array<std::uint8_t, N> bytes(std::string_view text) {
    std::array<std::uint8_t, N> field{};
    std::copy(text.begin(), text.end(), field.begin());
    return field;
}

DriveReport drive(std::string_view vendor, std::string_view product) {
    DriveReport d;
    d.node = "sr1";
    d.hasAddress = true;
    d.host = 2;
    d.channel = 1;
    d.target = 3;
    d.lun = 0;
    d.opened = d.identified = true;
    d.vendor = bytes<8>(vendor);
    d.product = bytes<16>(product);
    d.revision = bytes<4>("1B05");
    d.vendorSpecific = bytes<16>("05/11/2026      ");
    d.disc = Disc::Absent;
    d.tray = Tray::Open;
    d.eventStatus = true;
    return d;
}

TEST(ProbeReport, IdentityIsShownWithItsBlanksAndOddBytes) {
    EXPECT_EQ(visibleBytes(bytes<8>("QEMU    ")), "\"QEMU    \" (51 45 4D 55 20 20 20 20)");
    EXPECT_EQ(visibleBytes(bytes<4>(std::string_view("A\"\0\\", 4))),
              "\"A\\x22\\x00\\x5C\" (41 22 00 5C)");
    const DriveReport d = drive("MERIDOX ", "DVR-RW 1616 SUPR");
    EXPECT_EQ(listLine(d, "sr1"), " 2-1-3-0 sr1 MERIDOX DVR-RW 1616 SUPR 1B05");
    // A NUL in the vendor ends the name, as in the program's list.
    EXPECT_EQ(listLine(drive(std::string_view("AB\0\0\0\0\0\0", 8), "X"), "D:"),
              " 2-1-3-0 D:                      AB 1B05");
}

TEST(ProbeReport, ChipIsLookedUpInTheTable) {
    DriveReport d = drive("MERIDOX ", "DVR-RW 1616 SUPR");
    EXPECT_NE(chipText(d).find("not asked"), std::string::npos);
    d.flashAsked = true;
    EXPECT_EQ(chipText(d), "not answered");
    d.flashAnswered = true;
    d.chip = {0xBF, 0xD6, 0x00, 0x02};
    EXPECT_EQ(chipText(d),
              "BF D6 00 02: table row 8 (SST39VF020, platform 02), profile 6 of 694 bytes");
    d.chip = {0xBF, 0xD6, 0x00, 0x09};
    EXPECT_EQ(chipText(d), "BF D6 00 09: not in the table (no flash profile would be sent)");
}

TEST(ProbeReport, ScenarioReplicatesEveryDriveExactly) {
    DriveReport plain = drive("MERIDOX ", "DVR-RW 1616 SUPR");
    plain.flashAsked = plain.flashAnswered = true;
    plain.chip = {0xDA, 0xC8, 0x00, 0x00};
    DriveReport odd = drive(std::string_view("AB\"\0\0\0\0\0", 8), "QEMU DVD-ROM    ");
    odd.node = "sr0";
    odd.hasAddress = false;
    odd.disc = Disc::Present;
    odd.tray = Tray::Closed;
    odd.eventStatus = false;

    const sim::ComputerSpec spec = sim::parseScenario(scenarioText({plain, odd}), "replica.toml");
    ASSERT_EQ(spec.drives.size(), 2u);
    EXPECT_EQ(spec.drives[0].identity.vendor, plain.vendor);
    EXPECT_EQ(spec.drives[0].identity.product, plain.product);
    EXPECT_EQ(spec.drives[0].identity.vendorSpecific, plain.vendorSpecific);
    EXPECT_EQ(spec.drives[0].chip, plain.chip);
    EXPECT_FALSE(spec.drives[0].medium);
    EXPECT_TRUE(spec.drives[0].trayOpen);
    EXPECT_EQ(spec.drives[1].identity.vendor, odd.vendor);
    EXPECT_FALSE(spec.drives[1].flashIdSupported);
    EXPECT_TRUE(spec.drives[1].medium);
    EXPECT_FALSE(spec.drives[1].eventStatusSupported);

    ASSERT_EQ(spec.letters.size(), 2u);
    EXPECT_EQ(spec.letters[0].root, "D:\\");
    EXPECT_EQ(spec.letters[0].drive, "sr1");
    EXPECT_EQ(spec.letters[0].address.portNumber, 2);
    EXPECT_EQ(spec.letters[0].address.pathId, 1);
    EXPECT_EQ(spec.letters[0].address.targetId, 3);
    EXPECT_EQ(spec.letters[1].addressQuery, sim::AddressQuery::Fails);

    // No drive found: a replica with one drive to fill in, that loads as it is.
    const sim::ComputerSpec none = sim::parseScenario(scenarioText({}), "none.toml");
    ASSERT_EQ(none.drives.size(), 1u);
    ASSERT_EQ(none.letters.size(), 1u);
    EXPECT_EQ(none.letters[0].drive, none.drives[0].id);
}

// A drive that hangs costs one discovery time-out, whichever command hangs;
// nothing is sent to it after that, and the drives beside it are probed whole.
TEST(Probe, HungDriveCostsOneTimeOutAndNothingMore) {
    sim::ComputerSpec computer;
    sim::FaultRule hang;
    hang.kind = sim::FaultKind::Timeout;
    computer.addDrive("mute").faults.push_back(hang);
    hang.opcode = 0x12;  // answers until it is asked who it is
    computer.addDrive("inquiry").faults.push_back(hang);
    computer.addDrive("plain").identity = sim::Identity::fromText("QEMU", "QEMU DVD-ROM", "2.5+");
    computer.addLetter('D', "mute");
    computer.addLetter('E', "inquiry").address.targetId = 1;
    computer.addLetter('F', "plain").address.targetId = 2;
    sim::InstalledComputer installed(computer);

    std::vector<DriveReport> reports(3);
    {
        AtapiDevice device(false);
        device.ListDrives();
        ASSERT_EQ(device.DriveCount(), 3u);
        for (std::int16_t i = 0; i < 3; ++i) {
            probeDrive(device, i, true, reports[static_cast<std::size_t>(i)]);
        }
    }
    for (const char* id : {"mute", "inquiry"}) {
        SCOPED_TRACE(id);
        const auto commands = installed->findDrive(id)->commands();
        ASSERT_FALSE(commands.empty());
        std::chrono::nanoseconds waited{0};
        for (const sim::CommandRecord& command : commands) {
            waited += command.duration;
        }
        EXPECT_LE(waited, std::chrono::seconds(DiscoveryCommandTimeout + 1));
        EXPECT_EQ(commands.back().outcome, sim::Outcome::Timeout);  // nothing after it
    }
    EXPECT_FALSE(reports[0].identified);
    EXPECT_FALSE(reports[1].identified);
    EXPECT_TRUE(reports[2].identified);
    EXPECT_EQ(reports[2].revision, bytes<4>("2.5+"));
    EXPECT_TRUE(reports[2].flashAnswered);
}

// The bytes a JSON identity field stands for, from its hex, after checking
// that its text says the same bytes (one character per byte).
std::vector<std::uint8_t> fieldBytes(const nlohmann::json& field) {
    const std::string hex = field.at("hex");
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    std::vector<std::uint8_t> fromText;
    const std::string text = field.at("text");
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        fromText.push_back(
            c < 0x80 ? c
                     : static_cast<std::uint8_t>(((c & 0x1F) << 6) |
                                                 (static_cast<unsigned char>(text[++i]) & 0x3F)));
    }
    EXPECT_EQ(fromText, bytes) << field.dump();
    return bytes;
}

// Every field of the JSON document, read back through the library, against
// the text the probe prints for the same drives.
TEST(ProbeReport, JsonSaysFieldByFieldWhatTheTextSays) {
    DriveReport plain = drive("MERIDOX ", "DVR-RW 1616 SUPR");
    plain.flashAsked = plain.flashAnswered = true;
    plain.chip = {0xBF, 0xD6, 0x00, 0x02};
    plain.genericNode = "sg1";
    plain.access = {"/dev/sg1: opens for reading and writing: an update can go through it",
                    "/dev/sr1: opens, but passes firmware commands only with CAP_SYS_RAWIO (root)"};
    plain.genericAccessNode = "/dev/sg1";
    plain.blockAccessNode = "/dev/sr1";
    plain.updateNode = "/dev/sg1";
    DriveReport odd = drive(std::string_view("AB\"\0\xE9\0\0\0", 8), "QEMU DVD-ROM    ");
    odd.node = "sr0";
    odd.hasAddress = false;
    odd.disc = Disc::Present;
    odd.tray = Tray::Closed;
    odd.unitReadyAnswered = true;
    odd.flashAsked = true;
    odd.flashRefusal = Sense{0x05, 0x20, 0x00};
    odd.blockAccessNode = "/dev/sr0";
    odd.blockAccessError = "Permission denied";
    odd.group = "cdrom";
    DriveReport closed;
    closed.node = "sr2";
    closed.flashAsked = true;
    const std::vector<DriveReport> reports = {plain, odd, closed};

    const auto doc = nlohmann::json::parse(
        reportJson(reports, true, PowerState{PowerSource::Battery, true, 12}).dump());
    EXPECT_EQ(doc.at("power"), nlohmann::json::parse(R"({"source": "battery", "battery": true,
        "battery_percent": 12, "update_allowed": false})"));
    EXPECT_EQ(doc.at("schema"), "zorbel-probe");
    EXPECT_EQ(doc.at("schema_version"), 1);
    EXPECT_TRUE(doc.at("flash_id_asked").get<bool>());
    ASSERT_EQ(doc.at("drives").size(), reports.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const auto& j = doc.at("drives")[i];
        const std::string text = describe(reports[i]);
        SCOPED_TRACE(text);
        const std::string node = j.at("node");
        EXPECT_EQ(text.rfind(node + "  ", 0), 0u);
        const auto& a = j.at("address");
        EXPECT_NE(text.find(a.is_null() ? std::string("no SCSI address")
                                        : "address " + std::to_string(a.at("host").get<int>()) +
                                              ":" + std::to_string(a.at("channel").get<int>()) +
                                              ":" + std::to_string(a.at("target").get<int>()) +
                                              ":" + std::to_string(a.at("lun").get<int>())),
                  std::string::npos);
        EXPECT_NE(text.find("generic node " + (j.at("generic_node").is_null()
                                                   ? std::string("none")
                                                   : j.at("generic_node").get<std::string>())),
                  std::string::npos);
        if (j.at("identified").get<bool>()) {
            EXPECT_NE(text.find("list line  \"" + j.at("list_line").get<std::string>() + "\""),
                      std::string::npos);
            for (const char* name : {"vendor", "product", "revision"}) {
                const std::string label =
                    std::string(name) + std::string(11 - std::strlen(name), ' ');
                EXPECT_NE(text.find("  " + label + visibleBytes(fieldBytes(j.at(name)))),
                          std::string::npos)
                    << name;
            }
            EXPECT_EQ(fieldBytes(j.at("vendor_specific")),
                      std::vector<std::uint8_t>(reports[i].vendorSpecific.begin(),
                                                reports[i].vendorSpecific.end()));
        } else {
            EXPECT_TRUE(j.at("vendor").is_null());
            EXPECT_NE(text.find("identity   not read"), std::string::npos);
        }
        if (j.at("opened").get<bool>()) {
            const std::string disc = j.at("disc");
            const std::string tray = j.at("tray");
            const std::string discText = disc == "present"  ? "a disc is in"
                                         : disc == "absent" ? "no disc"
                                                            : "disc unknown";
            EXPECT_NE(text.find("disc       " + discText + ", tray " + tray), std::string::npos);
            const auto& flash = j.at("flash");
            if (!flash.at("table_row").is_null()) {
                EXPECT_NE(
                    text.find("table row " + std::to_string(flash.at("table_row").get<int>()) +
                              " (" + flash.at("chip").get<std::string>() + ", platform"),
                    std::string::npos);
                EXPECT_NE(
                    text.find("profile " + std::to_string(flash.at("profile").get<int>()) + " of " +
                              std::to_string(flash.at("profile_length").get<int>()) + " bytes"),
                    std::string::npos);
                EXPECT_NE(text.find(flash.at("id").get<std::string>().substr(0, 2) + " "),
                          std::string::npos);
            } else if (!flash.at("refusal_sense").is_null()) {
                EXPECT_NE(text.find("not answered (sense " +
                                    flash.at("refusal_sense").get<std::string>() + ")"),
                          std::string::npos);
            }
        } else {
            EXPECT_TRUE(j.at("disc").is_null());
            EXPECT_EQ(text.find("flash chip"), std::string::npos);
        }
        const auto& access = j.at("access");
        for (const auto& line : access.at("lines")) {
            EXPECT_NE(text.find(line.get<std::string>()), std::string::npos);
        }
        EXPECT_EQ(access.at("block").at("opens").get<bool>(), reports[i].blockAccessError.empty());
    }
    // What the text does not show but a script needs.
    EXPECT_EQ(doc["drives"][0]["access"]["update_node"], "/dev/sg1");
    EXPECT_TRUE(doc["drives"][1]["access"]["update_node"].is_null());
    EXPECT_EQ(doc["drives"][1]["access"]["block"]["error"], "Permission denied");
    EXPECT_EQ(doc["drives"][1]["vendor"]["hex"], "41422200E9000000");
    EXPECT_EQ(doc["drives"][1]["access"]["group"], "cdrom");
}

}  // namespace
}  // namespace zorbel::probe
