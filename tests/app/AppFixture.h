// The window's test bench: a filled package for MERIDOX DVR-1 drives, a
// simulated computer the test describes, the scripted toolkit, and the main
// window built on them with a drive-object factory that counts (and can
// refuse) what the window creates.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/ZorbelMain.h"
#include "engine/StandInProfiles.h"
#include "package/BlockLayout.h"
#include "package/PackageBlock.h"
#include "sim/SimHost.h"
#include "tests/app/ScriptedToolkit.h"
#include "tests/package/BlockBytes.h"

namespace zorbel::testing {

inline constexpr std::string_view TestVendor = "MERIDOX ";
inline constexpr std::string_view TestProduct = "DVR-1           ";
inline constexpr std::string_view TestSupported = "MERIDOX DVR-1";
inline constexpr std::string_view TestTitle = "Flash Program for MERIDOX DVR-1";
inline constexpr std::string_view OldRevision = "1.00";   // inside the slot 1.00-1.09
inline constexpr std::string_view NewRevision = "1.10";   // outside it
inline constexpr std::int32_t TestImageSize = 4 * 16384;  // four blocks

inline std::uint8_t bankByte(std::size_t i) {
    return static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
}

// Drives "MERIDOX  DVR-1" of revisions 1.00 to 1.09 get bin 1, a 64 KiB image
// that brings revision 1.10. Every option off.
inline BlockBytes makePackage() {
    BlockBytes package;
    package.put(block::TitleOffset, block::TitleSize, TestTitle);
    package.put(block::SupportedDrivesOffset, block::SupportedDrivesSize, TestSupported);
    package.option(block::Option::N2OMESSAGE, "N2OMESSAGE=0");
    package.option(block::Option::CHKDISC, "CHKDISC=0");
    package.option(block::Option::BOOTCODE, "BOOTCODE=1");
    package.option(block::Option::REBOOT, "REBOOT=0");
    package.option(block::Option::AUTOMODE, "AUTOMODE=0");
    package.option(block::Option::CLOSEAP, "CLOSEAP=0");
    package.option(block::Option::WARNING, "WARNING=0");
    package.option(block::Option::NBWARNING, "NBWARNING=0");
    package.option(block::Option::HOW_MANY_BIN, "HOW_MANY_BIN=1");
    package.slot(0, 0, "1.00", "1.09", TestVendor, TestProduct);
    package.bin(0, "0000000000", "0000065536");
    package.newFirmware(0, NewRevision);
    for (std::size_t i = 0; i < block::BankSize; ++i) {
        package.bytes()[block::BankOffset + i] = bankByte(i);
    }
    return package;
}

// The key and digit of an option ("CHKDISC=1").
inline std::string optionText(block::Option option, char digit) {
    return std::string(block::optionSlot(option).key) + digit;
}

class AppTest : public ::testing::Test {
  protected:
    // The program runs on the simulated computer, whose store holds the stand-ins.
    AppTest() { SetStandInProfilesAccepted(true); }
    void TearDown() override { stop(); }

    // A drive of the tested make at a drive letter; `target` orders the list.
    sim::DriveSpec& addDrive(const std::string& id, char letter, std::string_view revision,
                             std::uint8_t target) {
        sim::DriveSpec& drive = computer.addDrive(id);
        drive.identity = sim::Identity::fromText(TestVendor, "DVR-1", revision);
        drive.newRevision = sim::padded<4>(NewRevision);
        drive.imageSize = static_cast<std::uint32_t>(TestImageSize);
        drive.expectedImage.resize(static_cast<std::size_t>(TestImageSize));
        for (std::size_t i = 0; i < drive.expectedImage.size(); ++i) {
            drive.expectedImage[i] = bankByte(i);
        }
        drive.medium = false;
        sim::LetterSpec& root = computer.addLetter(letter, id);
        root.address.targetId = target;
        return drive;
    }

    // The same drive behind the ASPI manager: host adapter `adapter`, no drive letter.
    sim::DriveSpec& addAspiDrive(const std::string& id, std::string_view revision,
                                 std::uint8_t target) {
        sim::DriveSpec& drive = addDrive(id, 'Z', revision, target);
        computer.letters.pop_back();
        computer.aspi.libraryPresent = true;
        if (computer.aspi.adapters.empty()) {
            computer.addAdapter();
        }
        sim::AspiDeviceSpec device;
        device.target = target;
        device.drive = id;
        computer.aspi.adapters.back().devices.push_back(device);
        return drive;
    }

    void setOption(block::Option option, char digit) {
        package.option(option, optionText(option, digit));
    }

    // Installs package and computer and creates the window (start-up).
    void start() {
        packageScope = std::make_unique<ScopedPackageOverride>(package.bytes());
        installed = std::make_unique<sim::InstalledComputer>(computer);
        window = std::make_unique<TZorbelMain>(toolkit, [this](bool discover) {
            if (discover) {
                ++listObjectsCreated;
                return listObjectFails ? nullptr : createAtapiDevice(true);
            }
            ++runObjectsCreated;
            return runObjectsFail ? nullptr : createAtapiDevice(false);
        });
    }

    void stop() {
        window.reset();
        installed.reset();
        packageScope.reset();
    }

    sim::SimHost& host() { return installed->host(); }
    sim::SimDrive& drive(std::string_view id) {
        sim::SimDrive* found = host().findDrive(id);
        if (found == nullptr) {
            throw std::invalid_argument("no simulated drive " + std::string(id));
        }
        return *found;
    }
    // The window while it is still being constructed (start-up runs dialogs).
    TZorbelMain* liveWindow() { return dynamic_cast<TZorbelMain*>(toolkit.form()); }

    std::vector<const DialogRecord*> dialogsOf(DialogKind kind) const {
        std::vector<const DialogRecord*> found;
        for (const auto& dialog : toolkit.dialogs()) {
            if (dialog.kind == kind) {
                found.push_back(&dialog);
            }
        }
        return found;
    }

    // Commands of one opcode a drive received.
    std::size_t commandsWithOpcode(std::string_view id, std::uint8_t opcode) {
        const auto commands = drive(id).commands();
        return static_cast<std::size_t>(
            std::count_if(commands.begin(), commands.end(),
                          [opcode](const sim::CommandRecord& c) { return c.packet[0] == opcode; }));
    }

    BlockBytes package = makePackage();
    sim::ComputerSpec computer;
    ScriptedToolkit toolkit;
    int listObjectsCreated = 0;
    int runObjectsCreated = 0;
    bool listObjectFails = false;
    bool runObjectsFail = false;

    std::unique_ptr<ScopedPackageOverride> packageScope;
    std::unique_ptr<sim::InstalledComputer> installed;
    std::unique_ptr<TZorbelMain> window;
};

inline constexpr std::uint8_t OpWriteBuffer = 0x3B;
inline constexpr std::uint8_t OpStartStopUnit = 0x1B;

}  // namespace zorbel::testing
