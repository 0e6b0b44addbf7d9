// zorbel-pack end to end: a packed program reads back what it was given
// through its own accessors; show and fill reproduce the same bytes; every
// refusal leaves the target as it was.
#include <gtest/gtest.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/StandInProfiles.h"
#include "package/DigestRecord.h"
#include "package/PackageBlock.h"
#include "tests/package/BlockBytes.h"
#include "tests/package/RunCommand.h"

namespace zorbel {
namespace {

namespace fs = std::filesystem;

const std::string Tool = ZORBEL_PACK_TOOL;
const std::string Probe = ZORBEL_PACKAGE_PROBE;

std::vector<std::uint8_t> readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes(fs::file_size(path));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void writeAll(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// An image whose every 16 KiB block differs from the others and from other images.
std::vector<std::uint8_t> image(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 16384) & 0xFF);
    }
    return bytes;
}

std::string fingerprint(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001b3ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::map<std::string, std::string> probeLines(const std::string& output) {
    std::map<std::string, std::string> lines;
    std::size_t pos = 0;
    while (pos < output.size()) {
        const std::size_t end = output.find('\n', pos);
        const std::string line = output.substr(pos, end - pos);
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            lines[line.substr(0, eq)] = line.substr(eq + 1);
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return lines;
}

const char* const Description = R"(# a two-bin package
title = "Flash Program for MERIDOX DVR-RW 1616"
supported_drives = "MERIDOX DVR-RW 1616"
version = "v2.0.0"
date = "2026/12/08"

[options]
N2OMESSAGE = 1
CHKDISC = 2
BOOTCODE = 1
REBOOT = 0
AUTOMODE = 3
CLOSEAP = 1
WARNING = 1
NBWARNING = 0
HOW_MANY_BIN = 2

[[bin]]
image = "one.bin"
new_revision = "1B10"

[[bin.constraint]]
lowest = "1B05"
highest = "1B09"
vendor = "MERIDOX "
product = "DVR-RW 1616 SUPR"

[[bin.constraint]]
untouched = true

[[bin.constraint]]
lowest = "1B02"
highest = "1B02"
vendor = "MERIDOX "
product = "DVR-RW 1616 SUPR"

[[bin]]
image = "two.bin"
start = 65536
new_revision = "2C01"
any_drive = true
)";

class Pack : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zorbel-pack-test-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::copy_file(Probe, dir_ / "probe");
        one_ = image(32768, 1);
        two_ = image(16384, 2);
        writeAll(dir_ / "one.bin", one_);
        writeAll(dir_ / "two.bin", two_);
        writeText(dir_ / "package.toml", Description);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the tool; output gets standard output and error together.
    int pack(const std::string& arguments, std::string& output) {
        return testing::runCommand(Tool + " " + arguments + " 2>&1", output);
    }
    int pack(const std::string& arguments) {
        std::string output;
        const int status = pack(arguments, output);
        EXPECT_EQ(status, 0) << output;
        return status;
    }
    std::map<std::string, std::string> run(const fs::path& program) {
        std::string output;
        EXPECT_EQ(testing::runCommand(program.string(), output), 0);
        return probeLines(output);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
    std::vector<std::uint8_t> one_;
    std::vector<std::uint8_t> two_;
};

TEST_F(Pack, PackedProgramReadsBackWhatItWasGiven) {
    pack("fill " + path("probe") + " " + path("package.toml") + " -o " + path("packed"));
    auto p = run(dir_ / "packed");
    EXPECT_EQ(p["title"], "Flash Program for MERIDOX DVR-RW 1616");
    EXPECT_EQ(p["supported"], "MERIDOX DVR-RW 1616");
    EXPECT_EQ(p["titleIsPlaceholder"], "0");
    EXPECT_EQ(p["bankIsEmpty"], "0");
    EXPECT_EQ(p["valid"], "yes");
    EXPECT_EQ(p["N2OMESSAGE"], "1");
    EXPECT_EQ(p["CHKDISC"], "2");
    EXPECT_EQ(p["REBOOT"], "0");
    EXPECT_EQ(p["AUTOMODE"], "3");
    EXPECT_EQ(p["CLOSEAP"], "1");
    EXPECT_EQ(p["HOW_MANY_BIN"], "2");
    EXPECT_EQ(p["bin1"], "0 32768 1B10 32768 " + fingerprint(one_));
    EXPECT_EQ(p["bin2"], "65536 16384 2C01 16384 " + fingerprint(two_));
    EXPECT_EQ(p["bin3"].substr(0, 9), "0 0 N/A  ");
    EXPECT_EQ(p["slot11"], "1B05|1B09|MERIDOX |DVR-RW 1616 SUPR");
    EXPECT_EQ(p["slot12"], "#FLS|#|#|#");
    EXPECT_EQ(p["slot13"], "1B02|1B02|MERIDOX |DVR-RW 1616 SUPR");
    EXPECT_EQ(p["slot14"], "#FLS|#|#|#");
    EXPECT_EQ(p["slot21"], "#FLS|#|#|#");  // no constraints: every drive
    // The original is untouched.
    EXPECT_EQ(run(dir_ / "probe")["title"], "APP_TITLE_HERE");
}

TEST_F(Pack, ShowThenFillReproducesTheSameBytes) {
    // An untouched program.
    pack("show " + path("probe") + " --extract " + path("untouched"));
    pack("fill " + path("probe") + " " + path("untouched/package.toml") + " -o " + path("again"));
    EXPECT_EQ(readAll(dir_ / "again"), readAll(dir_ / "probe"));

    // A packed program, filled back into the untouched one.
    pack("fill " + path("probe") + " " + path("package.toml") + " -o " + path("packed"));
    std::string shown;
    ASSERT_EQ(pack("show " + path("packed") + " --extract " + path("shown"), shown), 0) << shown;
    EXPECT_EQ(shown.find("warning"), std::string::npos) << shown;
    pack("fill " + path("probe") + " " + path("shown/package.toml") + " -o " + path("refilled"));
    EXPECT_EQ(readAll(dir_ / "refilled"), readAll(dir_ / "packed"));
    EXPECT_EQ(readAll(dir_ / "shown/bin2.bin"), two_);
}

// What sha256sum says of a file.
std::string sha256sum(const fs::path& file) {
    std::string output;
    EXPECT_EQ(testing::runCommand("sha256sum '" + file.string() + "'", output), 0);
    return output.substr(0, 64);
}

// The lines of `text` that begin with `prefix`, without it.
std::vector<std::string> linesAfter(const std::string& text, const std::string& prefix) {
    std::vector<std::string> found;
    for (std::size_t at = text.find(prefix); at != std::string::npos;
         at = text.find(prefix, at + 1)) {
        const std::size_t begin = at + prefix.size();
        found.push_back(text.substr(begin, text.find('\n', begin) - begin));
    }
    return found;
}

// show --json read back through the library, field by field against the
// description show prints (read back as TOML), and the digests against
// sha256sum of the extracted files.
TEST_F(Pack, ShowAsJsonSaysWhatTheTextSays) {
    // A program with one block and one profile store of the maker's bytes.
    std::vector<std::uint8_t> file = readAll(dir_ / "probe");
    const std::string mark("ZORBEL_PROFILES\0", 16);
    file.insert(file.end(), mark.begin(), mark.end());
    file.insert(file.end(), 17850, 0x5A);
    writeAll(dir_ / "program", file);
    pack("fill " + path("program") + " " + path("package.toml") + " -o " + path("packed"));

    std::string text;
    std::string json;
    ASSERT_EQ(pack("show " + path("packed") + " --extract " + path("out"), text), 0) << text;
    ASSERT_EQ(testing::runCommand(Tool + " show " + path("packed") + " --json", json), 0) << json;
    const auto doc = nlohmann::json::parse(json);
    const toml::table shown = toml::parse(text.substr(text.find("# Zorbel package")));

    EXPECT_EQ(doc.at("schema"), "zorbel-pack-show");
    EXPECT_EQ(doc.at("schema_version"), 1);
    EXPECT_EQ(doc.at("program"), path("packed"));
    for (const char* key :
         {"title", "supported_drives", "version", "date", "credit", "unread", "spare"}) {
        EXPECT_EQ(doc.at(key), shown[key].value_or(std::string("?"))) << key;
    }
    for (const auto& [key, value] : doc.at("options").items()) {
        EXPECT_EQ(value, shown["options"][key].value_or(-1)) << key;
    }
    EXPECT_EQ(doc.at("options").size(), shown["options"].as_table()->size());
    const toml::array& bins = *shown["bin"].as_array();
    ASSERT_EQ(doc.at("bins").size(), bins.size());
    const std::vector<std::string> digests = linesAfter(text, "# image SHA-256: ");
    ASSERT_EQ(digests.size(), bins.size());
    for (std::size_t j = 0; j < bins.size(); ++j) {
        SCOPED_TRACE(j);
        const auto& b = doc.at("bins")[j];
        const toml::table& t = *bins[j].as_table();
        EXPECT_EQ(b.at("bin"), j + 1);
        EXPECT_EQ(b.at("start"), t["start"].value_or(-1));
        EXPECT_EQ(b.at("size"), t["size"].value_or(-1));
        EXPECT_EQ(b.at("new_revision"), t["new_revision"].value_or(std::string("?")));
        EXPECT_EQ(b.at("any_drive"), t["any_drive"].value_or(false));
        EXPECT_EQ(b.at("image_sha256"), digests[j]);
        EXPECT_EQ(digests[j], sha256sum(dir_ / "out" / ("bin" + std::to_string(j + 1) + ".bin")));
        const toml::array* slots = t["constraint"].as_array();
        ASSERT_EQ(b.at("constraints").size(), slots != nullptr ? slots->size() : 0u);
        for (std::size_t k = 0; slots != nullptr && k < slots->size(); ++k) {
            const auto& c = b.at("constraints")[k];
            const toml::table& slot = *slots->get(k)->as_table();
            EXPECT_EQ(c.at("slot"), k + 1);
            EXPECT_EQ(c.at("untouched"), slot["untouched"].value_or(false));
            for (const char* key : {"lowest", "highest", "vendor", "product"}) {
                EXPECT_EQ(c.at(key), slot[key].value_or(std::string())) << k << key;
            }
        }
    }
    EXPECT_EQ(doc["bins"][0]["constraints"][1]["untouched"], true);
    EXPECT_EQ(doc["bins"][1]["any_drive"], true);

    const auto& store = doc.at("profile_store");
    EXPECT_EQ(store.at("marks"), 1);
    EXPECT_EQ(store.at("sha256"), linesAfter(text, "# flash profile store SHA-256: ").at(0));
    EXPECT_EQ(store.at("sha256"), sha256sum(dir_ / "out" / "profiles.bin"));
    EXPECT_TRUE(store.at("stand_in_profiles").empty());
    EXPECT_TRUE(doc.at("warnings").empty());
}

TEST_F(Pack, PackingTwiceInPlace) {
    pack("fill " + path("probe") + " " + path("package.toml") + " -o " + path("packed"));
    const auto once = readAll(dir_ / "packed");
    fs::permissions(dir_ / "packed",
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    const auto mode = fs::status(dir_ / "packed").permissions();
    pack("fill " + path("packed") + " " + path("package.toml"));
    EXPECT_EQ(readAll(dir_ / "packed"), once);
    EXPECT_EQ(fs::status(dir_ / "packed").permissions(), mode);

    // A second, different package over the first: nothing of the first remains.
    std::string other = Description;
    other.replace(other.find("HOW_MANY_BIN = 2"), 16, "HOW_MANY_BIN = 1");
    other.erase(other.find("\n[[bin]]\nimage = \"two.bin\""));
    other.replace(other.find("1B10"), 4, "1B11");
    writeText(dir_ / "other.toml", other);
    pack("fill " + path("packed") + " " + path("other.toml"));
    auto p = run(dir_ / "packed");
    EXPECT_EQ(p["HOW_MANY_BIN"], "1");
    EXPECT_EQ(p["bin1"], "0 32768 1B11 32768 " + fingerprint(one_));
    EXPECT_EQ(p["bin2"].substr(0, 9), "0 0 N/A  ");
    // Only the first bin's image remains in the bank.
    auto packedBytes = readAll(dir_ / "packed");
    auto oneBin = readAll(dir_ / "probe");
    EXPECT_EQ(packedBytes.size(), oneBin.size());
}

TEST_F(Pack, WarningsForWhatIsAllowedButLikelyWrong) {
    // A vendor shorter than its field packs only when the slot says it is meant,
    // and show says so again.
    std::string text = Description;
    const std::string eight = "vendor = \"MERIDOX \"";
    text.replace(text.find(eight), eight.size(), "vendor = \"MERIDOX\"\nshort_text = true");
    writeText(dir_ / "short.toml", text);
    std::string output;
    ASSERT_EQ(
        pack("fill " + path("probe") + " " + path("short.toml") + " -o " + path("packed"), output),
        0)
        << output;
    ASSERT_EQ(pack("show " + path("packed"), output), 0) << output;
    EXPECT_NE(
        output.find("vendor = \"MERIDOX\", product = \"DVR-RW 1616 SUPR\", short_text = true"),
        std::string::npos)
        << output;

    // A byte the description cannot carry (after the title's end) is reported by show.
    auto bytes = readAll(dir_ / "packed");
    const auto blocks = std::search(bytes.begin(), bytes.end(), std::begin("FW_CONSTRAINTS="),
                                    std::end("FW_CONSTRAINTS=") - 1);
    ASSERT_NE(blocks, bytes.end());
    *(blocks - 222 + 49 + 62) = 'Z';
    writeAll(dir_ / "odd", bytes);
    ASSERT_EQ(pack("show " + path("odd"), output), 0) << output;
    EXPECT_NE(output.find("warning: byte 111 (title)"), std::string::npos) << output;
}

TEST_F(Pack, TheExampleDescriptionPacks) {
    const fs::path example = fs::path(ZORBEL_EXAMPLES_DIR) / "meridox-1616" / "package.toml";
    fs::copy_file(example, dir_ / "example.toml");
    writeAll(dir_ / "1B10.bin", image(262144, 4));
    pack("fill " + path("probe") + " " + path("example.toml") + " -o " + path("packed"));
    auto p = run(dir_ / "packed");
    EXPECT_EQ(p["valid"], "yes");
    EXPECT_EQ(p["bin1"].substr(0, 18), "0 262144 1B10 2621");
    EXPECT_EQ(p["slot12"], "1B02|1B02|MERIDOX |DVR-RW 1616 SUPR");
}

TEST_F(Pack, MakeImageRefusesPartBlocksUnlessPadded) {
    const std::string script = "sh " + std::string(ZORBEL_EXAMPLES_DIR) + "/make-image.sh ";
    writeAll(dir_ / "maker.fw", image(20000, 6));
    const auto quiet = " >" + path("out.txt") + " 2>&1";
    EXPECT_NE(std::system((script + path("maker.fw") + " " + path("img") + quiet).c_str()), 0);
    EXPECT_FALSE(fs::exists(dir_ / "img"));
    std::ifstream said(dir_ / "out.txt");
    const std::string why((std::istreambuf_iterator<char>(said)), {});
    EXPECT_NE(why.find("not a whole number of 16384-byte blocks"), std::string::npos) << why;
    EXPECT_NE(why.find("--pad"), std::string::npos) << why;

    ASSERT_EQ(
        std::system((script + "--pad " + path("maker.fw") + " " + path("img") + quiet).c_str()), 0);
    const auto padded = readAll(dir_ / "img");
    ASSERT_EQ(padded.size(), 32768u);
    EXPECT_TRUE(std::equal(padded.begin(), padded.begin() + 20000, image(20000, 6).begin()));
    EXPECT_EQ(padded.back(), 0xFF);
}

struct RefusalCase {
    const char* name;
    std::string from;  // text in the description to replace ("" to append `to`)
    std::string to;
    std::string expected;    // part of the refusal
    std::string from2 = {};  // a second replacement, when one is not enough
    std::string to2 = {};
    std::string absent = {};  // what no refusal may name: one refusal per cause
};

TEST_F(Pack, EveryRefusalLeavesTheTargetAsItWas) {
    writeAll(dir_ / "empty.bin", {});
    writeAll(dir_ / "odd.bin", std::vector<std::uint8_t>(1000, 1));
    std::vector<std::uint8_t> marked = image(16384, 3);
    const std::string mark = "BANK_START_FROM_HERE";
    std::copy(mark.begin(), mark.end(), marked.begin());
    writeAll(dir_ / "marked.bin", marked);
    std::string nine;
    for (int i = 0; i < 6; ++i) {
        nine += "\n[[bin.constraint]]\nvendor = \"X\"\n";
    }

    std::vector<std::uint8_t> demo(16384);
    const std::string demoText = std::string("ZORBEL DEMONSTRATION ") + "IMAGE - NOT FIRMWARE ";
    for (std::size_t i = 0; i < demo.size(); ++i) {
        demo[i] = static_cast<std::uint8_t>(demoText[i % demoText.size()]);
    }
    writeAll(dir_ / "demo.bin", demo);
    std::vector<std::uint8_t> demoInside = image(16384, 8);
    std::copy(demoText.begin(), demoText.end(), demoInside.begin() + 9000);
    writeAll(dir_ / "demo-inside.bin", demoInside);

    const RefusalCase cases[] = {
        {"title too long", "Flash Program for MERIDOX DVR-RW 1616", std::string(64, 'T'),
         ":2: title: is 64 characters"},
        {"option not a digit", "CHKDISC = 2", "CHKDISC = 10", "options.CHKDISC: 10 is not one"},
        {"option as text", "CHKDISC = 2", "CHKDISC = \"2\"", "options.CHKDISC: must be a whole"},
        {"option missing", "REBOOT = 0\n", "", "options.REBOOT: missing"},
        {"bin count differs", "HOW_MANY_BIN = 2", "HOW_MANY_BIN = 3",
         ":16: options.HOW_MANY_BIN: 3 differs from the 2 bins"},
        {"bin count too large", "HOW_MANY_BIN = 2", "HOW_MANY_BIN = 5", "must be 1 to 4"},
        {"revision too long", "lowest = \"1B05\"", "lowest = \"1B05A\"",
         ":23: bin[1].constraint[1].lowest: a revision must be exactly 4"},
        {"new revision too short", "\"2C01\"", "\"2C\"", "bin[2].new_revision: a revision"},
        {"vendor too long",
         "vendor = \"MERIDOX \"\nproduct = \"DVR-RW 1616 SUPR\"\n\n[[bin.constraint]]\nuntouched",
         "vendor = \"MERIDOX  X\"\nproduct = \"DVR-RW 1616 SUPR\"\n\n[[bin.constraint]]\nuntouched",
         "bin[1].constraint[1].vendor: is 10 characters, longer than the 8"},
        {"vendor without its blank", "vendor = \"MERIDOX \"", "vendor = \"MERIDOX\"",
         ":25: bin[1].constraint[1].vendor: \"MERIDOX\" is 7 characters; drives report 8"},
        {"product too long", "product = \"DVR-RW 1616 SUPR\"\n\n[[bin.constraint]]\nuntouched",
         "product = \"DVR-RW 1616 SUPRA\"\n\n[[bin.constraint]]\nuntouched",
         "bin[1].constraint[1].product: is 17 characters"},
        {"image missing", "\"two.bin\"", "\"none.bin\"", "bin[2].image: cannot read"},
        {"no image named", "image = \"two.bin\"\n", "", "bin[2].image: missing"},
        {"image empty", "\"two.bin\"", "\"empty.bin\"", "bin[2].image: the image"},
        {"image not whole blocks", "\"two.bin\"", "\"odd.bin\"", "not a whole number of 16384"},
        {"bins overlap", "start = 65536", "start = 16384", "bin[2].start: its bytes overlap"},
        {"bins overlap in descending order", "image = \"one.bin\"\n",
         "image = \"one.bin\"\nstart = 65536\n", "bin[2].start: its bytes overlap those of bin[1]",
         "\"two.bin\"\nstart = 65536", "\"one.bin\"\nstart = 49152"},
        {"bin for any make unsaid", "any_drive = true\n", "",
         ":37: bin[2].constraint: missing: a bin without constraint slots accepts a drive of any "
         "make; add vendor and product"},
        {"no slot at all", "any_drive = true\n", "constraint = []\n",
         ":41: bin[2].constraint: is empty"},
        {"untouched first slot",
         "lowest = \"1B05\"\nhighest = \"1B09\"\nvendor = \"MERIDOX \"\nproduct = \"DVR-RW 1616 "
         "SUPR\"",
         "untouched = true", ":22: bin[1].constraint[1].untouched: an untouched first slot"},
        {"slot by revision only",
         "\"1B02\"\nvendor = \"MERIDOX \"\nproduct = \"DVR-RW 1616 SUPR\"\n", "\"1B02\"\n",
         ":31: bin[1].constraint[3]: names neither vendor nor product, so a drive of any make "
         "fits it; add vendor and product exactly as the drives report them (zorbel-probe lists "
         "them, blanks included), or any_drive = true in bin[1]"},
        {"any_drive as a number", "any_drive = true", "any_drive = 1",
         "bin[2].any_drive: must be true or false"},
        {"past the bank", "start = 65536", "start = 1040384", "run past the end"},
        {"past the bank, the next bin placed after it", "image = \"one.bin\"\n",
         "image = \"one.bin\"\nstart = 1032192\n",
         ":18: bin[1].start: bytes 1032192 to 1064960 run past the end", "start = 65536\n", "",
         "bin[2]"},
        {"a bin placed after the previous one runs past the bank", "image = \"one.bin\"\n",
         "image = \"one.bin\"\nstart = 1015808\n",
         ":38: bin[2].image: bytes 1048576 to 1064960 run past the end of the 1048576-byte bank "
         "(placed right after bin[1], since no start is given)",
         "start = 65536\n", "", "bin[1]."},
        {"inverted revision range", "lowest = \"1B05\"\nhighest = \"1B09\"",
         "lowest = \"KA03\"\nhighest = \"KA01\"",
         ":23: bin[1].constraint[1].lowest: \"KA03\" lies above highest \"KA01\""},
        {"the demonstration image in a program for real drives", "\"two.bin\"", "\"demo.bin\"",
         ":37: bin[2].image: " + path("demo.bin") +
             " carries the mark \"ZORBEL DEMONSTRATION IMAGE\""},
        {"an image carrying the demonstration mark", "\"two.bin\"", "\"demo-inside.bin\"",
         "bin[2].image: " + path("demo-inside.bin") + " carries the mark"},
        {"any_drive = false is no waiver", "any_drive = true", "any_drive = false",
         ":37: bin[2].constraint: missing: a bin without constraint slots accepts a drive of any "
         "make"},
        {"image looks like an empty bank", "\"one.bin\"", "\"marked.bin\"", "empty-bank mark"},
        {"more than 8 slots", "", nine + "\n", "more than the 8 a bin holds"},
        {"unknown key", "CHKDISC = 2", "CHKDISC = 2\nCHKDSC = 1", "options.CHKDSC: unknown key"},
        {"not TOML", "CHKDISC = 2", "CHKDISC = = 2", "not valid TOML"},
        {"character beyond one byte", "supported_drives = \"MERIDOX",
         "supported_drives = \"\xe2\x82\xac", "supported_drives: holds a character outside"},
    };
    const auto before = readAll(dir_ / "probe");
    for (const RefusalCase& c : cases) {
        std::string text = Description;
        if (c.from.empty()) {
            text.replace(text.find("\n[[bin]]\nimage = \"two.bin\""), 0, c.to);
        } else {
            ASSERT_NE(text.find(c.from), std::string::npos) << c.name;
            text.replace(text.find(c.from), c.from.size(), c.to);
        }
        if (!c.from2.empty()) {
            ASSERT_NE(text.find(c.from2), std::string::npos) << c.name;
            text.replace(text.find(c.from2), c.from2.size(), c.to2);
        }
        writeText(dir_ / "bad.toml", text);
        std::string output;
        EXPECT_NE(pack("fill " + path("probe") + " " + path("bad.toml"), output), 0) << c.name;
        EXPECT_NE(output.find(c.expected), std::string::npos) << c.name << ":\n" << output;
        EXPECT_NE(output.find("bad.toml"), std::string::npos) << c.name;
        EXPECT_NE(output.find("nothing written"), std::string::npos) << c.name;
        if (!c.absent.empty()) {
            EXPECT_EQ(output.find(c.absent), std::string::npos) << c.name << ":\n" << output;
        }
        EXPECT_EQ(readAll(dir_ / "probe"), before) << c.name;
    }
    // No temporary file was left behind.
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().find(".zorbel-pack-"), std::string::npos);
    }
}

