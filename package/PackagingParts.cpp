#include "package/PackagingParts.h"

#include <algorithm>

#include "package/BlockLayout.h"
#include "package/DigestRecord.h"
#include "package/PeImage.h"
#include "package/PeLayout.h"

namespace zorbel {

std::vector<FilePart> packagingParts(std::span<const std::uint8_t> file, std::size_t blockAt,
                                     std::optional<std::size_t> storeAt) {
    std::vector<FilePart> parts{{"package block", blockAt, block::BlockSize}};
    if (storeAt) {
        parts.push_back({"flash profile store", *storeAt, block::ProfileStoreSize});
    }
    if (const auto record = digestRecordRange(file)) {
        parts.push_back({"digest record", record->first, record->second - record->first});
    }
    if (const auto facts = pe::readHeaders(file)) {
        parts.push_back({"PE checksum", facts->checksumAt, pe::ChecksumSize});
        if (facts->isSigned() && facts->securityEntryAt) {
            parts.push_back(
                {"security directory entry", *facts->securityEntryAt, pe::DirectorySize});
            const std::size_t at = std::min<std::size_t>(facts->certificatesAt, file.size());
            parts.push_back({"signature", at, file.size() - at});
        }
    }
    std::sort(parts.begin(), parts.end(),
              [](const FilePart& a, const FilePart& b) { return a.offset < b.offset; });
    return parts;
}

}  // namespace zorbel
