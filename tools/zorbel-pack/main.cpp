// zorbel-pack: fills the package block of a built Zorbel program from a
// package description and image files, shows the package a program holds, or
// checks that a filled program is a given unfilled build with a package.
//
//   zorbel-pack fill PROGRAM DESCRIPTION [-o OUTPUT] [--profiles FILE | --stand-in-profiles]
//   zorbel-pack show PROGRAM [--extract DIR] [--json]
//   zorbel-pack same-build PROGRAM UNFILLED [--json]
//
// Everything is checked before anything is written; a refusal names the file,
// the line, the key and the rule, and leaves every file as it was. Exit
// status: 0 done, 1 refused or failed, 2 a usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "engine/StandInProfiles.h"
#include "package/PeImage.h"
#include "tools/common/ToolConventions.h"
#include "tools/zorbel-pack/Pack.h"
#include "tools/zorbel-pack/SameBuild.h"
#include "tools/zorbel-pack/Sha256.h"
#include "tools/zorbel-pack/ShowJson.h"

namespace {

namespace fs = std::filesystem;
using namespace zorbel;
using namespace zorbel::pack;

int refuse(const std::vector<Refusal>& refusals) {
    for (const Refusal& r : refusals) {
        std::cerr << "zorbel-pack: refused: " << r.text() << "\n";
    }
    std::cerr << "zorbel-pack: nothing written\n";
    return 1;
}

// Finds the one package block of a program file, or adds a refusal.
std::optional<std::size_t> theBlock(const fs::path& program, std::span<const std::uint8_t> bytes,
                                    std::vector<Refusal>& refusals) {
    const std::vector<std::size_t> blocks = findBlocks(bytes);
    if (blocks.size() == 1) {
        return blocks.front();
    }
    std::string rule = blocks.empty() ? "holds no package block (no FW_CONSTRAINTS= table with its "
                                        "option and bin keys at their places)"
                                      : "holds " + std::to_string(blocks.size()) +
                                            " package blocks (at file offsets";
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        rule += (i == 0 ? " " : ", ") + std::to_string(blocks[i]);
    }
    if (!blocks.empty()) {
        rule += "); refusing to guess which one the program reads";
    }
    refusals.push_back({program.string(), 0, "", rule});
    return std::nullopt;
}

std::string summary(const fs::path& target, const PackageDescription& d, bool profiles) {
    std::string line = "zorbel-pack: wrote " + target.string() + ": \"" + utf8FromBytes(d.title) +
                       "\", " + std::to_string(d.bins.size()) +
                       (d.bins.size() == 1 ? " bin" : " bins");
    for (std::size_t j = 0; j < d.bins.size(); ++j) {
        const BinDescription& bin = d.bins[j];
        const auto slots = std::count_if(bin.constraints.begin(), bin.constraints.end(),
                                         [](const SlotDescription& s) { return !s.untouched; });
        line += (j == 0 ? " (" : "; ") + std::to_string(j + 1) + ": " +
                utf8FromBytes(bin.newRevision) + ", " + std::to_string(bin.size.value_or(0)) +
                " bytes at " + std::to_string(bin.start.value_or(0)) + ", " +
                (slots == 0   ? std::string("every drive")
                 : slots == 1 ? std::string("1 slot")
                              : std::to_string(slots) + " slots");
    }
    line += ")";
    if (profiles) {
        line += ", flash profiles replaced";
    }
    return line;
}

// "all 20 stand-in profiles", "stand-in profile 7", "stand-in profiles 3, 7".
std::string standInList(const std::vector<int>& groups) {
    if (groups.size() == static_cast<std::size_t>(ProfileCount)) {
        return "all 20 stand-in profiles";
    }
    std::string list = groups.size() == 1 ? "stand-in profile " : "stand-in profiles ";
    for (std::size_t i = 0; i < groups.size(); ++i) {
        list += (i == 0 ? "" : ", ") + std::to_string(groups[i]);
    }
    return list;
}