TEST_F(Pack, ProgramsWithoutOrWithSeveralBlocksAreRefused) {
    writeAll(dir_ / "noblock", image(2 * 1024 * 1024, 9));
    std::string output;
    EXPECT_NE(pack("fill " + path("noblock") + " " + path("package.toml"), output), 0);
    EXPECT_NE(output.find("holds no package block"), std::string::npos) << output;

    auto twice = readAll(dir_ / "probe");
    const auto copy = twice;
    twice.insert(twice.end(), copy.begin(), copy.end());
    writeAll(dir_ / "twice", twice);
    EXPECT_NE(pack("fill " + path("twice") + " " + path("package.toml"), output), 0);
    EXPECT_NE(output.find("holds 2 package blocks"), std::string::npos) << output;
    EXPECT_EQ(readAll(dir_ / "twice"), twice);
    EXPECT_NE(pack("show " + path("twice"), output), 0);
}

TEST_F(Pack, ProfilesReplaceTheStoreAfterItsMark) {
    // A program file with one block and one profile store.
    std::vector<std::uint8_t> file(4096, 0xEE);
    const auto block = PackageBlock::embedded().bytes();
    file.insert(file.end(), block.begin(), block.end());
    const std::string mark("ZORBEL_PROFILES\0", 16);
    file.insert(file.end(), mark.begin(), mark.end());
    const std::size_t storeAt = file.size();
    file.insert(file.end(), 17850, 0x11);
    file.insert(file.end(), 100, 0xEE);
    writeAll(dir_ / "program", file);
    const auto profiles = image(17850, 5);
    writeAll(dir_ / "profiles.bin", profiles);
    writeAll(dir_ / "short.bin", image(17849, 5));

    std::string output;
    EXPECT_NE(pack("fill " + path("program") + " " + path("package.toml") + " --profiles " +
                       path("short.bin"),
                   output),
              0);
    EXPECT_NE(output.find("exactly 17850 bytes"), std::string::npos) << output;
    EXPECT_EQ(readAll(dir_ / "program"), file);

    ASSERT_EQ(pack("fill " + path("program") + " " + path("package.toml") + " --profiles " +
                       path("profiles.bin"),
                   output),
              0)
        << output;
    EXPECT_NE(output.find("flash profiles replaced"), std::string::npos) << output;
    const auto packed = readAll(dir_ / "program");
    ASSERT_EQ(packed.size(), file.size());
    EXPECT_TRUE(std::equal(profiles.begin(), profiles.end(), packed.begin() + storeAt));
    EXPECT_EQ(packed.back(), 0xEE);
    EXPECT_EQ(PackageBlock(std::span(packed).subspan(4096, block::BlockSize)).title(),
              "Flash Program for MERIDOX DVR-RW 1616");

    // A second mark makes the store ambiguous.
    auto twoMarks = file;
    twoMarks.insert(twoMarks.begin(), mark.begin(), mark.end());
    writeAll(dir_ / "twomarks", twoMarks);
    EXPECT_NE(pack("fill " + path("twomarks") + " " + path("package.toml") + " --profiles " +
                       path("profiles.bin"),
                   output),
              0);
    EXPECT_NE(output.find("2 flash profile store marks"), std::string::npos) << output;
    EXPECT_EQ(readAll(dir_ / "twomarks"), twoMarks);
}

