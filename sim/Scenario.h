// Scenario files: a whole simulated computer in TOML (see sim/SCENARIOS.md).
// A file that does not describe a computer is refused with a ScenarioError
// whose message names the file, the line and the key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sim/SimHost.h"

namespace zorbel::sim {

class ScenarioError : public std::runtime_error {
  public:
    ScenarioError(std::string file, std::uint32_t line, std::string key, const std::string& what,
                  bool unreadable = false);
    const std::string& file() const { return file_; }
    std::uint32_t line() const { return line_; }  // 0 when the file as a whole is at fault
    const std::string& key() const { return key_; }
    // The file itself could not be read (the reason is in what()).
    bool unreadable() const { return unreadable_; }

  private:
    std::string file_;
    std::uint32_t line_;
    std::string key_;
    bool unreadable_ = false;
};

// Loads a scenario file. Paths inside it (image files) are relative to the
// file's folder. Throws ScenarioError.
ComputerSpec loadScenario(const std::filesystem::path& file);

// Parses scenario text; sourceName stands for the file in messages and
// baseDir resolves relative paths. Throws ScenarioError.
ComputerSpec parseScenario(std::string_view text, std::string_view sourceName,
                           const std::filesystem::path& baseDir = {});

}  // namespace zorbel::sim
