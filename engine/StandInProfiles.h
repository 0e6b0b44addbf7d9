// The stand-in flash profiles a freshly built program carries until the drive
// maker's profiles are put in their place: deterministic pseudo-random bytes of
// the exact lengths, each carrying the stand-in mark three times, for groups
// 2-19 with a readable text that calls them stand-ins. They are no program for
// any drive's controller, so the update program refuses to start while its
// store still holds any of them, and the packaging step refuses to write such
// a program unless told that it is for the simulated computer only.
//
// A stand-in stays recognisable after it was edited: a profile counts as one
// while it carries a whole copy of the mark anywhere, or while at least half of
// its bytes are the stand-in's. Changing one byte leaves two copies of the mark.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/ChipTable.h"

namespace zorbel {

namespace standin {

// Where the readable text starts inside a stand-in profile, after a few bytes
// that play the part of the profile's entry code.
inline constexpr std::size_t TextOffset = 16;

// The mark every stand-in carries at its start, in its middle and just before
// its last CurrentHeaderSize bytes.
inline constexpr std::string_view Mark{"ZORBEL STAND-IN\xA5", 16};
static_assert(Mark.size() <= TextOffset);

constexpr std::array<std::size_t, 3> markOffsets(std::uint32_t length) {
    return {0, (length / 2) & ~std::size_t{1}, length - CurrentHeaderSize - Mark.size()};
}

constexpr void appendText(std::uint8_t* dest, std::size_t& at, std::string_view text) {
    for (const char c : text) {
        dest[at++] = static_cast<std::uint8_t>(c);
    }
}

// One stand-in: deterministic pseudo-random bytes; for groups 2-19 the text
// "This profile is for " naming the chips of the group's rows; the last 6 bytes
// of the profiles of rows 2-4 zero, as the drive maker's are.
constexpr void fillProfile(std::uint8_t* profile, int group) {
    const std::uint32_t length = StoredProfileLength(group);
    std::uint32_t state = 0x9E3779B9u ^ (static_cast<std::uint32_t>(group) * 0x01000193u);
    for (std::uint32_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        profile[i] = static_cast<std::uint8_t>(state >> 24);
    }
    if (group >= 2) {
        std::size_t at = TextOffset;
        appendText(profile, at, "This profile is for ");
        std::string_view previous;
        for (int row = 0; row < ChipIdRowCount; ++row) {
            const auto name = ChipNames[static_cast<std::size_t>(row)];
            if (ProfileGroupTable[static_cast<std::size_t>(row)] != group || name == previous) {
                continue;
            }
            if (!previous.empty()) {
                appendText(profile, at, ", ");
            }
            appendText(profile, at, name);
            previous = name;
        }
        appendText(profile, at, " (stand-in, not for use in a drive)");
        profile[at] = 0;
    }
    if (IsHeaderNotCountedRow(LastRowOfProfileGroup(group))) {
        for (std::uint32_t i = length - CurrentHeaderSize; i < length; ++i) {
            profile[i] = 0;
        }
    }
    for (const std::size_t offset : markOffsets(length)) {
        std::size_t at = offset;
        appendText(profile, at, Mark);
    }
}

constexpr std::array<std::uint8_t, ProfileStoreSize> makeStore() {
    std::array<std::uint8_t, ProfileStoreSize> store{};
    for (int group = 0; group < ProfileCount; ++group) {
        fillProfile(store.data() + ProfileOffsets[static_cast<std::size_t>(group)], group);
    }
    return store;
}

}  // namespace standin

// The 17,850 bytes of the stand-in store, in group order.
inline constexpr std::array<std::uint8_t, ProfileStoreSize> StandInProfileStore =
    standin::makeStore();

// The groups (0-19) of `store` whose profile is still a stand-in, in order:
// it carries a whole copy of the stand-in mark, or at least half of its bytes
// are its stand-in's. Empty when no profile is. A store of another size holds
// no stand-in.
inline std::vector<int> StandInGroups(std::span<const std::uint8_t> store) {
    std::vector<int> groups;
    if (store.size() != ProfileStoreSize) {
        return groups;
    }
    const auto mark = std::span(reinterpret_cast<const std::uint8_t*>(standin::Mark.data()),
                                standin::Mark.size());
    for (int group = 0; group < ProfileCount; ++group) {
        const std::size_t begin = ProfileOffsets[static_cast<std::size_t>(group)];
        const std::size_t end = begin + StoredProfileLength(group);
        const auto profile = store.subspan(begin, end - begin);
        const bool marked =
            std::search(profile.begin(), profile.end(), mark.begin(), mark.end()) != profile.end();
        std::size_t same = 0;
        for (std::size_t i = begin; i < end; ++i) {
            same += store[i] == StandInProfileStore[i] ? 1 : 0;
        }
        if (marked || 2 * same >= profile.size()) {
            groups.push_back(group);
        }
    }
    return groups;
}

// Whether this process accepts stand-ins in its own profile store. The update
// program for real drives never does (the default); the simulated computer
// and the tests that run the program on it say that they do.
void SetStandInProfilesAccepted(bool accepted);
bool StandInProfilesAccepted();

// True when this program's own profile store holds any stand-in profile.
bool OwnStoreHoldsStandIns();

}  // namespace zorbel
