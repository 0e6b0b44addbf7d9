#include "package/PeImage.h"

#include "package/PeLayout.h"

namespace zorbel::pe {

namespace {

std::uint32_t le16(std::span<const std::uint8_t> file, std::size_t at) {
    return static_cast<std::uint32_t>(file[at] | file[at + 1] << 8);
}
std::uint32_t le32(std::span<const std::uint8_t> file, std::size_t at) {
    return le16(file, at) | le16(file, at + 2) << 16;
}

}  // namespace

std::optional<PeFacts> readHeaders(std::span<const std::uint8_t> file) {
    if (file.size() < sizeof(DosHeader) || le16(file, 0) != DosMagic) {
        return std::nullopt;
    }
    const std::size_t pe = le32(file, PeHeaderOffsetAt);
    const std::size_t optional = pe + OptionalHeaderAt;
    if (pe > file.size() || file.size() - pe < sizeof(FileHeader) + sizeof(OptionalHeader32) ||
        le32(file, pe) != PeSignature) {
        return std::nullopt;
    }
    PeFacts facts;
    const std::uint32_t magic = le16(file, optional);
    if (magic == Pe32PlusMagic) {
        if (file.size() - pe < sizeof(FileHeader) + sizeof(OptionalHeader64)) {
            return std::nullopt;
        }
        facts.plus = true;
    } else if (magic != Pe32Magic) {
        return std::nullopt;
    }
    facts.timeStampAt = pe + TimeStampAt;
    facts.timeStamp = le32(file, facts.timeStampAt);
    facts.checksumAt = optional + ChecksumAt;
    facts.checksum = le32(file, facts.checksumAt);
    const std::uint32_t directories =
        le32(file, optional + (facts.plus ? DirectoryCount64At : DirectoryCount32At));
    if (directories > SecurityDirectory) {
        const std::size_t entry = optional + (facts.plus ? Directories64At : Directories32At) +
                                  SecurityDirectory * DirectorySize;
        facts.securityEntryAt = entry;
        facts.certificatesAt = le32(file, entry);
        facts.certificatesSize = le32(file, entry + 4);
    }
    return facts;
}

std::uint32_t checksumOf(std::span<const std::uint8_t> file, const PeFacts& facts) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < file.size(); at += 2) {
        if (at >= facts.checksumAt && at < facts.checksumAt + ChecksumSize) {
            continue;
        }
        sum += at + 1 < file.size() ? le16(file, at) : file[at];
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return sum + static_cast<std::uint32_t>(file.size());
}

void writeChecksum(std::span<std::uint8_t> file, const PeFacts& facts) {
    const std::uint32_t sum = checksumOf(file, facts);
    for (std::size_t i = 0; i < ChecksumSize; ++i) {
        file[facts.checksumAt + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    }
}

}  // namespace zorbel::pe
