// Seeded random scenarios for the whole program: a package with 1 to 4 bins
// and random options, a computer with 1 to 16 drives (random identities,
// chips, media, trays, readiness, latencies and faults, behind drive letters
// or the ASPI manager) and random answers to the first dialogs. The same seed
// always gives the same scenario.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "engine/ChipTable.h"
#include "package/BlockLayout.h"
#include "tests/package/BlockBytes.h"
#include "tests/soak/ProgramRig.h"

namespace zorbel::proof {

class SoakScenario {
  public:
    explicit SoakScenario(std::uint64_t seed) : random_(seed), seed_(seed) {}

    // Fills the rig; returns a one-line summary of the scenario.
    std::string fill(ProgramRig& rig) {
        std::string summary = "seed " + std::to_string(seed_) + ":";
        testing::BlockBytes block;
        const unsigned bins = 1 + pick(4);
        std::vector<std::int32_t> starts(bins), sizes(bins);
        for (unsigned b = 0; b < bins; ++b) {
            starts[b] = static_cast<std::int32_t>(b * 0x40000 + pick(4) * 16384);
            sizes[b] = static_cast<std::int32_t>((1 + pick(4)) * 16384);
            block.bin(b, pad10(starts[b]), pad10(sizes[b]));
            block.slot(b, 0, "1.00", "1.09", "MERIDOX ", productOf(b));
            block.newFirmware(b, "1.10");
        }
        for (std::size_t i = 0; i < block::BankSize; ++i) {
            block.bytes()[block::BankOffset + i] =
                static_cast<std::uint8_t>((i * 13 + seed_) & 0xFF);
        }
        const char chkDisc = digit(3);
        block.option(block::Option::HOW_MANY_BIN, "HOW_MANY_BIN=" + std::to_string(bins));
        block.option(block::Option::CHKDISC, std::string("CHKDISC=") + chkDisc);
        block.option(block::Option::N2OMESSAGE, std::string("N2OMESSAGE=") + digit(2));
        block.option(block::Option::BOOTCODE, std::string("BOOTCODE=") + digit(2));
        block.option(block::Option::REBOOT, std::string("REBOOT=") + digit(3));
        block.option(block::Option::AUTOMODE, std::string("AUTOMODE=") + digit(2));
        block.option(block::Option::CLOSEAP, std::string("CLOSEAP=") + digit(3));
        block.option(block::Option::WARNING, std::string("WARNING=") + digit(2));
        block.option(block::Option::NBWARNING, std::string("NBWARNING=") + digit(2));
        rig.package = block.bytes();
        summary += " bins " + std::to_string(bins) + " CHKDISC " + chkDisc;

        sim::ComputerSpec& computer = rig.computer;
        computer = {};
        const unsigned route = pick(5);  // 0-2 pass-through, 3 NT with ASPI, 4 the 9x family
        computer.platform = route == 4 ? sim::Platform::Win9x : sim::Platform::Nt;
        computer.restartAccepted = pick(4) != 0;
        const bool aspi = route >= 3;
        if (aspi) {
            computer.aspi.libraryPresent = true;
            computer.addAdapter();
        }
        const unsigned drives = 1 + pick(16);
        summary += " drives " + std::to_string(drives) + (aspi ? " aspi" : " letters");
        for (unsigned d = 0; d < drives; ++d) {
            sim::DriveSpec& drive = computer.addDrive("d" + std::to_string(d));
            const unsigned bin = pick(bins);
            if (pick(10) < 7) {
                drive.identity = sim::Identity::fromText(
                    "MERIDOX", productOf(bin).substr(0, 5),
                    pick(6) == 0 ? "1.10" : "1.0" + std::to_string(pick(10)));
            } else {
                drive.identity = sim::Identity::fromText("OTHERCO", "DW-" + std::to_string(pick(9)),
                                                         "2.0" + std::to_string(pick(10)));
            }
            drive.newRevision = sim::padded<4>("1.10");
            drive.imageSize = static_cast<std::uint32_t>(sizes[bin]);
            const auto bytes = block.view().binImage(bin);
            drive.expectedImage.assign(bytes.begin(), bytes.end());
            const unsigned chip = pick(10);
            if (chip < 8) {
                const auto& row = ChipIdTable[pick(ChipIdRowCount)];
                drive.chip = {row[0], row[1], row[2], row[3]};
            } else if (chip == 8) {
                drive.chip = {static_cast<std::uint8_t>(pick(256)),
                              static_cast<std::uint8_t>(pick(256)), 0,
                              static_cast<std::uint8_t>(pick(8))};
            } else {
                drive.flashIdSupported = false;
            }
            drive.medium = pick(4) == 0;
            drive.trayOpen = pick(10) == 0;
            drive.trayLocked = pick(20) == 0;
            drive.eventStatusSupported = pick(10) != 0;
            drive.powerOnAttention = pick(2) == 0;
            drive.becomingReadyPolls = pick(4);
            drive.restartPolls = pick(6);
            drive.latency.perCommand = std::chrono::microseconds(pick(3000));
            drive.latency.commit = std::chrono::milliseconds(pick(2000));
            if (pick(5) < 2) {
                const unsigned rules = 1 + pick(2);
                for (unsigned r = 0; r < rules; ++r) {
                    drive.faults.push_back(randomFault(chkDisc == '1'));
                }
            }
            if (aspi) {
                sim::AspiDeviceSpec device;
                device.target = static_cast<std::uint8_t>(d);
                device.drive = drive.id;
                computer.aspi.adapters.back().devices.push_back(device);
            } else {
                sim::LetterSpec& letter = computer.addLetter(static_cast<char>('D' + d), drive.id);
                letter.address.targetId = static_cast<std::uint8_t>(pick(16));
                letter.address.pathId = static_cast<std::uint8_t>(pick(2));
            }
        }

        rig.answers.clear();
        for (unsigned i = 0; i < 4; ++i) {
            rig.answers.push_back(pick(4) == 0 ? DialogAnswer::No : DialogAnswer::Yes);
        }
        // The user takes every disc out when a dialog asks for it.
        rig.whileDialogOpen = [](sim::SimHost& host) {
            for (std::size_t i = 0; i < host.driveCount(); ++i) {
                if (host.drive(i).mediumPresent()) {
                    host.drive(i).removeMedium();
                }
            }
        };
        return summary;
    }

