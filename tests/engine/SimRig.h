// A simulated computer with programmable drives, and a run object selected on
// each, as the update sequence prepares them: the list object discovers the
// drives, each run object takes a copy of its table and selects one drive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "device/AtapiDevice.h"
#include "sim/SimHost.h"

namespace zorbel::enginetest {

inline constexpr std::int32_t OneMiB = 1'048'576;

// Deterministic image bytes, different for every seed, zero blocks included.
inline std::vector<std::uint8_t> makeImage(std::int32_t size, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(size));
    std::uint32_t state = 0x2545F491u * (seed + 1);
    for (std::size_t i = 0; i < image.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        image[i] = static_cast<std::uint8_t>(state >> 24);
    }
    // One block of zeros: a read that delivers nothing must still fail there.
    if (image.size() >= 3 * 16384) {
        std::fill(image.begin() + 2 * 16384, image.begin() + 3 * 16384, std::uint8_t{0});
    }
    return image;
}

// A fault rule: strikes the nth matching command (0: from the first), `times`
// times (0: without limit; default once when nth is given, else always).
inline sim::FaultRule faultRule(sim::FaultKind kind, std::optional<std::uint8_t> opcode = {},
                                std::optional<std::uint8_t> bufferCode = {}, std::uint64_t nth = 0,
                                std::optional<std::uint64_t> times = {},
                                sim::Sense sense = sim::sense::InternalFailure) {
    sim::FaultRule rule;
    rule.kind = kind;
    rule.opcode = opcode;
    rule.bufferCode = bufferCode;
    rule.nth = nth;
    rule.times = times;
    rule.sense = sense;
    return rule;
}

// A drive that expects exactly `image` and has no power-on attention.
inline sim::DriveSpec programmableDrive(const std::vector<std::uint8_t>& image,
                                        sim::ChipId chip = {0xBF, 0xD6, 0x00, 0x02}) {
    sim::DriveSpec drive;
    drive.chip = chip;
    drive.imageSize = static_cast<std::uint32_t>(image.size());
    drive.expectedImage = image;
    return drive;
}

class SimRig {
  public:
    explicit SimRig(std::vector<sim::DriveSpec> drives,
                    sim::ClockMode clock = sim::ClockMode::Virtual, bool record = true)
        : computer_(makeComputer(std::move(drives), clock, record)) {
        list_ = std::make_unique<AtapiDevice>(true);
        for (std::size_t i = 0; i < computer_->driveCount(); ++i) {
            auto run = std::make_unique<AtapiDevice>(false);
            AtapiDevice::CopyDriveTable(*list_, *run);
            run->SelectDrive(static_cast<std::int16_t>(i));
            runs_.push_back(std::move(run));
            // Count only what the run sends, not the discovery before it.
            baseline_.push_back(computer_->drive(i).commandCount());
        }
    }

    sim::SimHost& host() { return computer_.host(); }
    sim::SimDrive& drive(std::size_t i = 0) { return computer_->drive(i); }
    AtapiDevice& run(std::size_t i = 0) { return *runs_[i]; }

    // The commands drive i received since the rig was set up.
    std::vector<sim::CommandRecord> commands(std::size_t i = 0) {
        auto all = drive(i).commands();
        all.erase(all.begin(), all.begin() + static_cast<long>(baseline_[i]));
        return all;
    }
    std::uint64_t commandCount(std::size_t i = 0) { return drive(i).commandCount() - baseline_[i]; }

  private:
    static sim::ComputerSpec makeComputer(std::vector<sim::DriveSpec> drives, sim::ClockMode clock,
                                          bool record) {
        sim::ComputerSpec spec;
        spec.platform = sim::Platform::Nt;
        spec.clock = clock;
        spec.recordCommands = record;
        for (std::size_t i = 0; i < drives.size(); ++i) {
            sim::DriveSpec drive = std::move(drives[i]);
            drive.id = "drive" + std::to_string(i);
            drive.powerOnAttention = false;
            const std::string id = drive.id;
            spec.drives.push_back(std::move(drive));
            auto& letter = spec.addLetter(static_cast<char>('E' + i), id);
            letter.address.targetId = static_cast<std::uint8_t>(i);
        }
        return spec;
    }

    sim::InstalledComputer computer_;
    std::unique_ptr<AtapiDevice> list_;
    std::vector<std::unique_ptr<AtapiDevice>> runs_;
    std::vector<std::uint64_t> baseline_;
};

}  // namespace zorbel::enginetest
