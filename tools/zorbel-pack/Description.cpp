#include "tools/zorbel-pack/Description.h"

#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "package/Matching.h"
#include "package/PackageBlock.h"
#include "tools/zorbel-pack/Pack.h"
#include "tools/zorbel-pack/Sha256.h"

namespace zorbel::pack {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view OptionKeys[block::OptionCount] = {
    "N2OMESSAGE", "CHKDISC", "BOOTCODE",  "REBOOT",       "AUTOMODE",
    "CLOSEAP",    "WARNING", "NBWARNING", "HOW_MANY_BIN",
};

unsigned lineOf(const toml::node& node) {
    return node.source().begin.line;
}

// Collects refusals against one description file.
class Checker {
  public:
    Checker(std::string file, std::vector<Refusal>& refusals)
        : file_(std::move(file)), refusals_(refusals) {}

    void refuse(unsigned line, std::string key, std::string rule) {
        refusals_.push_back({file_, line, std::move(key), std::move(rule)});
    }

    // Refuses every key of `table` that is not in `known`.
    void knownKeys(const toml::table& table, std::initializer_list<std::string_view> known,
                   const std::string& prefix) {
        for (const auto& [key, node] : table) {
            if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
                refuse(lineOf(node), prefix + std::string(key.str()), "unknown key");
            }
        }
    }

    // A text of at most `maxLength` stored bytes. Absent: `fallback`, or a
    // refusal when there is none.
    std::string text(const toml::table& table, std::string_view key, const std::string& name,
                     std::size_t maxLength, const std::optional<std::string>& fallback,
                     unsigned tableLine) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            if (!fallback) {
                refuse(tableLine, name, "missing (a text is required)");
                return {};
            }
            return *fallback;
        }
        const auto* value = node->as_string();
        if (value == nullptr) {
            refuse(lineOf(*node), name, "must be a text in quotes");
            return {};
        }
        const std::optional<std::string> bytes = bytesFromUtf8(value->get());
        if (!bytes) {
            refuse(lineOf(*node), name,
                   "holds a character outside U+0001 to U+00FF (texts are stored one byte per "
                   "character)");
            return {};
        }
        if (bytes->size() > maxLength) {
            refuse(lineOf(*node), name,
                   "is " + std::to_string(bytes->size()) + " characters, longer than the " +
                       std::to_string(maxLength) + " its slot holds");
            return {};
        }
        return *bytes;
    }

    // A revision code: exactly four characters, or (when `emptyAllowed`)
    // absent or "" for no bound.
    std::string revision(const toml::table& table, std::string_view key, const std::string& name,
                         bool emptyAllowed, unsigned tableLine) {
        const toml::node* node = table.get(key);
        if (node == nullptr && emptyAllowed) {
            return {};
        }
        const std::size_t before = refusals_.size();
        const std::string value = text(table, key, name, 64, std::nullopt, tableLine);
        if (refusals_.size() == before && value.size() != block::RevisionUsed &&
            !(emptyAllowed && value.empty())) {
            refuse(lineOf(*node), name,
                   "a revision must be exactly 4 characters (\"" + utf8FromBytes(value) +
                       "\" has " + std::to_string(value.size()) + ")");
        }
        return value;
    }

    std::optional<std::int64_t> integer(const toml::table& table, std::string_view key,
                                        const std::string& name) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return std::nullopt;
        }
        const auto* value = node->as_integer();
        if (value == nullptr) {
            refuse(lineOf(*node), name, "must be a whole number");
            return std::nullopt;
        }
        return value->get();
    }

  private:
    std::string file_;
    std::vector<Refusal>& refusals_;
};

std::string defaultText(std::size_t offset, std::size_t size) {
    return PackageBlock::embedded().slotText(offset, size);
}

// What to add to a bin under which a drive of any make would fit.
std::string anyMakeAdvice(const std::string& bin) {
    return "add vendor and product exactly as the drives report them (zorbel-probe lists them, "
           "blanks included), or any_drive = true in " +
           bin + " if it is meant for drives of every make";
}

