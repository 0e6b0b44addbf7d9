#include "sim/Scenario.h"

namespace zorbel::sim {

ScenarioError::ScenarioError(std::string file, std::uint32_t line, std::string key,
                             const std::string& what)
    : std::runtime_error(what), file_(std::move(file)), line_(line), key_(std::move(key)) {}

ComputerSpec loadScenario(const std::filesystem::path& file) {
    throw ScenarioError(file.string(), 0, "", file.string() + ": scenario loading not built yet");
}

ComputerSpec parseScenario(std::string_view, std::string_view sourceName,
                           const std::filesystem::path&) {
    throw ScenarioError(std::string(sourceName), 0, "",
                        std::string(sourceName) + ": scenario loading not built yet");
}

}  // namespace zorbel::sim
