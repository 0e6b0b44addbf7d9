// Scenario files: the examples load into the computers they describe; bad
// files are refused with file, line and key named.
#include "sim/Scenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace zorbel::sim {
namespace {

const std::filesystem::path ScenarioDir = ZORBEL_SCENARIO_DIR;

TEST(Scenario, EveryExampleLoadsAndBuildsAComputer) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(ScenarioDir)) {
        if (entry.path().extension() != ".toml") {
            continue;
        }
        SCOPED_TRACE(entry.path().string());
        ++count;
        ComputerSpec spec;
        ASSERT_NO_THROW(spec = loadScenario(entry.path()));
        EXPECT_NO_THROW(SimHost{spec});
        // Every drive the file describes can be reached: no two letters at one address.
        EXPECT_EQ(spec.warnings, std::vector<std::string>{});
    }
    EXPECT_GE(count, 4);
}

// One address is one drive to the program: letters and ASPI devices without
// an address of their own get one; two given one address are named.
TEST(Scenario, EveryLetterAndDeviceHasAnAddressOfItsOwnUnlessGivenOne) {
    const std::string drives = "[[drives]]\nid = \"a\"\n[[drives]]\nid = \"b\"\n";
    const ComputerSpec two = parseScenario(
        drives +
            "[[letters]]\nletter = \"C\"\ntype = \"fixed\"\n"
            "[[letters]]\nletter = \"E\"\ndrive = \"a\"\n"
            "[[letters]]\nletter = \"F\"\ndrive = \"b\"\n"
            "[[letters]]\nletter = \"G\"\ndrive = \"b\"\naddress = { port = 1, target = 1 }\n",
        "two.toml");
    const auto at = [&](std::size_t i) {
        const ScsiAddress& a = two.letters[i].address;
        return std::to_string(a.portNumber) + "-" + std::to_string(a.pathId) + "-" +
               std::to_string(a.targetId) + "-" + std::to_string(a.lun);
    };
    EXPECT_EQ(at(1), "1-0-0-0");
    EXPECT_EQ(at(2), "1-0-2-0");  // 1-0-1-0 is G's
    EXPECT_EQ(two.warnings, std::vector<std::string>{});

    const ComputerSpec shared =
        parseScenario(drives +
                          "[[letters]]\nletter = \"E\"\ndrive = \"a\"\naddress = { target = 3 }\n"
                          "[[letters]]\nletter = \"F\"\ndrive = \"b\"\naddress = { target = 3 }\n",
                      "shared.toml");
    ASSERT_EQ(shared.warnings.size(), 1u);
    EXPECT_EQ(
        shared.warnings[0].rfind("shared.toml: letters E: and F: share the address 0-0-3-0", 0), 0u)
        << shared.warnings[0];

    const ComputerSpec aspi =
        parseScenario(drives +
                          "[[aspi.adapters]]\n[[aspi.adapters.devices]]\ndrive = \"a\"\n"
                          "[[aspi.adapters.devices]]\ntarget = 0\ntype = 0\n"
                          "[[aspi.adapters.devices]]\ndrive = \"b\"\n",
                      "aspi.toml");
    const auto& devices = aspi.aspi.adapters.at(0).devices;
    EXPECT_EQ(devices.at(0).target, 1);
    EXPECT_EQ(devices.at(1).target, 0);
    EXPECT_EQ(devices.at(2).target, 2);
}

