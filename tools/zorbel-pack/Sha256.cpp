#include "tools/zorbel-pack/Sha256.h"

#include <nettle/sha2.h>

#include <algorithm>

namespace zorbel::pack {

bool sha256Digest(std::span<const std::uint8_t> bytes, Sha256Digest& digest, std::string&) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), bytes.data());
    sha256_digest(&context, digest.size(), digest.data());
    return true;
}

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    Sha256Digest digest{};
    std::string unused;
    sha256Digest(bytes, digest, unused);
    return digestHex(digest);
}

RecordFacts recordFacts(std::span<const std::uint8_t> file, std::span<const std::uint8_t> block,
                        std::span<const std::uint8_t> store) {
    RecordFacts facts;
    facts.records = digestRecordCount(file);
    const auto range = digestRecordRange(file);
    if (!range) {
        return facts;
    }
    const auto record = file.subspan(range->first, range->second - range->first);
    facts.check = checkDigestRecord(record, block, store, &sha256Digest);
    for (unsigned i = 0; i < DigestPartCount; ++i) {
        std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(digest::DigestsOffset + 32 * i),
                    32, facts.recorded[i].begin());
    }
    return facts;
}

}  // namespace zorbel::pack