  private:
    unsigned pick(unsigned bound) {
        return static_cast<unsigned>(
            std::uniform_int_distribution<unsigned>(0, bound - 1)(random_));
    }
    // A digit, mostly 0 or 1, sometimes another.
    char digit(unsigned ones) {
        const unsigned roll = pick(ones + 2);
        if (roll == 0) {
            return static_cast<char>('2' + pick(8));
        }
        return roll <= ones / 2 + 1 ? '1' : '0';
    }
    static std::string pad10(std::int32_t value) {
        std::string text = std::to_string(value);
        return std::string(10 - text.size(), '0') + text;
    }
    static std::string productOf(unsigned bin) {
        return "DVR-" + std::to_string(bin + 1) + "           ";
    }

    // A fault that strikes a few times at most, so that a disc and tray check
    // (which asks the user until the drive answers) always ends.
    sim::FaultRule randomFault(bool discCheck) {
        static constexpr sim::FaultKind kinds[] = {
            sim::FaultKind::Transport,      sim::FaultKind::Sense,
            sim::FaultKind::Timeout,        sim::FaultKind::WriteCorruption,
            sim::FaultKind::ReadCorruption, sim::FaultKind::LostReply,
            sim::FaultKind::Vanish,
        };
        static constexpr std::uint8_t opcodes[] = {0x00, 0x12, 0x1B, 0x4A, 0xDF, 0x3B, 0x3C};
        sim::FaultRule rule;
        rule.kind = kinds[pick(discCheck ? 6 : 7)];
        if (pick(5) != 0) {
            rule.opcode = opcodes[pick(7)];
        }
        rule.nth = 1 + pick(60);
        rule.times = 1 + pick(3);
        rule.probability = pick(3) == 0 ? 0.4 : 1.0;
        rule.seed = seed_ + 17;
        static constexpr sim::Sense senses[] = {
            sim::sense::InternalFailure, sim::sense::PowerOnReset, sim::sense::BecomingReady,
            sim::sense::NoMedium, sim::sense::InvalidFieldInCdb};
        rule.sense = senses[pick(5)];
        return rule;
    }

    std::mt19937_64 random_;
    std::uint64_t seed_;
};

}  // namespace zorbel::proof