void parseConstraint(Checker& check, const toml::node& node, const std::string& name,
                     SlotDescription& slot) {
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        check.refuse(lineOf(node), name, "must be a table of lowest, highest, vendor, product");
        return;
    }
    const unsigned line = lineOf(node);
    slot.line = line;
    check.knownKeys(*table, {"untouched", "lowest", "highest", "vendor", "product", "short_text"},
                    name + ".");
    if (const toml::node* untouched = table->get("untouched")) {
        if (!untouched->is_boolean() || !untouched->as_boolean()->get()) {
            check.refuse(lineOf(*untouched), name + ".untouched", "may only be true");
        } else if (table->size() != 1) {
            check.refuse(line, name, "an untouched slot takes no other keys");
        }
        slot.untouched = true;
        return;
    }
    slot.lowestRevision = check.revision(*table, "lowest", name + ".lowest", true, line);
    slot.highestRevision = check.revision(*table, "highest", name + ".highest", true, line);
    // Both bounds are inclusive and compared as the program compares them.
    if (slot.lowestRevision.size() == block::RevisionUsed &&
        slot.highestRevision.size() == block::RevisionUsed &&
        compareTexts(slot.lowestRevision, slot.highestRevision) > 0) {
        check.refuse(lineOf(*table->get("lowest")), name + ".lowest",
                     "\"" + utf8FromBytes(slot.lowestRevision) + "\" lies above highest \"" +
                         utf8FromBytes(slot.highestRevision) +
                         "\": the slot would accept no drive (swap the two bounds)");
    }
    slot.vendor = check.text(*table, "vendor", name + ".vendor", block::VendorUsed, "", line);
    slot.product = check.text(*table, "product", name + ".product", block::ProductUsed, "", line);
    if (const toml::node* shortText = table->get("short_text")) {
        if (!shortText->is_boolean()) {
            check.refuse(lineOf(*shortText), name + ".short_text", "must be true or false");
        } else {
            slot.shortText = shortText->as_boolean()->get();
        }
    }
    // Drives report all 8 and 16 characters, trailing blanks included; a
    // shorter text can never equal theirs, unless the slot says it means it.
    const auto refuseShort = [&](std::string_view key, const std::string& text, std::size_t full) {
        if (!slot.shortText && !text.empty() && text.size() < full) {
            check.refuse(lineOf(*table->get(key)), name + "." + std::string(key),
                         "\"" + utf8FromBytes(text) + "\" is " + std::to_string(text.size()) +
                             " characters; drives report " + std::to_string(full) +
                             ", so no drive would match it: pad it with blanks as zorbel-probe "
                             "shows it (or short_text = true in " +
                             name + " if it is meant)");
        }
    };
    refuseShort("vendor", slot.vendor, block::VendorUsed);
    refuseShort("product", slot.product, block::ProductUsed);
}