TEST_F(Pack, StandInProfilesOnlyWhenSaidSo) {
    // A program as built: one block, and a store that holds the stand-ins.
    std::vector<std::uint8_t> file(4096, 0xEE);
    const auto block = PackageBlock::embedded().bytes();
    file.insert(file.end(), block.begin(), block.end());
    const std::string mark("ZORBEL_PROFILES\0", 16);
    file.insert(file.end(), mark.begin(), mark.end());
    const auto storeAt = static_cast<std::ptrdiff_t>(file.size());
    file.insert(file.end(), StandInProfileStore.begin(), StandInProfileStore.end());
    writeAll(dir_ / "program", file);
    const std::string fill = "fill " + path("program") + " " + path("package.toml");

    std::string output;
    EXPECT_NE(pack(fill, output), 0);
    EXPECT_NE(output.find("holds all 20 stand-in profiles"), std::string::npos) << output;
    EXPECT_NE(output.find("--profiles FILE"), std::string::npos) << output;
    EXPECT_NE(output.find("--stand-in-profiles"), std::string::npos) << output;
    EXPECT_EQ(readAll(dir_ / "program"), file);

    // A profile file that still carries one stand-in is no maker's file,
    // whether the stand-in is whole, has one byte changed (here in its first
    // mark), or has every mark broken but most of its bytes kept.
    const auto withProfile7 = [](const std::function<void(std::uint8_t*, std::size_t)>& edit) {
        std::vector<std::uint8_t> partly = image(17850, 5);
        const std::size_t length = ProfileOffsets[8] - ProfileOffsets[7];
        std::copy_n(StandInProfileStore.begin() + ProfileOffsets[7], length,
                    partly.begin() + ProfileOffsets[7]);
        edit(partly.data() + ProfileOffsets[7], length);
        return partly;
    };
    const std::vector<std::vector<std::uint8_t>> partlyFiles = {
        withProfile7([](std::uint8_t*, std::size_t) {}),
        withProfile7([](std::uint8_t* p, std::size_t) { p[3] ^= 0x01; }),
        withProfile7([](std::uint8_t* p, std::size_t length) {
            for (std::size_t i = 0; i < length; i += 97) {
                p[i] ^= 0xFF;  // every copy of the mark is hit
            }
        }),
    };
    for (const auto& partly : partlyFiles) {
        writeAll(dir_ / "partly.bin", partly);
        EXPECT_NE(pack(fill + " --profiles " + path("partly.bin"), output), 0);
        EXPECT_NE(output.find("partly.bin: holds stand-in profile 7 "), std::string::npos)
            << output;
        EXPECT_EQ(readAll(dir_ / "program"), file);
    }
    EXPECT_NE(pack(fill + " --profiles " + path("partly.bin") + " --stand-in-profiles", output), 0);
    EXPECT_EQ(readAll(dir_ / "program"), file);

    ASSERT_EQ(pack("show " + path("program"), output), 0) << output;
    EXPECT_NE(output.find("# flash profiles: all 20 stand-in"), std::string::npos) << output;

    // Only a program for the simulated computer may keep them, and carry the
    // demonstration image.
    EXPECT_EQ(pack(fill + " --stand-in-profiles", output), 1);
    EXPECT_NE(output.find("program: --stand-in-profiles: this is not a program for the simulated"),
              std::string::npos)
        << output;
    EXPECT_EQ(readAll(dir_ / "program"), file);
    const std::string simMark = std::string("ZORBEL_SIMULATED_COMPUTER_") + "PROGRAM" + '\0';
    file.insert(file.begin(), simMark.begin(), simMark.end());
    writeAll(dir_ / "program", file);
    std::vector<std::uint8_t> demo(16384);
    const std::string demoText = std::string("ZORBEL DEMONSTRATION ") + "IMAGE - NOT FIRMWARE ";
    for (std::size_t i = 0; i < demo.size(); ++i) {
        demo[i] = static_cast<std::uint8_t>(demoText[i % demoText.size()]);
    }
    writeAll(dir_ / "two.bin", demo);

    // Said in so many words: the store keeps its stand-ins.
    ASSERT_EQ(pack(fill + " --stand-in-profiles -o " + path("sim"), output), 0) << output;
    EXPECT_NE(output.find("simulated computer only"), std::string::npos) << output;
    const auto sim = readAll(dir_ / "sim");
    EXPECT_TRUE(std::equal(StandInProfileStore.begin(), StandInProfileStore.end(),
                           sim.begin() + storeAt + static_cast<std::ptrdiff_t>(simMark.size())));
    writeAll(dir_ / "two.bin", two_);

    // The maker's profiles in place: later fills need neither option.
    writeAll(dir_ / "maker.bin", image(17850, 5));
    ASSERT_EQ(pack(fill + " --profiles " + path("maker.bin"), output), 0) << output;
    ASSERT_EQ(pack(fill, output), 0) << output;
    ASSERT_EQ(pack("show " + path("program"), output), 0) << output;
    EXPECT_NE(output.find("no stand-in left"), std::string::npos) << output;
}

