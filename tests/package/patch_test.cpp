// The embedded block is read from the program file: a copy of a built program
// whose block bytes were overwritten in the file reports the new values.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "package/BlockLayout.h"
#include "tests/package/BlockBytes.h"
#include "tests/package/RunCommand.h"

namespace zorbel {
namespace {

namespace fs = std::filesystem;

std::vector<char> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool holdsAt(const std::vector<char>& file, std::size_t offset, std::string_view text) {
    return offset + text.size() <= file.size() &&
           std::equal(text.begin(), text.end(), file.begin() + static_cast<long>(offset));
}

// Every place in the file where a block begins: the table label and the keys
// of the options and bins each at their offset from the block's start.
std::vector<std::size_t> findBlocks(const std::vector<char>& file) {
    std::vector<std::size_t> found;
    const std::string_view label = "FW_CONSTRAINTS=";
    auto it = file.begin();
    while ((it = std::search(it, file.end(), label.begin(), label.end())) != file.end()) {
        const auto at = static_cast<std::size_t>(it - file.begin());
        ++it;
        if (at < 222) {
            continue;
        }
        const std::size_t start = at - 222;
        if (holdsAt(file, start + 1774, "N2OMESSAGE=") && holdsAt(file, start + 1787, "CHKDISC=") &&
            holdsAt(file, start + 1815, "REBOOT=") && holdsAt(file, start + 1887, "BIN_START1=") &&
            holdsAt(file, start + 1975, "BIN_SIZE1=") && holdsAt(file, start + 2059, "NEW_FW1=")) {
            found.push_back(start);
        }
    }
    return found;
}

std::string lineOf(const std::string& output, const std::string& key) {
    const std::string prefix = key + "=";
    std::size_t pos = 0;
    while (pos < output.size()) {
        const std::size_t end = output.find('\n', pos);
        const std::string line = output.substr(pos, end - pos);
        if (line.starts_with(prefix)) {
            return line.substr(prefix.size());
        }
        if (end == std::string::npos) {
            break;
        }
        pos = end + 1;
    }
    return "<missing>";
}

TEST(PackagePatch, ProgramReadsTheBytesOfItsFile) {
    const fs::path probe = ZORBEL_PACKAGE_PROBE;
    const fs::path dir = fs::temp_directory_path() / ("zorbel-patch-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path copy = dir / "probe-copy";

    std::string output;
    ASSERT_EQ(testing::runCommand(probe.string(), output), 0);
    EXPECT_EQ(lineOf(output, "title"), "APP_TITLE_HERE");
    EXPECT_EQ(lineOf(output, "CHKDISC"), "0");
    EXPECT_EQ(lineOf(output, "bankIsEmpty"), "1");

    std::vector<char> file = readFile(probe);
    const std::vector<std::size_t> blocks = findBlocks(file);
    ASSERT_EQ(blocks.size(), 1u) << "the probe must hold exactly one block";
    const std::size_t start = blocks.front();

    // Overwrite a digit, a title and the bank's first bytes, as a packaging step would.
    file[start + 1787 + 8] = '1';  // "CHKDISC=1"
    file[start + 1815 + 7] = '3';  // "REBOOT=3"
    const std::string title = "Flash Program for Patched Drives";
    std::fill_n(file.begin() + static_cast<long>(start + 49), 64, '\0');
    std::copy(title.begin(), title.end(), file.begin() + static_cast<long>(start + 49));
    file[start + 2123] = 'X';
    {
        std::ofstream out(copy, std::ios::binary);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
    }
    fs::permissions(copy, fs::perms::owner_all);

    ASSERT_EQ(testing::runCommand(copy.string(), output), 0);
    EXPECT_EQ(lineOf(output, "title"), title);
    EXPECT_EQ(lineOf(output, "titleIsPlaceholder"), "0");
    EXPECT_EQ(lineOf(output, "CHKDISC"), "1");
    EXPECT_EQ(lineOf(output, "REBOOT"), "3");
    EXPECT_EQ(lineOf(output, "bankIsEmpty"), "0");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace zorbel
