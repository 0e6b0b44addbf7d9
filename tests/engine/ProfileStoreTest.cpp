// The chip table and the profile store as the program carries them: the stand-in
// profiles' shape.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/ChipTable.h"

namespace zorbel {
namespace {

std::string profileText(int group) {
    const auto profile = StoredProfile(group);
    const std::string bytes(profile.begin(), profile.end());
    const auto at = bytes.find("This profile is for ");
    if (at == std::string::npos) {
        return {};
    }
    return bytes.substr(at, bytes.find('\0', at) - at);
}

TEST(ChipTable, StandInTextsNameTheChipsOfEveryRowThatUsesThem) {
    for (int row = 0; row < ChipIdRowCount; ++row) {
        const auto group = ProfileGroupTable[static_cast<std::size_t>(row)];
        if (group >= 2) {
            EXPECT_NE(profileText(group).find(ChipNames[static_cast<std::size_t>(row)]),
                      std::string::npos)
                << "row " << row << ": " << profileText(group);
        }
    }
    EXPECT_EQ(FindChipEntry(0xBF, 0xD6, 0x00, 0x09), NoChipEntry);
    EXPECT_EQ(FindChipEntry(0x00, 0x00, 0x00, 0x00), NoChipEntry);
}

TEST(ChipTable, StandInsHaveTheDriveMakersShape) {
    EXPECT_TRUE(profileText(0).empty());
    EXPECT_TRUE(profileText(1).empty());
    for (int group = 2; group < ProfileCount; ++group) {
        EXPECT_FALSE(profileText(group).empty()) << group;
    }
    EXPECT_EQ(profileText(17),
              "This profile is for SST39LF080 / SST39VF080, AMD AM29LV008B, MXIC MX29LV008B, "
              "MXIC MX29LV081 (stand-in, not for use in a drive)");
    // The profiles of rows 2-4 end in 6 zero bytes (left out of their transfer).
    for (int group : {2, 3}) {
        const auto profile = StoredProfile(group);
        ASSERT_EQ(profile.size(), 1280u);
        EXPECT_TRUE(std::all_of(profile.end() - 6, profile.end(), [](auto b) { return b == 0; }));
    }
    // Deterministic, and no two stand-ins alike.
    EXPECT_NE(StoredProfile(7)[0] | StoredProfile(7)[1], 0);
    EXPECT_FALSE(
        std::equal(StoredProfile(2).begin(), StoredProfile(2).end(), StoredProfile(8).begin()));
}

}  // namespace
}  // namespace zorbel