// Refuses a program whose profile store would still hold any stand-in profile
// after the fill, unless `standInsForSimulator` says it is for the simulated
// computer only. `profiles` are the bytes that replace the store at `storeAt`.
void checkProfileStores(const fs::path& program, const fs::path& profilesFile,
                        std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> profiles,
                        std::optional<std::size_t> storeAt, bool standInsForSimulator,
                        std::vector<Refusal>& refusals) {
    if (standInsForSimulator) {
        return;
    }
    if (storeAt) {
        const std::vector<int> groups = StandInGroups(profiles);
        if (!groups.empty()) {
            refusals.push_back(
                {profilesFile.string(), 0, "",
                 "holds " + standInList(groups) +
                     " that every built program carries, not the drive maker's profiles; give "
                     "the maker's 17850-byte profile file"});
        }
        return;
    }
    for (const std::size_t at : findProfileStores(bytes)) {
        const std::vector<int> groups = StandInGroups(bytes.subspan(at, ProfileStoreSize));
        if (!groups.empty()) {
            refusals.push_back(
                {program.string(), 0, "",
                 "its flash profile store holds " + standInList(groups) +
                     ", which are no program for a drive's controller; add --profiles FILE "
                     "with the drive maker's 17850-byte profile file, or --stand-in-profiles "
                     "when the program is only for the simulated computer (zorbel-sim)"});
            return;
        }
    }
}

// Refuses what only a program for the simulated computer may carry, in a
// program for real drives: the demonstration image (or any image carrying its
// mark), and stand-in profiles kept with --stand-in-profiles.
void checkSimulatorOnlyParts(const fs::path& program, const PackageDescription& d,
                             std::span<const std::uint8_t> bytes, bool standInsForSimulator,
                             std::vector<Refusal>& refusals) {
    if (isSimulatedComputerProgram(bytes)) {
        return;
    }
    for (std::size_t j = 0; j < d.bins.size(); ++j) {
        const BinDescription& bin = d.bins[j];
        if (carriesDemonstrationMark(bin.imageBytes)) {
            refusals.push_back(
                {d.file, bin.line, "bin[" + std::to_string(j + 1) + "].image",
                 (bin.image ? bin.image->string() : std::string("the image")) +
                     " carries the mark \"" + demonstrationMark() + "\": it is no firmware, and " +
                     program.string() +
                     " is not a program for the simulated computer (zorbel-sim); give the drive "
                     "maker's image"});
        }
    }
    if (standInsForSimulator) {
        refusals.push_back({program.string(), 0, "--stand-in-profiles",
                            "this is not a program for the simulated computer (zorbel-sim), and "
                            "the program for real drives refuses to start with stand-in "
                            "profiles; give --profiles FILE with the drive maker's 17850-byte "
                            "profile file"});
    }
}

constexpr const char* Usage =
    "zorbel-pack fill PROGRAM DESCRIPTION [-o OUTPUT] [--profiles FILE | --stand-in-profiles]\n"
    "       zorbel-pack show PROGRAM [--extract DIR] [--json]\n"
    "       zorbel-pack same-build PROGRAM UNFILLED [--json]\n"
    "       zorbel-pack --help | --version";

// A description holds text: one with NUL bytes is a program given in its place.
bool looksLikeProgram(const fs::path& file) {
    std::vector<std::uint8_t> bytes;
    return readFile(file, bytes) &&
           std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end();
}

// Refuses a Windows program that carries a signature: filling changes bytes the
// signature covers, so the program would no longer verify.
void checkUnsigned(const fs::path& program, std::span<const std::uint8_t> bytes,
                   std::vector<Refusal>& refusals) {
    const auto facts = pe::readHeaders(bytes);
    if (facts && facts->isSigned()) {
        refusals.push_back(
            {program.string(), 0, "",
             "carries an Authenticode signature (its PE security directory is set), which "
             "filling would break; fill an unsigned copy and sign the filled program afterwards "
             "(osslsigncode remove-signature takes a signature off)"});
    }
}