TEST(Scenario, FieldsReachTheComputer) {
    const ComputerSpec spec = loadScenario(ScenarioDir / "nt-aspi-fallback.toml");
    EXPECT_EQ(spec.platform, Platform::Nt);
    EXPECT_TRUE(spec.aspi.libraryPresent);
    ASSERT_EQ(spec.aspi.adapters.size(), 1u);
    EXPECT_EQ(spec.aspi.adapters[0].identifier, "ATAPI CHANNEL 1");
    ASSERT_EQ(spec.aspi.adapters[0].devices.size(), 2u);
    EXPECT_EQ(spec.aspi.adapters[0].devices[0].type, 0);
    EXPECT_EQ(spec.aspi.adapters[0].devices[1].drive, "first");
    ASSERT_EQ(spec.drives.size(), 2u);
    EXPECT_EQ(spec.drives[0].identity.product, padded<16>("DVD-RW DX-4410S"));
    EXPECT_EQ(spec.drives[0].newRevision, padded<4>("1.10"));
    EXPECT_EQ(spec.drives[1].chip, (ChipId{0xDA, 0xC8, 0x00, 0x00}));
    EXPECT_EQ(spec.drives[1].becomingReadyPolls, 4);
    ASSERT_EQ(spec.letters.size(), 3u);
    EXPECT_EQ(spec.letters[0].type, DriveType::Fixed);
    EXPECT_EQ(spec.letters[1].root, "D:\\");
    EXPECT_EQ(spec.letters[1].address.targetId, 1);
    EXPECT_EQ(spec.letters[2].addressQuery, AddressQuery::Fails);

    const ComputerSpec faults = loadScenario(ScenarioDir / "faults.toml");
    const auto& rules = faults.drives[0].faults;
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].kind, FaultKind::ReadCorruption);
    EXPECT_EQ(rules[0].opcode, 0x3C);
    EXPECT_EQ(rules[0].nth, 10u);
    EXPECT_EQ(rules[1].bufferCode, 0x00);
    EXPECT_DOUBLE_EQ(rules[1].probability, 0.01);
    EXPECT_EQ(rules[1].seed, 2026u);
    EXPECT_EQ(rules[2].sense, (Sense{0x02, 0x04, 0x01}));

    const ComputerSpec defaults = loadScenario(ScenarioDir / "default.toml");
    EXPECT_EQ(defaults.drives[0].latency.perCommand, std::chrono::microseconds(500));
    EXPECT_EQ(defaults.drives[0].latency.perByte, std::chrono::nanoseconds(40));
    EXPECT_EQ(defaults.drives[0].latency.commit, std::chrono::seconds(8));
    EXPECT_EQ(defaults.power.source, zorbel::PowerSource::External);
    EXPECT_FALSE(defaults.power.batteryPresent);

    const ComputerSpec notebook = loadScenario(ScenarioDir / "trays.toml");
    EXPECT_TRUE(notebook.power.batteryPresent);
    EXPECT_EQ(notebook.power.batteryPercent, 64);
    EXPECT_FALSE(notebook.power.lostAfterCommands);
}

TEST(Scenario, IdentityFieldsTakeTextsOrRawBytes) {
    const ComputerSpec spec = parseScenario(R"(
[[drives]]
id = "d"
vendor = [0x41, 0, 0x20]
product = ""
revision = [0x31, 0x2E]
vendor_specific = "x"
)",
                                            "inline.toml");
    const Identity& id = spec.drives[0].identity;
    EXPECT_EQ(id.vendor, (std::array<std::uint8_t, 8>{0x41, 0, 0x20, 0, 0, 0, 0, 0}));
    EXPECT_EQ(id.product, padded<16>(""));
    EXPECT_EQ(id.revision, (std::array<std::uint8_t, 4>{0x31, 0x2E, 0, 0}));
    EXPECT_EQ(id.vendorSpecific, padded<16>("x"));
}

TEST(Scenario, ImageFilesAreReadRelativeToTheScenario) {
    const auto dir = std::filesystem::temp_directory_path() / "zorbel-sim-scenario-test";
    std::filesystem::create_directories(dir);
    {
        std::ofstream image(dir / "image.bin", std::ios::binary);
        image << std::string(32768, 'x');
        std::ofstream scenario(dir / "s.toml");
        scenario << "[[drives]]\nid = \"d\"\nimage_file = \"image.bin\"\n";
    }
    const ComputerSpec spec = loadScenario(dir / "s.toml");
    EXPECT_EQ(spec.drives[0].imageSize, 32768u);
    EXPECT_EQ(spec.drives[0].expectedImage.size(), 32768u);
    std::filesystem::remove_all(dir);
}