void parseBin(Checker& check, const toml::node& node, unsigned index, const fs::path& folder,
              BinDescription& bin) {
    const std::string name = "bin[" + std::to_string(index + 1) + "]";
    const toml::table* table = node.as_table();
    if (table == nullptr) {
        check.refuse(lineOf(node), name, "must be a table ([[bin]])");
        return;
    }
    bin.line = lineOf(node);
    check.knownKeys(*table, {"image", "start", "size", "new_revision", "constraint", "any_drive"},
                    name + ".");
    if (const toml::node* image = table->get("image")) {
        if (const auto* path = image->as_string()) {
            bin.image = folder / fs::path(path->get());
        } else {
            check.refuse(lineOf(*image), name + ".image", "must be a file name in quotes");
        }
    }
    bin.start = check.integer(*table, "start", name + ".start");
    bin.size = check.integer(*table, "size", name + ".size");
    bin.newRevision =
        check.revision(*table, "new_revision", name + ".new_revision", false, bin.line);
    if (const toml::node* anyDrive = table->get("any_drive")) {
        if (!anyDrive->is_boolean()) {
            check.refuse(lineOf(*anyDrive), name + ".any_drive", "must be true or false");
        } else {
            bin.anyDrive = anyDrive->as_boolean()->get();
        }
    }
    const toml::node* constraints = table->get("constraint");
    if (constraints == nullptr) {
        if (!bin.anyDrive) {
            check.refuse(bin.line, name + ".constraint",
                         "missing: a bin without constraint slots accepts a drive of any make; " +
                             anyMakeAdvice(name));
        }
        return;
    }
    const toml::array* list = constraints->as_array();
    if (list == nullptr) {
        check.refuse(lineOf(*constraints), name + ".constraint",
                     "must be a list of slots ([[bin.constraint]])");
        return;
    }
    if (list->size() > block::SlotsPerBin) {
        check.refuse(lineOf(*constraints), name + ".constraint",
                     std::to_string(list->size()) + " slots, more than the 8 a bin holds");
        return;
    }
    bin.constraints.resize(list->size());
    for (std::size_t k = 0; k < list->size(); ++k) {
        parseConstraint(check, *list->get(k), name + ".constraint[" + std::to_string(k + 1) + "]",
                        bin.constraints[k]);
    }
    if (bin.anyDrive) {
        return;
    }
    if (list->empty()) {
        check.refuse(lineOf(*constraints), name + ".constraint",
                     "is empty: a bin without constraint slots accepts a drive of any make; " +
                         anyMakeAdvice(name));
    } else if (bin.constraints.front().untouched) {
        check.refuse(bin.constraints.front().line, name + ".constraint[1].untouched",
                     "an untouched first slot accepts a drive of any make; " + anyMakeAdvice(name));
    }
    for (std::size_t k = 0; k < bin.constraints.size(); ++k) {
        const SlotDescription& slot = bin.constraints[k];
        if (!slot.untouched && slot.vendor.empty() && slot.product.empty()) {
            check.refuse(slot.line, name + ".constraint[" + std::to_string(k + 1) + "]",
                         "names neither vendor nor product, so a drive of any make fits it; " +
                             anyMakeAdvice(name));
        }
    }
}

std::vector<std::uint8_t> readBytes(const fs::path& file, bool& ok, std::string& reason) {
    std::vector<std::uint8_t> bytes;
    ok = readFile(file, bytes, reason);
    return bytes;
}

}  // namespace

bool acceptsAnyMake(const BinDescription& bin) {
    if (bin.constraints.empty() || bin.constraints.front().untouched) {
        return true;
    }
    return std::any_of(bin.constraints.begin(), bin.constraints.end(),
                       [](const SlotDescription& slot) {
                           return !slot.untouched && slot.vendor.empty() && slot.product.empty();
                       });
}

std::string Refusal::text() const {
    std::string out = file;
    if (line != 0) {
        out += ":" + std::to_string(line);
    }
    out += ": ";
    if (!key.empty()) {
        out += key + ": ";
    }
    return out + rule;
}