// The one profile store of a program file; empty when it has none or several.
std::span<const std::uint8_t> theStore(std::span<const std::uint8_t> bytes) {
    const auto stores = findProfileStores(bytes);
    return stores.size() == 1 ? bytes.subspan(stores.front(), block::ProfileStoreSize)
                              : std::span<const std::uint8_t>();
}

RecordFacts recordFactsOf(std::span<const std::uint8_t> bytes, std::size_t blockAt) {
    return recordFacts(bytes, bytes.subspan(blockAt, block::BlockSize), theStore(bytes));
}

// Says when the program no longer matches the digests its last fill recorded;
// refuses when its profile store changed since and the fill would keep it.
void checkDigestRecord(const fs::path& program, std::span<const std::uint8_t> bytes,
                       std::size_t blockAt, bool newProfiles, std::vector<Refusal>& refusals) {
    const RecordFacts facts = recordFactsOf(bytes, blockAt);
    if (facts.records > 1) {
        refusals.push_back({program.string(), 0, "",
                            "holds " + std::to_string(facts.records) +
                                " digest record marks; refusing to guess which one the program "
                                "reads"});
        return;
    }
    if (!facts.check || facts.check->outcome != DigestCheck::Outcome::Mismatch) {
        return;
    }
    const auto& parts = facts.check->mismatched;
    if (!newProfiles &&
        std::find(parts.begin(), parts.end(), DigestPart::Profiles) != parts.end()) {
        refusals.push_back({program.string(), 0, "",
                            "its flash profile store no longer matches the digest its last fill "
                            "recorded (it was changed or damaged since); give --profiles FILE "
                            "with the drive maker's 17850-byte profile file"});
        return;
    }
    std::cerr << "zorbel-pack: warning: " << program.string()
              << " no longer matches the digests its last fill recorded ("
              << facts.check->describe()
              << " changed since); this fill writes the package and its digests anew\n";
}

// Writes the digests of the filled block and store into the program's record.
// False, after a warning, for a program that has no record.
bool recordDigests(const fs::path& program, std::span<std::uint8_t> bytes, std::size_t blockAt) {
    const auto range = digestRecordRange(bytes);
    if (!range) {
        std::cerr << "zorbel-pack: warning: " << program.string()
                  << " has no digest record (a program built before digests were recorded): "
                     "it cannot tell a damaged copy of its package\n";
        return false;
    }
    std::array<Sha256Digest, DigestPartCount> digests{};
    std::string unused;
    computeDigests(bytes.subspan(blockAt, block::BlockSize), theStore(bytes), &sha256Digest,
                   digests, unused);
    writeDigestRecord(bytes.subspan(range->first, digest::RecordSize), digests);
    return true;
}

