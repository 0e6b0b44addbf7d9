// Soak: many seeded random scenarios through the whole program. Each run must
// brick no drive, never report a failure as success, show exactly one final
// message per update, release every run object, device handle and ASPI
// resource, and leave no worker thread behind.
//
// ZORBEL_SOAK_RUNS and ZORBEL_SOAK_SEED (environment) choose how many
// scenarios run and the first seed; scripts/soak.sh sets them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/soak/SoakScenario.h"

namespace zorbel::proof {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr std::uint64_t DefaultRuns = 40;
#elif defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t DefaultRuns = 120;
#else
constexpr std::uint64_t DefaultRuns = 300;
#endif

std::uint64_t fromEnvironment(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 10);
}

TEST(Soak, RandomScenariosKeepEveryPromise) {
    const std::uint64_t runs = fromEnvironment("ZORBEL_SOAK_RUNS", DefaultRuns);
    const std::uint64_t firstSeed = fromEnvironment("ZORBEL_SOAK_SEED", 1);
    std::uint64_t updates = 0, successes = 0, failures = 0, drives = 0, committed = 0;
    std::uint64_t violations = 0, bricked = 0, failedRuns = 0;
    for (std::uint64_t i = 0; i < runs; ++i) {
        ProgramRig rig;
        SoakScenario scenario(firstSeed + i);
        const std::string summary = scenario.fill(rig);
        const RunVerdict verdict = rig.run();
        updates += verdict.updateRan ? 1 : 0;
        successes += verdict.reportedSuccess ? 1 : 0;
        failures += verdict.updateRan && !verdict.reportedSuccess ? 1 : 0;
        drives += rig.computer.drives.size();
        committed += static_cast<std::uint64_t>(verdict.committedDrives);
        bricked += static_cast<std::uint64_t>(verdict.bricked);
        violations += verdict.violations.size();
        if (!verdict.clean()) {
            ++failedRuns;
            ADD_FAILURE() << summary << "\n" << verdict.describe();
        }
    }
    std::printf(
        "soak: %llu runs from seed %llu, %llu drives, %llu updates (%llu reported success, "
        "%llu failure), %llu drives committed, %llu bricked, %llu invariant violations in "
        "%llu runs\n",
        static_cast<unsigned long long>(runs), static_cast<unsigned long long>(firstSeed),
        static_cast<unsigned long long>(drives), static_cast<unsigned long long>(updates),
        static_cast<unsigned long long>(successes), static_cast<unsigned long long>(failures),
        static_cast<unsigned long long>(committed), static_cast<unsigned long long>(bricked),
        static_cast<unsigned long long>(violations), static_cast<unsigned long long>(failedRuns));
    EXPECT_EQ(violations, 0u);
}

}  // namespace
}  // namespace zorbel::proof
