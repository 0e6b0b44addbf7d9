// The profile store's region in the program file, which a packaging step
// overwrites and the program must then read (the program reads its own file
// through /proc/self/exe and starts a patched copy of itself).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/ChipTable.h"

namespace zorbel {
namespace {

std::vector<char> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Built at run time so that this test's own text is not a second mark.
std::string storeMark() {
    return std::string("ZORBEL_") + "PROFILES" + std::string(1, '\0');
}

TEST(ProfileStoreRegion, ProgramFileHoldsOneMarkFollowedByTheStore) {
    const auto file = readFile("/proc/self/exe");
    const std::string mark = storeMark();
    ASSERT_EQ(mark.size(), ProfileStoreMarkSize);
    const auto first = std::search(file.begin(), file.end(), mark.begin(), mark.end());
    ASSERT_NE(first, file.end());
    EXPECT_EQ(std::search(first + 1, file.end(), mark.begin(), mark.end()), file.end())
        << "the packaging step needs exactly one mark";
    ASSERT_GE(file.end() - first, static_cast<long>(ProfileStoreMarkSize + ProfileStoreSize));
    const auto store = ProfileStore();
    EXPECT_TRUE(std::equal(store.begin(), store.end(),
                           reinterpret_cast<const std::uint8_t*>(&*(first + mark.size()))));
}

// Child mode of the next test: a copy of this program, started with the
// variable set, prints what it reads from its store and ends before any test.
const bool childPrintsStore = [] {
    if (std::getenv("ZORBEL_ENGINE_STORE_CHILD") == nullptr) {
        return false;
    }
    const auto store = ProfileStore();
    std::printf("STORE %02x%02x%02x %02x%02x%02x\n", store[0], store[1], store[2],
                store[ProfileStoreSize - 3], store[ProfileStoreSize - 2],
                store[ProfileStoreSize - 1]);
    std::fflush(stdout);
    std::_Exit(0);
}();

TEST(ProfileStoreRegion, ProgramReadsBytesPatchedIntoItsFile) {
    auto file = readFile("/proc/self/exe");
    const std::string mark = storeMark();
    const auto first = std::search(file.begin(), file.end(), mark.begin(), mark.end());
    ASSERT_NE(first, file.end());
    const auto store = first + static_cast<long>(mark.size());
    store[0] = '\x11';
    store[1] = '\x22';
    store[2] = '\x33';
    store[ProfileStoreSize - 3] = '\x44';
    store[ProfileStoreSize - 2] = '\x55';
    store[ProfileStoreSize - 1] = '\x66';

    const auto patched = std::filesystem::temp_directory_path() /
                         ("zorbel-engine-patched-" + std::to_string(getpid()));
    {
        std::ofstream out(patched, std::ios::binary);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    std::filesystem::permissions(patched, std::filesystem::perms::owner_all);
    const std::string command = "ZORBEL_ENGINE_STORE_CHILD=1 '" + patched.string() + "'";
    std::string output;
    if (FILE* child = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, child) != nullptr) {
            output += buffer;
        }
        pclose(child);
    }
    std::filesystem::remove(patched);
    EXPECT_NE(output.find("STORE 112233 445566"), std::string::npos) << output;
}

}  // namespace
}  // namespace zorbel