int fill(const fs::path& program, const fs::path& description, const fs::path& output,
         const fs::path& profilesFile, bool standInsForSimulator) {
    if (looksLikeProgram(description) && !looksLikeProgram(program)) {
        std::cerr << "zorbel-pack: " << description.string()
                  << " is a program, not a package description: the program comes first\n"
                  << "usage: " << Usage << "\n";
        return tools::ExitUsage;
    }
    std::vector<Refusal> refusals;
    std::optional<PackageDescription> d = parseDescription(description, refusals);
    if (d) {
        for (const std::string& warning : d->warnings) {
            std::cerr << "zorbel-pack: warning: " << warning << "\n";
        }
        loadImages(*d, refusals);
    }

    std::vector<std::uint8_t> bytes;
    std::optional<std::size_t> blockAt;
    std::string reason;
    if (!readFile(program, bytes, reason)) {
        refusals.push_back({program.string(), 0, "", "cannot read the program file: " + reason});
    } else {
        blockAt = theBlock(program, bytes, refusals);
        checkUnsigned(program, bytes, refusals);
    }

    std::vector<std::uint8_t> profiles;
    std::optional<std::size_t> storeAt;
    if (!profilesFile.empty()) {
        if (!readFile(profilesFile, profiles, reason)) {
            refusals.push_back(
                {profilesFile.string(), 0, "", "cannot read the profiles file: " + reason});
        } else if (profiles.size() != block::ProfileStoreSize) {
            refusals.push_back({profilesFile.string(), 0, "",
                                "holds " + std::to_string(profiles.size()) +
                                    " bytes; a profile store is exactly 17850 bytes"});
        }
        if (!bytes.empty()) {
            const auto stores = findProfileStores(bytes);
            if (stores.size() == 1) {
                storeAt = stores.front();
            } else {
                refusals.push_back({program.string(), 0, "",
                                    stores.empty() ? "holds no flash profile store mark"
                                                   : "holds " + std::to_string(stores.size()) +
                                                         " flash profile store marks"});
            }
        }
    }
    if (d && !bytes.empty()) {
        checkSimulatorOnlyParts(program, *d, bytes, standInsForSimulator, refusals);
    }
    if (!bytes.empty() && refusals.empty()) {
        checkProfileStores(program, profilesFile, bytes, profiles, storeAt, standInsForSimulator,
                           refusals);
    }
    if (!bytes.empty() && blockAt) {
        checkDigestRecord(program, bytes, *blockAt, !profilesFile.empty(), refusals);
    }
    if (!refusals.empty()) {
        return refuse(refusals);
    }

    const std::vector<std::uint8_t> block = buildBlock(*d);
    if (const auto problem = PackageBlock(block).validatePackage()) {
        // The checks above refuse every such package; this guards them.
        refusals.push_back(
            {description.string(), 0, "", "unusable package: " + problem->describe()});
        return refuse(refusals);
    }
    std::copy(block.begin(), block.end(), bytes.begin() + static_cast<std::ptrdiff_t>(*blockAt));
    if (storeAt) {
        std::copy(profiles.begin(), profiles.end(),
                  bytes.begin() + static_cast<std::ptrdiff_t>(*storeAt));
    }
    const bool recorded = recordDigests(program, bytes, *blockAt);
    // A checksum the linker set stays right; one it left at zero stays unset.
    if (const auto facts = pe::readHeaders(bytes); facts && facts->checksum != 0) {
        pe::writeChecksum(bytes, *facts);
    }

    const fs::path target = output.empty() ? program : output;
    std::error_code ec;
    const fs::perms permissions =
        fs::status(fs::exists(target, ec) ? target : program, ec).permissions();
    std::string error;
    if (!replaceFile(target, bytes, permissions, error)) {
        std::cerr << "zorbel-pack: " << error << "\nzorbel-pack: nothing written\n";
        return 1;
    }
    std::string line = summary(target, *d, storeAt.has_value());
    if (standInsForSimulator) {
        line += ", stand-in flash profiles allowed (for the simulated computer only)";
    }
    if (recorded) {
        line += ", SHA-256 digests recorded";
    }
    std::cout << line << "\n";
    return 0;
}

std::string hex32(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Writes a whole file; false, with the system's reason on standard error, when
// it cannot.
bool writeBytes(const fs::path& file, std::span<const std::uint8_t> bytes) {
    errno = 0;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
        std::cerr << "zorbel-pack: cannot write " << file.string() << ": "
                  << tools::systemReason(errno != 0 ? errno : EIO) << "\n";
        return false;
    }
    return true;
}

// What the program's profile store holds.
ProfileStoreFacts storeFacts(std::span<const std::uint8_t> bytes) {
    ProfileStoreFacts facts;
    const auto stores = findProfileStores(bytes);
    facts.marks = stores.size();
    if (stores.size() == 1) {
        const auto store = bytes.subspan(stores.front(), ProfileStoreSize);
        facts.sha256 = sha256Hex(store);
        facts.standInGroups = StandInGroups(store);
    }
    return facts;
}