std::optional<std::string> bytesFromUtf8(std::string_view utf8) {
    std::string bytes;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        unsigned codePoint = 0;
        if (lead < 0x80) {
            codePoint = lead;
            i += 1;
        } else if ((lead & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
            codePoint = ((lead & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
            i += 2;
        } else {
            return std::nullopt;  // three- and four-byte characters lie above U+00FF
        }
        if (codePoint == 0 || codePoint > 0xFF) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(codePoint));
    }
    return bytes;
}

std::string utf8FromBytes(std::string_view bytes) {
    std::string utf8;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            utf8.push_back(c);
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (b >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return utf8;
}

std::optional<PackageDescription> parseDescription(const fs::path& file,
                                                   std::vector<Refusal>& refusals) {
    const std::size_t before = refusals.size();
    const std::string fileName = file.string();
    Checker check(fileName, refusals);
    std::vector<std::uint8_t> bytes;
    std::string reason;
    if (!readFile(file, bytes, reason)) {
        check.refuse(0, "", "cannot read the package description: " + reason);
        return std::nullopt;
    }
    toml::table root;
    try {
        root = toml::parse(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), fileName);
    } catch (const toml::parse_error& error) {
        std::ostringstream rule;
        rule << "not valid TOML: " << error.description();
        check.refuse(error.source().begin.line, "", rule.str());
        return std::nullopt;
    }

    PackageDescription d;
    d.file = fileName;
    check.knownKeys(root,
                    {"title", "supported_drives", "version", "date", "credit", "unread", "spare",
                     "bank", "options", "bin"},
                    "");
    using namespace block;
    d.title = check.text(root, "title", "title", TitleSize - 1, std::nullopt, 1);
    d.supportedDrives = check.text(root, "supported_drives", "supported_drives",
                                   SupportedDrivesSize - 1, std::nullopt, 1);
    d.version = check.text(root, "version", "version", VersionSize - 1,
                           defaultText(VersionOffset, VersionSize), 1);
    d.date = check.text(root, "date", "date", PackageDateSize - 1,
                        defaultText(PackageDateOffset, PackageDateSize), 1);
    d.credit = check.text(root, "credit", "credit", CreditSize - 1,
                          defaultText(CreditOffset, CreditSize), 1);
    d.unread = check.text(root, "unread", "unread", UnreadSize - 1,
                          defaultText(UnreadOffset, UnreadSize), 1);
    d.spare =
        check.text(root, "spare", "spare", SpareSize - 1, defaultText(SpareOffset, SpareSize), 1);
    if (const toml::node* bank = root.get("bank")) {
        if (bank->value<std::string>() == "untouched") {
            d.bankUntouched = true;
        } else {
            check.refuse(lineOf(*bank), "bank",
                         "may only be \"untouched\" (leave it out to lay out the images)");
        }
    }

    // Bins first: HOW_MANY_BIN is checked against them.
    if (const toml::node* bins = root.get("bin")) {
        const toml::array* list = bins->as_array();
        if (list == nullptr) {
            check.refuse(lineOf(*bins), "bin", "must be a list of bins ([[bin]])");
        } else {
            if (list->size() > BinCount) {
                check.refuse(
                    lineOf(*bins), "bin",
                    std::to_string(list->size()) + " bins, more than the 4 a package holds");
            }
            d.bins.resize(std::min<std::size_t>(list->size(), BinCount));
            for (unsigned j = 0; j < d.bins.size(); ++j) {
                parseBin(check, *list->get(j), j, file.parent_path(), d.bins[j]);
            }
        }
    }
    if (d.bins.empty()) {
        check.refuse(1, "bin", "a package needs 1 to 4 bins ([[bin]] tables); none given");
    }

    const toml::node* optionsNode = root.get("options");
    const toml::table* options = optionsNode ? optionsNode->as_table() : nullptr;
    if (options == nullptr) {
        check.refuse(optionsNode ? lineOf(*optionsNode) : 1, "options",
                     "an [options] table with the option digits is required");
    } else {
        const std::string prefix = "options.";
        check.knownKeys(*options,
                        {"N2OMESSAGE", "CHKDISC", "BOOTCODE", "REBOOT", "AUTOMODE", "CLOSEAP",
                         "WARNING", "NBWARNING", "HOW_MANY_BIN"},
                        prefix);
        const unsigned tableLine = lineOf(*optionsNode);
        for (unsigned i = 0; i < OptionCount; ++i) {
            const std::string name = prefix + std::string(OptionKeys[i]);
            const bool isBinCount = static_cast<Option>(i) == Option::HOW_MANY_BIN;
            const toml::node* node = options->get(OptionKeys[i]);
            if (node == nullptr) {
                if (isBinCount) {
                    d.options[i] = static_cast<unsigned>(d.bins.size());
                } else {
                    check.refuse(tableLine, name, "missing (every option needs its digit)");
                }
                continue;
            }
            const auto value = check.integer(*options, OptionKeys[i], name);
            if (!value) {
                continue;
            }
            if (*value < 0 || *value > 9) {
                check.refuse(lineOf(*node), name,
                             std::to_string(*value) + " is not one decimal digit (0 to 9)");
                continue;
            }
            d.options[i] = static_cast<unsigned>(*value);
            if (isBinCount && (*value < 1 || *value > 4)) {
                check.refuse(lineOf(*node), name, "must be 1 to 4");
            } else if (isBinCount && static_cast<std::size_t>(*value) != d.bins.size()) {
                check.refuse(lineOf(*node), name,
                             std::to_string(*value) + " differs from the " +
                                 std::to_string(d.bins.size()) + " bins described");
            }
        }
    }

    for (unsigned j = 0; j < d.bins.size(); ++j) {
        const BinDescription& bin = d.bins[j];
        const std::string name = "bin[" + std::to_string(j + 1) + "]";
        if (d.bankUntouched && bin.image) {
            check.refuse(bin.line, name + ".image", "an untouched bank holds no images");
        }
        if (d.bankUntouched && !bin.size) {
            check.refuse(bin.line, name + ".size", "a bin of an untouched bank needs its size");
        }
        if (!d.bankUntouched && !bin.image) {
            check.refuse(bin.line, name + ".image", "missing (every bin needs its image file)");
        }
    }
    if (refusals.size() != before) {
        return std::nullopt;
    }
    return d;
}

bool loadImages(PackageDescription& d, std::vector<Refusal>& refusals) {
    const std::size_t before = refusals.size();
    Checker check(d.file, refusals);
    std::int64_t nextStart = 0;
    const auto bank = static_cast<std::int64_t>(block::BankSize);
    for (unsigned j = 0; j < d.bins.size(); ++j) {
        BinDescription& bin = d.bins[j];
        const std::string name = "bin[" + std::to_string(j + 1) + "]";
        if (bin.image) {
            bool ok = false;
            std::string reason;
            bin.imageBytes = readBytes(*bin.image, ok, reason);
            if (!ok) {
                bin.start = bin.start.value_or(nextStart);
                check.refuse(bin.line, name + ".image",
                             "cannot read the image file " + bin.image->string() + ": " + reason);
                continue;
            }
            const auto length = static_cast<std::int64_t>(bin.imageBytes.size());
            if (bin.size && *bin.size != length) {
                check.refuse(bin.line, name + ".size",
                             std::to_string(*bin.size) + " differs from the image's " +
                                 std::to_string(length) + " bytes");
                continue;
            }
            bin.size = length;
        }
        const std::int64_t size = bin.size.value_or(0);
        const bool startGiven = bin.start.has_value();
        const std::int64_t start = bin.start.value_or(nextStart);
        bin.start = start;
        nextStart = start + size;
        const std::string what = bin.image ? "the image " + bin.image->string() : "size";
        // Placed after a bin that already ran past the bank: that bin's
        // refusal names the cause.
        const bool afterPastBank = !startGiven && start > bank;
        if (size <= 0) {
            check.refuse(bin.line, name + ".image", what + " is empty");
        } else if (size % block::ImageBlockSize != 0) {
            check.refuse(bin.line, name + ".image",
                         what + " is " + std::to_string(size) +
                             " bytes, not a whole number of 16384-byte blocks");
        } else if (start < 0) {
            check.refuse(bin.line, name + ".start", "must not be negative");
        } else if (start + size > bank && !afterPastBank) {
            // A start the description did not give is the previous bin's end:
            // then this bin's size is what does not fit.
            check.refuse(bin.line, name + (startGiven ? ".start" : ".image"),
                         "bytes " + std::to_string(start) + " to " + std::to_string(start + size) +
                             " run past the end of the 1048576-byte bank" +
                             (startGiven ? std::string()
                                         : " (placed right after bin[" + std::to_string(j) +
                                               "], since no start is given)"));
        }
    }
    // Overlaps, between bins that are each inside the bank.
    for (unsigned a = 0; a < d.bins.size(); ++a) {
        for (unsigned b = a + 1; b < d.bins.size(); ++b) {
            const auto& x = d.bins[a];
            const auto& y = d.bins[b];
            if (x.size.value_or(0) <= 0 || y.size.value_or(0) <= 0) {
                continue;
            }
            const std::int64_t xs = x.start.value_or(0);
            const std::int64_t ys = y.start.value_or(0);
            if (xs < ys + *y.size && ys < xs + *x.size) {
                check.refuse(y.line, "bin[" + std::to_string(b + 1) + "].start",
                             "its bytes overlap those of bin[" + std::to_string(a + 1) + "]");
            }
        }
    }
    // An image at the bank's start that begins like the empty-bank mark would
    // make the program take the bank for empty and refuse every drive.
    for (unsigned j = 0; j < d.bins.size(); ++j) {
        const auto& bin = d.bins[j];
        const std::string_view mark =
            block::BankPlaceholder.substr(0, block::BankPlaceholderCompared);
        if (bin.start == 0 && bin.imageBytes.size() >= mark.size() &&
            std::equal(mark.begin(), mark.end(), bin.imageBytes.begin())) {
            check.refuse(bin.line, "bin[" + std::to_string(j + 1) + "].image",
                         "begins with the empty-bank mark; the program would refuse every drive");
        }
    }
    return refusals.size() == before;
}

namespace {

// A TOML basic string of stored text bytes: printable ASCII as it is, every
// other byte as the \u escape of the character it stands for.
std::string tomlString(std::string_view bytes) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '"' || b == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else {
            out += "\\u00";
            out.push_back(Hex[b >> 4]);
            out.push_back(Hex[b & 0xF]);
        }
    }
    return out + "\"";
}

}  // namespace

