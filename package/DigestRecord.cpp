#include "package/DigestRecord.h"

#include <algorithm>
#include <cstring>

namespace zorbel {

namespace {

using namespace block;

constexpr std::string_view PartNames[DigestPartCount] = {
    "the texts", "the constraint table",    "the options and the bin table",
    "the bank",  "the flash profile store",
};

bool stateIs(std::span<const std::uint8_t> record, std::string_view state) {
    return record.size() >= digest::RecordSize &&
           std::memcmp(record.data() + digest::StateOffset, state.data(), state.size()) == 0;
}

}  // namespace

// The program's record as a freshly built program holds it. Writable and
// marked used, like the package block, so that it lies in the program's data
// where a packaging step can fill it.
extern "C" {
[[gnu::used]] digest::RecordLayout zorbel_package_digests = {
    {'Z', 'O', 'R', 'B', 'E', 'L', '_', 'D', 'I', 'G', 'E', 'S', 'T', 'S', '\0', '\0'},
    {'N', 'O', 'N', 'E', '\0', '\0', '\0', '\0'},
    {},
};
}

std::string_view digestPartName(DigestPart part) {
    return PartNames[static_cast<unsigned>(part)];
}

std::pair<std::size_t, std::size_t> digestPartRange(DigestPart part) {
    switch (part) {
        case DigestPart::Texts:
            return {0, ConstraintsOffset};
        case DigestPart::Constraints:
            return {ConstraintsOffset, ConstraintsOffset + ConstraintsSize};
        case DigestPart::Options:
            return {N2oMessageOffset, BankOffset};
        case DigestPart::Bank:
            return {BankOffset, BlockSize};
        case DigestPart::Profiles:
            break;
    }
    return {0, 0};
}
static_assert(ConstraintsOffset + ConstraintsSize == N2oMessageOffset,
              "the parts cover the whole block");

std::string digest::mark() {
    std::string text = "ZORBEL_";
    text += "DIGESTS";
    text.append(2, '\0');
    return text;
}

std::size_t digestRecordCount(std::span<const std::uint8_t> file) {
    const std::string mark = digest::mark();
    std::size_t count = 0;
    auto it = file.begin();
    while ((it = std::search(it, file.end(), mark.begin(), mark.end())) != file.end()) {
        if (static_cast<std::size_t>(file.end() - it) >= digest::RecordSize) {
            ++count;
        }
        ++it;
    }
    return count;
}

std::optional<std::pair<std::size_t, std::size_t>> digestRecordRange(
    std::span<const std::uint8_t> file) {
    if (digestRecordCount(file) != 1) {
        return std::nullopt;
    }
    const std::string mark = digest::mark();
    const auto at = static_cast<std::size_t>(
        std::search(file.begin(), file.end(), mark.begin(), mark.end()) - file.begin());
    return std::pair{at, at + digest::RecordSize};
}

bool computeDigests(std::span<const std::uint8_t> block, std::span<const std::uint8_t> store,
                    const Sha256Function& sha256,
                    std::array<Sha256Digest, DigestPartCount>& digests, std::string& reason) {
    if (block.size() != BlockSize) {
        reason = "the package block is cut short";
        return false;
    }
    for (unsigned i = 0; i < DigestPartCount; ++i) {
        const auto part = static_cast<DigestPart>(i);
        std::span<const std::uint8_t> bytes = store;
        if (part != DigestPart::Profiles) {
            const auto [first, second] = digestPartRange(part);
            bytes = block.subspan(first, second - first);
        }
        if (!sha256(bytes, digests[i], reason)) {
            return false;
        }
    }
    return true;
}

void writeDigestRecord(std::span<std::uint8_t> record,
                       const std::array<Sha256Digest, DigestPartCount>& digests) {
    const std::string mark = digest::mark();
    std::copy(mark.begin(), mark.end(), record.begin());
    std::copy(digest::FilledState.begin(), digest::FilledState.end(),
              record.begin() + digest::StateOffset);
    for (unsigned i = 0; i < DigestPartCount; ++i) {
        std::copy(digests[i].begin(), digests[i].end(),
                  record.begin() + static_cast<std::ptrdiff_t>(digest::DigestsOffset + 32 * i));
    }
}

std::string DigestCheck::describe() const {
    if (recordDamaged) {
        return "the digest record itself";
    }
    std::string text;
    for (std::size_t i = 0; i < mismatched.size(); ++i) {
        text += i == 0 ? "" : i + 1 == mismatched.size() ? " and " : ", ";
        text += digestPartName(mismatched[i]);
    }
    return text;
}

DigestCheck checkDigestRecord(std::span<const std::uint8_t> record,
                              std::span<const std::uint8_t> block,
                              std::span<const std::uint8_t> store, const Sha256Function& sha256) {
    DigestCheck check;
    const std::string mark = digest::mark();
    const bool marked =
        record.size() >= digest::RecordSize && std::equal(mark.begin(), mark.end(), record.begin());
    if (marked && stateIs(record, digest::NoRecordState)) {
        return check;  // NoRecord
    }
    check.outcome = DigestCheck::Outcome::Mismatch;
    if (!marked || !stateIs(record, digest::FilledState)) {
        check.recordDamaged = true;
        return check;
    }
    std::array<Sha256Digest, DigestPartCount> digests{};
    if (!computeDigests(block, store, sha256, digests, check.reason)) {
        check.outcome = DigestCheck::Outcome::Unchecked;
        return check;
    }
    for (unsigned i = 0; i < DigestPartCount; ++i) {
        const auto stored = record.subspan(digest::DigestsOffset + 32 * i, 32);
        if (!std::equal(stored.begin(), stored.end(), digests[i].begin())) {
            check.mismatched.push_back(static_cast<DigestPart>(i));
        }
    }
    if (check.mismatched.empty()) {
        check.outcome = DigestCheck::Outcome::Holds;
    }
    return check;
}

std::span<const std::uint8_t> embeddedDigestRecord() {
    const void* address = &zorbel_package_digests;
    asm volatile("" : "+r"(address));
    return {static_cast<const std::uint8_t*>(address), digest::RecordSize};
}

std::string digestHex(const Sha256Digest& digest) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : digest) {
        text.push_back(Hex[b >> 4]);
        text.push_back(Hex[b & 0xF]);
    }
    return text;
}

}  // namespace zorbel
