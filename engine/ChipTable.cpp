// The profile store: one region of initialised data, a 16-byte mark followed
// by the 17,850 profile bytes, read through memory at run time. The program
// ships stand-in profiles of the exact lengths; a packaging step finds the mark
// in the finished program and writes the drive maker's profiles behind it.
#include "engine/ChipTable.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "engine/StandInProfiles.h"

namespace zorbel {

namespace {

// ---- compile-time self-checks of the tables ----

constexpr bool groupsAscendWithoutGaps() {
    if (ProfileGroupTable.front() != 0 || ProfileGroupTable.back() != ProfileCount - 1) {
        return false;
    }
    for (std::size_t row = 1; row < ProfileGroupTable.size(); ++row) {
        const auto step = ProfileGroupTable[row] - ProfileGroupTable[row - 1];
        if (step != 0 && step != 1) {
            return false;
        }
    }
    return true;
}

constexpr bool rowLengthsMatchTheirProfiles() {
    for (int row = 0; row < ChipIdRowCount; ++row) {
        const auto group = ProfileGroupTable[static_cast<std::size_t>(row)];
        if (static_cast<std::uint32_t>(ProfileLength(row)) != StoredProfileLength(group) ||
            ProfileLength(row) % 2 != 0) {
            return false;
        }
    }
    return true;
}

constexpr bool offsetsAreBackToBack() {
    std::uint32_t sum = 0;
    for (int group = 0; group < ProfileCount; ++group) {
        if (ProfileOffsets[static_cast<std::size_t>(group)] != sum) {
            return false;
        }
        sum += static_cast<std::uint32_t>(ProfileLength(LastRowOfProfileGroup(group)));
    }
    return sum == ProfileStoreSize;
}

constexpr bool rowWalkFindsTheListedOffsets() {
    for (int row = 0; row < ChipIdRowCount; ++row) {
        const auto group = ProfileGroupTable[static_cast<std::size_t>(row)];
        if (ProfileStart(row) != ProfileOffsets[static_cast<std::size_t>(group)]) {
            return false;
        }
    }
    return true;
}

constexpr bool identificationsAreDistinct() {
    for (int row = 0; row < ChipIdRowCount; ++row) {
        const ChipIdRow& r = ChipIdTable[static_cast<std::size_t>(row)];
        if (r[2] != 0x00 || FindChipEntry(r[0], r[1], r[2], r[3]) != row) {
            return false;
        }
    }
    return true;
}

static_assert(groupsAscendWithoutGaps(), "profile groups must never decrease");
static_assert(rowLengthsMatchTheirProfiles(), "a row's length must equal its stored profile's");
static_assert(offsetsAreBackToBack(), "profile offsets must lie back to back up to 17,850");
static_assert(rowWalkFindsTheListedOffsets(), "walking the rows must find each profile's offset");
static_assert(identificationsAreDistinct(), "every row needs its own four identification bytes");

// ---- the stand-in profiles ----

struct ProfileStoreRegion {
    char mark[ProfileStoreMarkSize];
    std::uint8_t bytes[ProfileStoreSize];
};
static_assert(sizeof(ProfileStoreRegion) == ProfileStoreMarkSize + ProfileStoreSize);
static_assert(offsetof(ProfileStoreRegion, bytes) == ProfileStoreMarkSize);

constexpr ProfileStoreRegion makeStandInStore() {
    ProfileStoreRegion region{};
    constexpr std::string_view mark{"ZORBEL_PROFILES\0", ProfileStoreMarkSize};
    std::copy(mark.begin(), mark.end(), region.mark);
    std::copy(StandInProfileStore.begin(), StandInProfileStore.end(), region.bytes);
    return region;
}

// Writable, so it lies in the program's initialised data; kept even though
// only read through the laundered pointer below.
__attribute__((used)) constinit ProfileStoreRegion profileStoreRegion = makeStandInStore();

// The region's address, hidden from the optimiser: the bytes must be read from
// memory at run time, never folded from the initialiser, because a packaging
// step may have replaced them in the file.
const ProfileStoreRegion* storeRegion() {
    const ProfileStoreRegion* region = &profileStoreRegion;
    __asm__ __volatile__("" : "+r"(region));
    return region;
}

}  // namespace

std::span<const std::uint8_t, ProfileStoreSize> ProfileStore() {
    return std::span<const std::uint8_t, ProfileStoreSize>(storeRegion()->bytes, ProfileStoreSize);
}

std::span<const std::uint8_t> StoredProfile(int group) {
    if (group < 0 || group >= ProfileCount) {
        return {};
    }
    return ProfileStore().subspan(ProfileOffsets[static_cast<std::size_t>(group)],
                                  StoredProfileLength(group));
}

}  // namespace zorbel
