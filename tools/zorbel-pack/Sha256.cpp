#include "tools/zorbel-pack/Sha256.h"

#include <nettle/sha2.h>

namespace zorbel::pack {

std::string sha256Hex(std::span<const std::uint8_t> bytes) {
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, bytes.size(), bytes.data());
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    static constexpr char Hex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t b : digest) {
        text.push_back(Hex[b >> 4]);
        text.push_back(Hex[b & 0xF]);
    }
    return text;
}

}  // namespace zorbel::pack
