#include "tools/zorbel-pack/Pack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "tools/common/ToolConventions.h"

namespace zorbel::pack {

namespace {

namespace fs = std::filesystem;
using namespace block;

bool holdsAt(std::span<const std::uint8_t> file, std::size_t offset, std::string_view text) {
    return offset + text.size() <= file.size() &&
           std::memcmp(file.data() + offset, text.data(), text.size()) == 0;
}

std::string binKey(std::string_view stem, unsigned bin) {
    return std::string(stem) + std::to_string(bin + 1) + "=";
}

// The 16 bytes that mark the profile store. Put together at run time so that
// this tool's own file holds no second copy of the mark as one literal.
std::string profileStoreMark() {
    std::string mark = "ZORBEL_";
    mark += "PROFILES";
    mark.push_back('\0');
    return mark;
}

bool holdsText(std::span<const std::uint8_t> bytes, const std::string& text) {
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

class BlockWriter {
  public:
    BlockWriter() : bytes_(BlockSize, 0) {}

    void text(std::size_t offset, std::size_t size, std::string_view text) {
        std::memset(bytes_.data() + offset, 0, size);
        std::memcpy(bytes_.data() + offset, text.data(), std::min(text.size(), size));
    }
    void number(std::size_t offset, std::size_t size, std::string_view key, std::int64_t value) {
        std::string digits = std::to_string(value);
        digits.insert(0, NumberDigits > digits.size() ? NumberDigits - digits.size() : 0, '0');
        text(offset, size, std::string(key) + digits);
    }
    void emptySlot(unsigned bin, unsigned slot) {
        const std::size_t base = constraintSlotOffset(bin, slot);
        text(base + LowestOffset, LowestFieldSize,
             std::string(EmptySlotMarkStem) + std::to_string(bin + 1) + std::to_string(slot + 1));
        text(base + HighestOffset, HighestFieldSize, EmptyFieldMark);
        text(base + VendorOffset, VendorFieldSize, EmptyFieldMark);
        text(base + ProductOffset, ProductFieldSize, EmptyFieldMark);
    }
    void slot(unsigned bin, unsigned slot, const SlotDescription& d) {
        if (d.untouched) {
            emptySlot(bin, slot);
            return;
        }
        const std::size_t base = constraintSlotOffset(bin, slot);
        text(base + LowestOffset, LowestFieldSize, d.lowestRevision);
        text(base + HighestOffset, HighestFieldSize, d.highestRevision);
        text(base + VendorOffset, VendorFieldSize, d.vendor);
        text(base + ProductOffset, ProductFieldSize, d.product);
    }
    void image(std::int64_t start, std::span<const std::uint8_t> image) {
        if (start < 0 || static_cast<std::size_t>(start) + image.size() > BankSize) {
            return;  // refused before any block is built
        }
        std::copy(image.begin(), image.end(), bytes_.begin() + BankOffset + start);
    }

    std::vector<std::uint8_t> take() { return std::move(bytes_); }

  private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace

std::vector<std::size_t> findBlocks(std::span<const std::uint8_t> file) {
    std::vector<std::size_t> found;
    if (file.size() < BlockSize) {
        return found;
    }
    const auto* first = file.data();
    const auto* last =
        file.data() + (file.size() - BlockSize) + TableLabelOffset + TableLabel.size();
    const auto* it = first;
    while ((it = std::search(it, last, TableLabel.begin(), TableLabel.end())) != last) {
        const auto labelAt = static_cast<std::size_t>(it - first);
        ++it;
        if (labelAt < TableLabelOffset) {
            continue;
        }
        const std::size_t start = labelAt - TableLabelOffset;
        bool keys = holdsAt(file, start + TableLabelOffset, std::string(TableLabel) + '\0');
        for (const OptionSlot& option : OptionSlots) {
            keys = keys && holdsAt(file, start + option.offset, option.key);
        }
        for (unsigned bin = 0; keys && bin < BinCount; ++bin) {
            keys = holdsAt(file, start + binStartOffset(bin), binKey(BinStartKeyStem, bin)) &&
                   holdsAt(file, start + binSizeOffset(bin), binKey(BinSizeKeyStem, bin)) &&
                   holdsAt(file, start + newFirmwareOffset(bin), binKey(NewFirmwareKeyStem, bin));
        }
        if (keys) {
            found.push_back(start);
        }
    }
    return found;
}

bool isSimulatedComputerProgram(std::span<const std::uint8_t> file) {
    // Put together at run time, like the store's mark.
    std::string mark = "ZORBEL_SIMULATED_";
    mark += "COMPUTER_PROGRAM";
    mark.push_back('\0');
    return holdsText(file, mark);
}

std::string demonstrationMark() {
    return std::string("ZORBEL DEMONSTRATION") + " IMAGE";
}

bool carriesDemonstrationMark(std::span<const std::uint8_t> image) {
    return holdsText(image, demonstrationMark());
}

std::vector<std::size_t> findProfileStores(std::span<const std::uint8_t> file) {
    std::vector<std::size_t> found;
    const std::string mark = profileStoreMark();
    const auto* it = file.data();
    const auto* end = file.data() + file.size();
    while ((it = std::search(it, end, mark.begin(), mark.end())) != end) {
        const auto at = static_cast<std::size_t>(it - file.data()) + mark.size();
        ++it;
        if (at + ProfileStoreSize <= file.size()) {
            found.push_back(at);
        }
    }
    return found;
}

std::vector<std::uint8_t> buildBlock(const PackageDescription& d) {
    BlockWriter w;
    w.text(CreditOffset, CreditSize, d.credit);
    w.text(VersionOffset, VersionSize, d.version);
    w.text(UnreadOffset, UnreadSize, d.unread);
    w.text(TitleOffset, TitleSize, d.title);
    w.text(PackageDateOffset, PackageDateSize, d.date);
    w.text(SpareOffset, SpareSize, d.spare);
    w.text(SupportedDrivesOffset, SupportedDrivesSize, d.supportedDrives);
    w.text(TableLabelOffset, TableLabelSize, TableLabel);
    for (unsigned i = 0; i < OptionCount; ++i) {
        const OptionSlot& option = OptionSlots[i];
        w.text(option.offset, option.size,
               std::string(option.key) + static_cast<char>('0' + d.options[i] % 10));
    }
    for (unsigned bin = 0; bin < BinCount; ++bin) {
        const BinDescription* described = bin < d.bins.size() ? &d.bins[bin] : nullptr;
        for (unsigned slot = 0; slot < SlotsPerBin; ++slot) {
            if (described != nullptr && slot < described->constraints.size()) {
                w.slot(bin, slot, described->constraints[slot]);
            } else {
                w.emptySlot(bin, slot);
            }
        }
        // Bins not in use read as an untouched block holds them: start and
        // size 0, new revision "N/A ".
        w.number(binStartOffset(bin), BinStartSlotSize, binKey(BinStartKeyStem, bin),
                 described ? described->start.value_or(0) : 0);
        w.number(binSizeOffset(bin), BinSizeSlotSize, binKey(BinSizeKeyStem, bin),
                 described ? described->size.value_or(0) : 0);
        w.text(newFirmwareOffset(bin), NewFirmwareSlotSize,
               binKey(NewFirmwareKeyStem, bin) + (described ? described->newRevision : "N/A "));
    }
    if (d.bankUntouched) {
        w.text(BankOffset, BankSize, BankPlaceholder);
    } else {
        for (const BinDescription& bin : d.bins) {
            w.image(bin.start.value_or(0), bin.imageBytes);
        }
    }
    return w.take();
}

std::string slotNameAt(std::size_t offset) {
    struct Named {
        std::size_t offset;
        std::size_t size;
        std::string_view name;
    };
    static constexpr Named Slots[] = {
        {CreditOffset, CreditSize, "credit"},
        {VersionOffset, VersionSize, "version"},
        {UnreadOffset, UnreadSize, "unread"},
        {TitleOffset, TitleSize, "title"},
        {PackageDateOffset, PackageDateSize, "date"},
        {SpareOffset, SpareSize, "spare"},
        {SupportedDrivesOffset, SupportedDrivesSize, "supported_drives"},
        {TableLabelOffset, TableLabelSize, "table label"},
        {N2oMessageOffset, N2oMessageSize, "options.N2OMESSAGE"},
        {ChkDiscOffset, ChkDiscSize, "options.CHKDISC"},
        {BootCodeOffset, BootCodeSize, "options.BOOTCODE"},
        {RebootOffset, RebootSize, "options.REBOOT"},
        {AutoModeOffset, AutoModeSize, "options.AUTOMODE"},
        {CloseApOffset, CloseApSize, "options.CLOSEAP"},
        {WarningOffset, WarningSize, "options.WARNING"},
        {NbWarningOffset, NbWarningSize, "options.NBWARNING"},
        {HowManyBinOffset, HowManyBinSize, "options.HOW_MANY_BIN"},
    };
    for (const Named& slot : Slots) {
        if (offset >= slot.offset && offset < slot.offset + slot.size) {
            return std::string(slot.name);
        }
    }
    if (offset >= ConstraintsOffset && offset < ConstraintsOffset + ConstraintsSize) {
        const std::size_t index = (offset - ConstraintsOffset) / ConstraintSlotSize;
        return "bin[" + std::to_string(index / SlotsPerBin + 1) + "].constraint[" +
               std::to_string(index % SlotsPerBin + 1) + "]";
    }
    if (offset >= BinStartsOffset && offset < BinStartsOffset + BinStartsSize) {
        return "bin[" + std::to_string((offset - BinStartsOffset) / BinStartSlotSize + 1) +
               "].start";
    }
    if (offset >= BinSizesOffset && offset < BinSizesOffset + BinSizesSize) {
        return "bin[" + std::to_string((offset - BinSizesOffset) / BinSizeSlotSize + 1) + "].size";
    }
    if (offset >= NewFirmwaresOffset && offset < NewFirmwaresOffset + NewFirmwaresSize) {
        return "bin[" + std::to_string((offset - NewFirmwaresOffset) / NewFirmwareSlotSize + 1) +
               "].new_revision";
    }
    return "bank byte " + std::to_string(offset - BankOffset);
}

PackageDescription describeBlock(const PackageBlock& block, std::vector<std::string>& warnings) {
    PackageDescription d;
    d.title = block.slotText(TitleOffset, TitleSize);
    d.supportedDrives = block.slotText(SupportedDrivesOffset, SupportedDrivesSize);
    d.version = block.slotText(VersionOffset, VersionSize);
    d.date = block.slotText(PackageDateOffset, PackageDateSize);
    d.credit = block.slotText(CreditOffset, CreditSize);
    d.unread = block.slotText(UnreadOffset, UnreadSize);
    d.spare = block.slotText(SpareOffset, SpareSize);
    for (unsigned i = 0; i < OptionCount; ++i) {
        d.options[i] = block.option(static_cast<Option>(i));
    }

    std::vector<std::uint8_t> untouchedBank(BankSize, 0);
    std::copy(BankPlaceholder.begin(), BankPlaceholder.end(), untouchedBank.begin());
    const auto bytes = block.bytes();
    d.bankUntouched = bytes.size() >= BlockSize &&
                      std::equal(untouchedBank.begin(), untouchedBank.end(),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(BankOffset));

    const unsigned bins =
        std::min<unsigned>(d.options[static_cast<unsigned>(Option::HOW_MANY_BIN)], BinCount);
    BlockWriter marks;  // the empty mark of every slot, to recognise untouched ones
    for (unsigned bin = 0; bin < bins; ++bin) {
        BinDescription b;
        b.start = block.binStart(bin);
        b.size = block.binSize(bin);
        b.newRevision = block.newFirmwareRevision(bin);
        if (!d.bankUntouched) {
            const auto image = block.binImage(bin);
            b.imageBytes.assign(image.begin(), image.end());
        }
        for (unsigned slot = 0; slot < SlotsPerBin; ++slot) {
            marks.emptySlot(bin, slot);
        }
        const auto markBytes = marks.take();
        marks = BlockWriter();
        for (unsigned slot = 0; slot < SlotsPerBin; ++slot) {
            const std::size_t base = constraintSlotOffset(bin, slot);
            SlotDescription s;
            s.untouched = bytes.size() >= BlockSize &&
                          std::equal(markBytes.begin() + static_cast<std::ptrdiff_t>(base),
                                     markBytes.begin() +
                                         static_cast<std::ptrdiff_t>(base + ConstraintSlotSize),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(base));
            if (!s.untouched) {
                s.lowestRevision = block.slotText(base + LowestOffset, LowestFieldSize);
                s.highestRevision = block.slotText(base + HighestOffset, HighestFieldSize);
                s.vendor = block.slotText(base + VendorOffset, VendorFieldSize);
                s.product = block.slotText(base + ProductOffset, ProductFieldSize);
            }
            b.constraints.push_back(s);
        }
        while (!b.constraints.empty() && b.constraints.back().untouched) {
            b.constraints.pop_back();
        }
        d.bins.push_back(std::move(b));
    }

    // What the description cannot carry: compare the block it builds with the real one.
    const std::vector<std::uint8_t> rebuilt = buildBlock(d);
    if (bytes.size() < BlockSize) {
        warnings.push_back("the block is cut short; only part of it could be read");
        return d;
    }
    std::size_t reported = 0;
    for (std::size_t i = 0; i < BlockSize && reported < 5; ++i) {
        if (rebuilt[i] != bytes[i]) {
            const std::string name = slotNameAt(i);
            warnings.push_back("byte " + std::to_string(i) + " (" + name +
                               ") holds what the description cannot express; fill will not "
                               "reproduce it");
            ++reported;
            // Skip to the next slot: one line per slot is enough.
            while (i + 1 < BlockSize && slotNameAt(i + 1) == name) {
                ++i;
            }
            if (i >= BankOffset) {
                break;
            }
        }
    }
    return d;
}

bool readFile(const fs::path& file, std::vector<std::uint8_t>& bytes, std::string& reason) {
    std::error_code ec;
    if (fs::is_directory(file, ec)) {
        reason = tools::systemReason(EISDIR);
        return false;
    }
    errno = 0;
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        reason = tools::systemReason(errno != 0 ? errno : ENOENT);
        return false;
    }
    const auto size = fs::file_size(file, ec);
    if (ec) {
        reason = ec.message();
        return false;
    }
    bytes.resize(size);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (static_cast<std::size_t>(in.gcount()) != size) {
        reason = errno != 0 ? tools::systemReason(errno) : "the file ended early";
        return false;
    }
    return true;
}

bool readFile(const fs::path& file, std::vector<std::uint8_t>& bytes) {
    std::string reason;
    return readFile(file, bytes, reason);
}

bool replaceFile(const fs::path& target, std::span<const std::uint8_t> bytes, fs::perms permissions,
                 std::string& error) {
    std::random_device random;
    const fs::path temporary =
        target.string() + ".zorbel-pack-" + std::to_string(random() % 1000000000u);
    std::error_code ec;
    {
        errno = 0;
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot create the temporary file " + temporary.string() + ": " +
                    tools::systemReason(errno != 0 ? errno : EIO);
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            const std::string reason = tools::systemReason(errno != 0 ? errno : EIO);
            out.close();
            fs::remove(temporary, ec);
            error = "cannot write the temporary file " + temporary.string() + ": " + reason;
            return false;
        }
    }
    fs::permissions(temporary, permissions, fs::perm_options::replace, ec);
    if (ec) {
        const std::string reason = ec.message();
        fs::remove(temporary, ec);
        error = "cannot set the permissions of " + temporary.string() + ": " + reason;
        return false;
    }
    fs::rename(temporary, target, ec);
    if (ec) {
        const std::string reason = ec.message();
        fs::remove(temporary, ec);
        error = "cannot rename the temporary file over " + target.string() + ": " + reason;
        return false;
    }
    return true;
}

}  // namespace zorbel::pack