std::string renderDescription(const PackageDescription& d) {
    std::ostringstream out;
    out << "# Zorbel package description (format: tools/zorbel-pack/README.md)\n";
    out << "title = " << tomlString(d.title) << "\n";
    out << "supported_drives = " << tomlString(d.supportedDrives) << "\n";
    out << "version = " << tomlString(d.version) << "\n";
    out << "date = " << tomlString(d.date) << "\n";
    out << "credit = " << tomlString(d.credit) << "\n";
    out << "unread = " << tomlString(d.unread) << "\n";
    out << "spare = " << tomlString(d.spare) << "\n";
    if (d.bankUntouched) {
        out << "bank = \"untouched\"\n";
    }
    out << "\n[options]\n";
    for (unsigned i = 0; i < block::OptionCount; ++i) {
        out << OptionKeys[i] << " = " << d.options[i] << "\n";
    }
    for (const BinDescription& bin : d.bins) {
        out << "\n[[bin]]\n";
        if (bin.image) {
            out << "image = " << tomlString(bin.image->generic_string()) << "\n";
        } else if (!d.bankUntouched) {
            out << "# image not extracted (zorbel-pack show PROGRAM --extract DIR)\n";
        }
        out << "start = " << bin.start.value_or(0) << "\n";
        out << "size = " << bin.size.value_or(0) << "\n";
        if (!d.bankUntouched) {
            out << "# image SHA-256: " << sha256Hex(bin.imageBytes) << "\n";
        }
        out << "new_revision = " << tomlString(bin.newRevision) << "\n";
        if (acceptsAnyMake(bin)) {
            out << "any_drive = true\n";
        }
        if (bin.constraints.empty()) {
            continue;
        }
        out << "constraint = [\n";
        for (const SlotDescription& slot : bin.constraints) {
            if (slot.untouched) {
                out << "    { untouched = true },\n";
                continue;
            }
            std::string fields;
            auto field = [&](std::string_view key, const std::string& value) {
                if (!value.empty()) {
                    fields +=
                        (fields.empty() ? "" : ", ") + std::string(key) + " = " + tomlString(value);
                }
            };
            field("lowest", slot.lowestRevision);
            field("highest", slot.highestRevision);
            field("vendor", slot.vendor);
            field("product", slot.product);
            if ((!slot.vendor.empty() && slot.vendor.size() < block::VendorUsed) ||
                (!slot.product.empty() && slot.product.size() < block::ProductUsed)) {
                fields += ", short_text = true";
            }
            out << "    { " << fields << " },\n";
        }
        out << "]\n";
    }
    return out.str();
}

}  // namespace zorbel::pack
