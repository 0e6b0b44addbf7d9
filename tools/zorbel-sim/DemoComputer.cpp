#include "tools/zorbel-sim/DemoComputer.h"

#include <chrono>
#include <utility>

namespace zorbel::simtool {

namespace {

using namespace std::chrono_literals;

constexpr std::string_view DemoVendor = "MERIDOX";
constexpr std::string_view DemoProduct = "DVD-RW DX-4410S";

sim::Latency driveLatency() {
    sim::Latency latency;
    latency.perCommand = 2ms;
    latency.perByte = 1us;
    latency.commit = 4s;
    return latency;
}

void attach(sim::ComputerSpec& computer, char letter, const std::string& drive, std::uint8_t port,
            std::uint8_t target) {
    sim::LetterSpec& spec = computer.addLetter(letter, drive);
    spec.address = ScsiAddress{8, port, 0, target, 0};
}

}  // namespace

sim::ComputerSpec demoComputer(std::span<const std::uint8_t> expectedImage) {
    sim::ComputerSpec computer;
    computer.platform = sim::Platform::Nt;
    computer.clock = sim::ClockMode::Virtual;

    computer.addLetter('C', "", zorbel::DriveType::Fixed);

    {
        sim::DriveSpec& writer = computer.addDrive("dx4410-d");
        writer.identity = sim::Identity::fromText(DemoVendor, DemoProduct, "1.00", "demo drive");
        writer.newRevision = sim::padded<4>("1.10");
        writer.medium = true;  // a disc in the tray: the disc check asks for it to go
        // A package without a usable bin leaves the image out: the program refuses it.
        if (!expectedImage.empty()) {
            writer.imageSize = static_cast<std::uint32_t>(expectedImage.size());
            writer.expectedImage.assign(expectedImage.begin(), expectedImage.end());
        }
        writer.latency = driveLatency();
    }
    {
        sim::DriveSpec& other = computer.addDrive("lr880-e");
        other.identity = sim::Identity::fromText("LUMINARK", "DVDRW LR-880", "2.05");
        other.medium = false;
        other.latency = driveLatency();
    }
    {
        sim::DriveSpec& current = computer.addDrive("dx4410-f");
        current.identity = sim::Identity::fromText(DemoVendor, DemoProduct, "1.10", "demo drive");
        current.newRevision = sim::padded<4>("1.10");
        current.medium = false;
        if (!expectedImage.empty()) {
            current.imageSize = static_cast<std::uint32_t>(expectedImage.size());
            current.expectedImage.assign(expectedImage.begin(), expectedImage.end());
        }
        current.latency = driveLatency();
    }

    attach(computer, 'D', "dx4410-d", 1, 0);
    attach(computer, 'E', "lr880-e", 1, 1);
    attach(computer, 'F', "dx4410-f", 2, 0);
    computer.validate();
    return computer;
}

}  // namespace zorbel::simtool