TEST(Scenario, BadFilesAreRefusedWithFileLineAndKey) {
    struct Bad {
        const char* text;
        std::uint32_t line;
        const char* key;
        const char* says;
    };
    const Bad cases[] = {
        {"platform = \"xp\"\n", 1, "platform", "expected one of \"nt\", \"9x\""},
        {"\n\nplatfrom = \"nt\"\n", 3, "platfrom", "unknown key"},
        {"clock = 3\n", 1, "clock", "expected a string"},
        {"[power]\nsource = \"battery\"\nbattery = false\n", 3, "power.battery",
         "has a battery"},
        {"[[drives]]\nid = \"a\"\nchip = \"BF D6 00\"\n", 3, "drives[0].chip", "expected 4 bytes"},
        {"[[drives]]\nid = \"a\"\nchip = \"BF ZZ 00 01\"\n", 3, "drives[0].chip",
         "not a hexadecimal byte"},
        {"[[drives]]\nid = \"a\"\nvendor = \"NINE CHARS\"\n", 3, "drives[0].vendor",
         "longer than 8"},
        {"[[drives]]\nid = \"a\"\n[[drives]]\nid = \"a\"\n", 4, "drives[1].id", "used twice"},
        {"[[drives]]\nvendor = \"X\"\n", 1, "drives[0].id", "needs an id"},
        {"[[drives]]\nid = \"a\"\nimage_size = 0\n", 3, "drives[0].image_size", "from 1 to"},
        {"[[drives]]\nid = \"a\"\nmedium = \"yes\"\n", 3, "drives[0].medium", "true or false"},
        {"[[drives]]\nid = \"a\"\n[drives.latency]\ncommand_ms = -1\n", 4,
         "drives[0].latency.command_ms", "expected a number from 0"},
        {"[[drives]]\nid = \"a\"\n[drives.latency]\ncommand_s = 1\n", 4,
         "drives[0].latency.command_s", "unknown key"},
        {"[[drives]]\nid = \"a\"\n[[drives.faults]]\nkind = \"gremlin\"\n", 4,
         "drives[0].faults[0].kind", "expected one of"},
        {"[[drives]]\nid = \"a\"\n[[drives.faults]]\nnth = 2\n", 3, "drives[0].faults[0].kind",
         "needs a kind"},
        {"[[drives]]\nid = \"a\"\n[[drives.faults]]\nkind = \"sense\"\n", 3,
         "drives[0].faults[0].sense", "needs its sense"},
        {"[[drives]]\nid = \"a\"\n[[drives.faults]]\nkind = \"sense\"\nsense = \"5/24\"\n", 5,
         "drives[0].faults[0].sense", "KK/AA/QQ"},
        {"[[drives]]\nid = \"a\"\n[[drives.faults]]\nkind = \"transport\"\nprobability = 1.5\n", 5,
         "drives[0].faults[0].probability", "from 0 to 1"},
        {"[[drives]]\nid = \"a\"\n[[drives.faults]]\nkind = \"transport\"\nopcode = 256\n", 5,
         "drives[0].faults[0].opcode", "from 0 to 255"},
        {"[[drives]]\nid = \"a\"\nimage_file = \"no-such-image.bin\"\n", 3, "drives[0].image_file",
         "cannot read"},
        {"[[letters]]\nletter = \"E\"\ndrive = \"ghost\"\n", 3, "letters[0].drive",
         "no drive has the id \"ghost\""},
        {"[[letters]]\nletter = \"EF\"\n", 2, "letters[0].letter", "one drive letter"},
        {"[[letters]]\nroot = \"E:\"\n", 2, "letters[0].root", "colon and backslash"},
        {"[[letters]]\nletter = \"E\"\n[[letters]]\nletter = \"e\"\n", 4, "letters[1].letter",
         "listed twice"},
        {"[[letters]]\nletter = \"E\"\ntype = \"floppy\"\n", 3, "letters[0].type",
         "expected one of"},
        {"[[letters]]\nletter = \"E\"\naddress = \"maybe\"\n", 3, "letters[0].address",
         "expected one of"},
        {"[[letters]]\nletter = \"E\"\naddress = { port = 1, bus = 2 }\n", 3,
         "letters[0].address.bus", "unknown key"},
        {"[aspi]\nstatus = 300\n", 2, "aspi.status", "from 0 to 255"},
        {"[aspi]\ncompletion = \"later\"\n", 2, "aspi.completion", "expected one of"},
        {"[aspi]\n[[aspi.adapters]]\n[[aspi.adapters.devices]]\ntarget = 1\ndrive = \"x\"\n", 5,
         "aspi.adapters[0].devices[0].drive", "no drive has the id"},
        {"[aspi]\n[[aspi.adapters]]\n[[aspi.adapters.devices]]\ntarget = 1\n"
         "[[aspi.adapters.devices]]\ntarget = 1\n",
         6, "aspi.adapters[0].devices[1].target", "two devices"},
        {"aspi = 1\n", 1, "aspi", "expected a table"},
        {"drives = 1\n", 1, "drives", "array of tables"},
        {"platform = \"nt\n", 1, "", ""},  // not TOML at all
    };
    for (const Bad& bad : cases) {
        SCOPED_TRACE(bad.text);
        try {
            parseScenario(bad.text, "bad.toml");
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& e) {
            const std::string what = e.what();
            EXPECT_EQ(e.file(), "bad.toml");
            EXPECT_EQ(e.line(), bad.line) << what;
            EXPECT_EQ(e.key(), bad.key) << what;
            EXPECT_EQ(what.rfind("bad.toml:" + std::to_string(bad.line) + ": ", 0), 0u) << what;
            if (*bad.key != '\0') {
                EXPECT_NE(what.find(std::string(bad.key) + ": "), std::string::npos) << what;
            }
            EXPECT_NE(what.find(bad.says), std::string::npos) << what;
        }
    }
}

TEST(Scenario, AMissingFileIsRefusedByName) {
    try {
        loadScenario(ScenarioDir / "no-such-scenario.toml");
        ADD_FAILURE() << "accepted";
    } catch (const ScenarioError& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-scenario.toml"), std::string::npos);
    }
}

}  // namespace
}  // namespace zorbel::sim