#ifdef ZORBEL_REAL_PROGRAM
// The program for real drives reads its own store at start-up: one profile
// that is still a stand-in, even with a byte changed, ends it before it looks
// at any drive.
TEST_F(Pack, RealProgramRefusesAPartlyStandInStoreAtStartUp) {
    auto program = readAll(ZORBEL_REAL_PROGRAM);
    const std::string mark = std::string("ZORBEL_") + "PROFILES" + '\0';
    const auto at = std::search(program.begin(), program.end(), mark.begin(), mark.end());
    ASSERT_NE(at, program.end());
    const auto store = at + static_cast<std::ptrdiff_t>(mark.size());
    const auto maker = image(ProfileStoreSize, 5);
    std::copy(maker.begin(), maker.end(), store);
    const auto profile12 = static_cast<std::ptrdiff_t>(ProfileOffsets[12]);
    std::copy_n(StandInProfileStore.begin() + profile12, ProfileOffsets[13] - ProfileOffsets[12],
                store + profile12);
    store[profile12 + 2] ^= 0x40;  // inside the first copy of the stand-in mark
    writeAll(dir_ / "zorbel", program);
    fs::permissions(dir_ / "zorbel", fs::perms::owner_all);

    std::string output;
    const int status = testing::runCommand(
        "env -u DISPLAY -u WAYLAND_DISPLAY " + path("zorbel") + " </dev/null 2>&1", output);
    EXPECT_NE(output.find("[Error]\nInvalid F/W in executable !\n"), std::string::npos) << output;
    EXPECT_EQ(status, 3) << output;
}
// Whatever byte of a filled program changes afterwards, in the package block,
// the profile store or the digest record, the program ends with "Invalid F/W
// in executable !" before it looks for a drive, and names what changed; a
// program whose record was never filled runs as before and says so.
TEST_F(Pack, RealProgramChecksItsDigestsBeforeAnyDrive) {
    writeAll(dir_ / "profiles.bin", image(ProfileStoreSize, 5));
    std::string output;
    ASSERT_EQ(pack("fill " + std::string(ZORBEL_REAL_PROGRAM) + " " + path("package.toml") +
                       " --profiles " + path("profiles.bin") + " -o " + path("zorbel"),
                   output),
              0)
        << output;
    EXPECT_NE(output.find("SHA-256 digests recorded"), std::string::npos) << output;
    const auto packed = readAll(dir_ / "zorbel");
    const std::string label = std::string(block::TableLabel) + '\0';
    const auto blockAt = static_cast<std::size_t>(
                             std::search(packed.begin(), packed.end(), label.begin(), label.end()) -
                             packed.begin()) -
                         block::TableLabelOffset;
    const std::string mark = std::string("ZORBEL_") + "PROFILES" + '\0';
    const auto storeAt = static_cast<std::size_t>(
        std::search(packed.begin(), packed.end(), mark.begin(), mark.end()) - packed.begin() + 16);
    const auto record = digestRecordRange(packed);
    ASSERT_TRUE(record);

    struct Case {
        const char* what;
        std::size_t at;
        std::uint8_t flip;
        const char* line;  // on standard error; null: the program goes on to the drives
    };
    const Case cases[] = {
        {"nothing", 0, 0, nullptr},
        {"a byte of the image in use", blockAt + block::BankOffset + 16384 + 7, 0x01, "the bank"},
        {"a constraint slot", blockAt + block::constraintSlotOffset(0, 2) + block::VendorOffset,
         0x20, "the constraint table"},
        {"an option", blockAt + block::optionSlot(block::Option::CHKDISC).offset + 8, 0x01,
         "the options and the bin table"},
        {"the profile store", storeAt + 9000, 0x80, "the flash profile store"},
        {"a digest of the record", record->first + digest::DigestsOffset + 3, 0x04, "the texts"},
        {"the record's state", record->first + digest::StateOffset + 2, 0x01,
         "the digest record itself"},
    };
    for (const Case& c : cases) {
        auto bytes = packed;
        bytes[c.at] ^= c.flip;
        writeAll(dir_ / "changed", bytes);
        fs::permissions(dir_ / "changed", fs::perms::owner_all);
        const int status = testing::runCommand(
            "env -u DISPLAY -u WAYLAND_DISPLAY " + path("changed") + " </dev/null 2>&1", output);
        EXPECT_EQ(status, 3) << c.what << "\n" << output;
        if (c.line == nullptr) {
            EXPECT_EQ(output.find("Invalid F/W"), std::string::npos) << c.what << "\n" << output;
            EXPECT_EQ(output.find("digest"), std::string::npos) << c.what << "\n" << output;
            continue;
        }
        EXPECT_NE(output.find("[Error]\nInvalid F/W in executable !\n"), std::string::npos)
            << c.what << "\n"
            << output;
        EXPECT_NE(output.find(std::string("zorbel: the program is damaged: ") + c.line),
                  std::string::npos)
            << c.what << "\n"
            << output;
        EXPECT_EQ(output.find("No matched drive"), std::string::npos) << c.what << "\n" << output;
    }

    // A record never filled (the package patched in by hand): as before, with one line.
    auto unfilled = packed;
    std::copy(digest::NoRecordState.begin(), digest::NoRecordState.end(),
              unfilled.begin() + static_cast<std::ptrdiff_t>(record->first + digest::StateOffset));
    writeAll(dir_ / "unfilled", unfilled);
    fs::permissions(dir_ / "unfilled", fs::perms::owner_all);
    testing::runCommand(
        "env -u DISPLAY -u WAYLAND_DISPLAY " + path("unfilled") + " </dev/null 2>&1", output);
    EXPECT_EQ(output.find("Invalid F/W"), std::string::npos) << output;
    EXPECT_NE(output.find("zorbel: its package carries no digest"), std::string::npos) << output;

    // show says whether the record holds; a fill over a changed program says
    // so, and refuses to keep a changed profile store.
    auto changed = packed;
    changed[storeAt + 5] ^= 0x01;
    changed[blockAt + block::constraintSlotOffset(0, 0)] ^= 0x01;
    writeAll(dir_ / "changed", changed);
    pack("show --json " + path("changed") + " 2>/dev/null", output);
    const auto shown = nlohmann::json::parse(output);
    EXPECT_EQ(shown["digests"]["state"], "does_not_hold");
    EXPECT_EQ(shown["digests"]["changed"], nlohmann::json::array({"constraints", "profile_store"}));
    pack("show " + path("zorbel") + " 2>/dev/null", output);
    EXPECT_NE(output.find("# digests: SHA-256 of the texts"), std::string::npos) << output;
    EXPECT_NE(pack("fill " + path("changed") + " " + path("package.toml"), output), 0);
    EXPECT_NE(output.find("its flash profile store no longer matches"), std::string::npos)
        << output;
    pack("fill " + path("changed") + " " + path("package.toml") + " --profiles " +
             path("profiles.bin"),
         output);
    EXPECT_NE(output.find("no longer matches the digests its last fill recorded (the constraint "
                          "table and the flash profile store changed since)"),
              std::string::npos)
        << output;
    EXPECT_EQ(readAll(dir_ / "changed"), packed);
}
#endif

}  // namespace
}  // namespace zorbel