// Comment lines saying what the program's profile store holds.
std::string profileStoreNote(const ProfileStoreFacts& facts) {
    if (facts.marks != 1) {
        return facts.marks == 0 ? "# flash profiles: this program has no profile store\n"
                                : "# flash profiles: this program has " +
                                      std::to_string(facts.marks) + " profile store marks\n";
    }
    const std::string digest = "# flash profile store SHA-256: " + *facts.sha256 + "\n";
    if (facts.standInGroups.empty()) {
        return "# flash profiles: replaced, no stand-in left (the store as given with "
               "--profiles)\n" +
               digest;
    }
    return "# flash profiles: " + standInList(facts.standInGroups) +
           ", for the simulated computer only; the real program refuses to start with them\n" +
           digest;
}

// Comment lines saying whether a Windows program is signed and whether its
// checksum is right; nothing for other programs.
std::string windowsNote(std::span<const std::uint8_t> bytes) {
    const auto facts = pe::readHeaders(bytes);
    if (!facts) {
        return "";
    }
    std::string note =
        facts->isSigned()
            ? "# signature: Authenticode, " + std::to_string(facts->certificatesSize) +
                  " bytes at " + std::to_string(facts->certificatesAt) + "\n"
            : "# signature: none (sign the filled program, never fill a signed one)\n";
    const std::uint32_t sum = pe::checksumOf(bytes, *facts);
    note += facts->checksum == 0     ? "# PE checksum: not set\n"
            : facts->checksum == sum ? "# PE checksum: right (" + hex32(sum) + ")\n"
                                     : "# PE checksum: wrong (holds " + hex32(facts->checksum) +
                                           ", the file sums to " + hex32(sum) + ")\n";
    return note;
}

// The same facts as data: null for a program that is no Windows program.
nlohmann::ordered_json windowsJson(std::span<const std::uint8_t> bytes) {
    const auto facts = pe::readHeaders(bytes);
    if (!facts) {
        return nullptr;
    }
    nlohmann::ordered_json doc;
    doc["format"] = facts->plus ? "PE32+" : "PE32";
    doc["signed"] = facts->isSigned();
    const std::uint32_t sum = pe::checksumOf(bytes, *facts);
    doc["checksum"] = {{"stored", hex32(facts->checksum)},
                       {"computed", hex32(sum)},
                       {"state", facts->checksum == 0     ? "not set"
                                 : facts->checksum == sum ? "right"
                                                          : "wrong"}};
    return doc;
}

// A comment line saying what the digest record holds and whether it holds.
std::string digestNote(const RecordFacts& facts) {
    if (!facts.check) {
        return facts.records == 0 ? "# digests: this program has no digest record\n"
                                  : "# digests: this program has " + std::to_string(facts.records) +
                                        " digest record marks\n";
    }
    switch (facts.check->outcome) {
        case DigestCheck::Outcome::NoRecord:
            return "# digests: none recorded (the package was not filled by zorbel-pack); the "
                   "program cannot tell a damaged copy\n";
        case DigestCheck::Outcome::Holds:
            return "# digests: SHA-256 of the texts, the constraint table, the options and the "
                   "bin table, the bank and the flash profile store recorded; they hold\n";
        default:
            return "# digests: DO NOT HOLD: " + facts.check->describe() +
                   " changed since the fill; the program refuses to start (\"Invalid F/W in "
                   "executable !\")\n";
    }
}

