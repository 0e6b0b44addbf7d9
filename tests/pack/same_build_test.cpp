// The Windows header facts packaging relies on (signature, checksum) and the
// comparison of a filled program with its unfilled build, over synthetic
// PE32 and PE32+ files.
#include <gtest/gtest.h>

#include "package/BlockLayout.h"
#include "package/PeImage.h"
#include "package/PeLayout.h"
#include "tools/zorbel-pack/SameBuild.h"

namespace zorbel {
namespace {

constexpr std::size_t PeAt = 0x80;
constexpr std::size_t BlockAt = 0x1000;

void put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        f[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// A program of code bytes with a package block at BlockAt, its header's
// checksum set; its length is off the signature's alignment by 3.
std::vector<std::uint8_t> program(bool plus) {
    std::vector<std::uint8_t> f(BlockAt + block::BlockSize + 0x200);
    for (std::size_t i = 0; i < f.size(); ++i) {
        f[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    f[0] = 'M', f[1] = 'Z';
    put32(f, pe::PeHeaderOffsetAt, PeAt);
    put32(f, PeAt, pe::PeSignature);
    const std::size_t opt = PeAt + pe::OptionalHeaderAt;
    f[opt] = 0x0b, f[opt + 1] = plus ? 0x02 : 0x01;
    put32(f, opt + (plus ? pe::DirectoryCount64At : pe::DirectoryCount32At), 16);
    const std::size_t entry = opt + (plus ? pe::Directories64At : pe::Directories32At) +
                              pe::SecurityDirectory * pe::DirectorySize;
    put32(f, entry, 0), put32(f, entry + 4, 0);
    pe::writeChecksum(f, *pe::readHeaders(f));
    return f;
}

// What signing does: zeros to the alignment, the certificate table, the
// security directory entry and the checksum.
std::vector<std::uint8_t> signedCopy(std::vector<std::uint8_t> f, std::uint8_t seed) {
    const std::size_t at = (f.size() + 7) / 8 * 8;
    f.resize(at, 0);
    f.resize(at + 1200, seed);
    const auto facts = *pe::readHeaders(f);
    put32(f, *facts.securityEntryAt, static_cast<std::uint32_t>(at));
    put32(f, *facts.securityEntryAt + 4, 1200);
    pe::writeChecksum(f, facts);
    return f;
}

TEST(PeHeader, SignatureAndChecksumInBothFormats) {
    for (const bool plus : {false, true}) {
        std::vector<std::uint8_t> f = program(plus);
        auto facts = pe::readHeaders(f);
        ASSERT_TRUE(facts);
        EXPECT_EQ(facts->plus, plus);
        EXPECT_FALSE(facts->isSigned());
        EXPECT_EQ(facts->checksumAt, PeAt + 24 + 64);
        EXPECT_EQ(*facts->securityEntryAt, PeAt + 24 + (plus ? 112 : 96) + 32);
        EXPECT_EQ(facts->checksum, pe::checksumOf(f, *facts));

        const std::vector<std::uint8_t> s = signedCopy(f, 0x30);
        facts = pe::readHeaders(s);
        EXPECT_TRUE(facts->isSigned()) << plus;
        EXPECT_EQ(facts->certificatesSize, 1200u);
        EXPECT_EQ(facts->checksum, pe::checksumOf(s, *facts));
    }
    // An ELF program and a truncated header are no PE file.
    std::vector<std::uint8_t> elf = {0x7f, 'E', 'L', 'F'};
    elf.resize(4096);
    EXPECT_FALSE(pe::readHeaders(elf));
    std::vector<std::uint8_t> cut = program(true);
    cut.resize(PeAt + 100);
    EXPECT_FALSE(pe::readHeaders(cut));
}

TEST(PeHeader, ChecksumSumsWordsWithCarryAndAddsTheLength) {
    // Computed apart: an odd length, the field at 0x58 counted as zero.
    std::vector<std::uint8_t> f(1001);
    for (std::size_t i = 0; i < f.size(); ++i) {
        f[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    pe::PeFacts facts;
    facts.checksumAt = 0x58;
    EXPECT_EQ(pe::checksumOf(f, facts), 0xd675u);
    pe::writeChecksum(f, facts);
    EXPECT_EQ(f[0x58] | f[0x59] << 8, 0xd675);
    EXPECT_EQ(pe::checksumOf(f, facts), 0xd675u);  // the field itself does not count
}

TEST(SameBuild, OnlyPackageSignatureAndChecksumMayDiffer) {
    const std::vector<std::uint8_t> unfilled = program(true);
    const auto compare = [&](const std::vector<std::uint8_t>& p) {
        return pack::compareWithBuild(p, BlockAt, std::nullopt, unfilled);
    };
    std::vector<std::uint8_t> filled = unfilled;
    filled[BlockAt + block::TitleOffset] ^= 0xff;
    filled[BlockAt + block::BlockSize - 1] ^= 0xff;
    pe::writeChecksum(filled, *pe::readHeaders(filled));
    EXPECT_TRUE(compare(filled).same());

    const auto s = compare(signedCopy(filled, 0x55));
    EXPECT_TRUE(s.same());
    EXPECT_EQ(s.signingPadding, 5u);
    ASSERT_EQ(s.leftOut.size(), 4u);
    EXPECT_EQ(s.leftOut[1].name, "security directory entry");
    EXPECT_TRUE(compare(signedCopy(filled, 0xaa)).same());  // another signature

    std::vector<std::uint8_t> code = filled;
    code[BlockAt - 1] ^= 1;  // one byte before the block
    auto d = compare(code);
    EXPECT_FALSE(d.same());
    EXPECT_EQ(d.differingBytes, 1u);
    EXPECT_EQ(*d.firstDifference, BlockAt - 1);
    d = compare(signedCopy(code, 0x55));
    EXPECT_FALSE(d.same());
    EXPECT_EQ(*d.firstDifference, BlockAt - 1);

    std::vector<std::uint8_t> stamped = filled;  // a time stamp back in the header
    stamped[PeAt + pe::TimeStampAt] = 1;
    EXPECT_EQ(*compare(stamped).firstDifference, PeAt + pe::TimeStampAt);

    std::vector<std::uint8_t> longer = filled;
    longer.push_back(0);
    EXPECT_FALSE(compare(longer).same());
    EXPECT_NE(pack::sameBuildText("a", "b", compare(longer)).find("a holds"), std::string::npos);
}

}  // namespace
}  // namespace zorbel