int show(const fs::path& program, const fs::path& extract, bool json) {
    std::vector<Refusal> refusals;
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (!readFile(program, bytes, reason)) {
        refusals.push_back({program.string(), 0, "", "cannot read the program file: " + reason});
        return refuse(refusals);
    }
    const auto blockAt = theBlock(program, bytes, refusals);
    if (!blockAt) {
        return refuse(refusals);
    }
    const PackageBlock block(
        std::span<const std::uint8_t>(bytes).subspan(*blockAt, block::BlockSize));
    std::vector<std::string> warnings;
    PackageDescription d = describeBlock(block, warnings);
    for (const std::string& warning : warnings) {
        std::cerr << "zorbel-pack: warning: " << warning << "\n";
    }

    if (!extract.empty()) {
        std::error_code ec;
        fs::create_directories(extract, ec);
        if (ec) {
            std::cerr << "zorbel-pack: cannot create the folder " << extract.string() << ": "
                      << ec.message() << "\n";
            return 1;
        }
        for (std::size_t j = 0; j < d.bins.size(); ++j) {
            if (d.bankUntouched) {
                continue;
            }
            const std::string name = "bin" + std::to_string(j + 1) + ".bin";
            if (!writeBytes(extract / name, d.bins[j].imageBytes)) {
                return 1;
            }
            d.bins[j].image = name;
        }
        const auto stores = findProfileStores(bytes);
        if (stores.size() == 1) {
            const auto store = std::span<const std::uint8_t>(bytes).subspan(
                stores.front(), block::ProfileStoreSize);
            if (!writeBytes(extract / "profiles.bin", store)) {
                return 1;
            }
        }
        const std::string text = renderDescription(d);
        if (!writeBytes(
                extract / "package.toml",
                std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))) {
            return 1;
        }
    }
    const ProfileStoreFacts facts = storeFacts(bytes);
    const RecordFacts record = recordFactsOf(bytes, *blockAt);
    if (json) {
        nlohmann::ordered_json doc = showJson(program.string(), d, facts, record, warnings);
        doc["windows_program"] = windowsJson(bytes);
        std::cout << doc.dump(2) << "\n";
    } else {
        std::cout << profileStoreNote(facts) << digestNote(record) << windowsNote(bytes)
                  << renderDescription(d);
    }
    return 0;
}

// Compares a filled program with an unfilled build outside what packaging and
// signing write. Status 0 when it is that build, 1 when not or unreadable.
int sameBuild(const fs::path& program, const fs::path& unfilled, bool json) {
    std::vector<Refusal> refusals;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> built;
    std::string reason;
    if (!readFile(program, bytes, reason)) {
        refusals.push_back({program.string(), 0, "", "cannot read the program file: " + reason});
    }
    if (!readFile(unfilled, built, reason)) {
        refusals.push_back({unfilled.string(), 0, "", "cannot read the program file: " + reason});
    } else if (const auto facts = pe::readHeaders(built); facts && facts->isSigned()) {
        refusals.push_back({unfilled.string(), 0, "",
                            "carries a signature: compare with the unsigned build as the release "
                            "gives it"});
    }
    const auto blockAt = bytes.empty() ? std::nullopt : theBlock(program, bytes, refusals);
    if (!refusals.empty()) {
        for (const Refusal& r : refusals) {
            std::cerr << "zorbel-pack: refused: " << r.text() << "\n";
        }
        return 1;
    }
    const auto stores = findProfileStores(bytes);
    const SameBuild result = compareWithBuild(
        bytes, *blockAt,
        stores.size() == 1 ? std::optional<std::size_t>(stores.front()) : std::nullopt, built);
    if (json) {
        std::cout << sameBuildJson(program.string(), unfilled.string(), result).dump(2) << "\n";
    } else {
        std::cout << sameBuildText(program.string(), unfilled.string(), result) << "\n";
    }
    return result.same() ? 0 : 1;
}

constexpr const char* Footer = R"(
Exit status: 0 done, 1 refused (every reason is printed as FILE:LINE: KEY: RULE
and nothing is written) or a file could not be read or written, 2 a usage
error. The description format and the JSON that show --json prints are
described in tools/zorbel-pack/README.md.)";

constexpr const char* FillFooter = R"(
A freshly built program carries stand-in flash profiles, which are no program
for a drive's controller. While PROGRAM's store holds any of them, one of
--profiles FILE (the drive maker's profiles: for zorbel) or --stand-in-profiles
(for zorbel-sim only) is required. Once the maker's profiles are in place,
later fills need neither.)";

constexpr const char* SameBuildFooter = R"(
Every byte of PROGRAM is compared with UNFILLED except its package block, its
flash profile store, and in a Windows program its PE checksum and its
signature (with the zero bytes that align it). Exit status 0 when every other
byte is the same, 1 when one differs or a file cannot be read.)";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"zorbel-pack: fill, show or check the firmware package of a Zorbel program"};
    app.footer(Footer);
    app.require_subcommand(1);

    fs::path program;
    fs::path description;
    fs::path output;
    fs::path profiles;
    CLI::App* fillCommand =
        app.add_subcommand("fill", "write a package description into PROGRAM's package block");
    fillCommand->footer(FillFooter);
    fillCommand->add_option("PROGRAM", program, "the built Zorbel program")
        ->required()
        ->type_name("FILE");
    fillCommand->add_option("DESCRIPTION", description, "the package description (TOML)")
        ->required()
        ->type_name("FILE");
    fillCommand
        ->add_option("-o,--output", output,
                     "write the packed program here (default: rewrite PROGRAM in place)")
        ->type_name("FILE");
    bool standIns = false;
    CLI::Option* profilesOption =
        fillCommand
            ->add_option("--profiles", profiles,
                         "replace the flash profile store with the drive maker's 17850-byte file "
                         "(required, or "
                         "--stand-in-profiles, while PROGRAM holds stand-in profiles)")
            ->type_name("FILE");
    fillCommand
        ->add_flag("--stand-in-profiles", standIns,
                   "keep the stand-in flash profiles a built program carries: only for a copy "
                   "of zorbel-sim, which runs on the simulated computer")
        ->excludes(profilesOption);

    fs::path showProgram;
    fs::path extract;
    bool json = false;
    CLI::App* showCommand =
        app.add_subcommand("show", "print PROGRAM's package as a package description");
    showCommand->add_option("PROGRAM", showProgram, "the Zorbel program")
        ->required()
        ->type_name("FILE");
    showCommand
        ->add_option("--extract", extract,
                     "also write the images, profiles.bin and package.toml into this folder")
        ->type_name("DIR");
    showCommand->add_flag("--json", json,
                          "print the package as JSON (schema zorbel-pack-show, version 1)");

    fs::path sameProgram;
    fs::path unfilled;
    bool sameJson = false;
    CLI::App* sameCommand = app.add_subcommand(
        "same-build", "say whether PROGRAM is the unfilled build UNFILLED with a package");
    sameCommand->footer(SameBuildFooter);
    sameCommand->add_option("PROGRAM", sameProgram, "the filled (and maybe signed) program")
        ->required()
        ->type_name("FILE");
    sameCommand->add_option("UNFILLED", unfilled, "the same program as a release build gives it")
        ->required()
        ->type_name("FILE");
    sameCommand->add_flag("--json", sameJson,
                          "print the verdict as JSON (schema zorbel-pack-same-build, version 1)");

    if (argc > 1 && argv[1][0] != '-' && std::string_view(argv[1]) != "fill" &&
        std::string_view(argv[1]) != "show" && std::string_view(argv[1]) != "same-build") {
        std::cerr << "zorbel-pack: unknown command '" << argv[1]
                  << "' (fill, show or same-build)\nusage: " << Usage << "\n";
        return tools::ExitUsage;
    }
    if (const auto status = tools::readCommandLine(app, argc, argv, "zorbel-pack", Usage)) {
        return *status;
    }
    if (fillCommand->parsed()) {
        return fill(program, description, output, profiles, standIns);
    }
    if (sameCommand->parsed()) {
        return sameBuild(sameProgram, unfilled, sameJson);
    }
    return show(showProgram, extract, json);
}
