#include "sim/SimHost.h"

#include <stdexcept>

#include "sim/Trace.h"

namespace zorbel::sim {

DriveSpec& ComputerSpec::addDrive(std::string id) {
    drives.emplace_back();
    drives.back().id = std::move(id);
    return drives.back();
}

LetterSpec& ComputerSpec::addLetter(char letter, std::string driveId, zorbel::DriveType type) {
    LetterSpec spec;
    spec.root = std::string(1, letter) + ":\\";
    spec.type = type;
    spec.drive = std::move(driveId);
    letters.push_back(std::move(spec));
    return letters.back();
}

AdapterSpec& ComputerSpec::addAdapter() {
    aspi.adapters.emplace_back();
    return aspi.adapters.back();
}

void ComputerSpec::validate() const {}

SimHost::SimHost(ComputerSpec spec) : spec_(std::move(spec)), clock_(spec_.clock) {}
SimHost::~SimHost() = default;

SimDrive& SimHost::drive(std::size_t index) {
    return *drives_.at(index);
}
SimDrive* SimHost::findDrive(std::string_view) {
    return nullptr;
}
std::vector<MessageBoxRecord> SimHost::messageBoxes() const {
    return {};
}
std::vector<bool> SimHost::restartRequests() const {
    return {};
}
OsCounters SimHost::counters() const {
    return {};
}
std::uint64_t SimHost::opensOf(std::string_view) const {
    return 0;
}
void SimHost::setTrace(CommandTrace* trace) {
    trace_.store(trace);
}

bool SimHost::isNtFamily() {
    return spec_.platform == Platform::Nt;
}
bool SimHost::queryPerformanceFrequency(std::int64_t& frequency) {
    frequency = VirtualClock::Frequency;
    return spec_.performanceCounter;
}
std::int64_t SimHost::queryPerformanceCounter() {
    return clock_.counter();
}
void SimHost::sleepMs(std::uint32_t milliseconds) {
    clock_.sleep(std::chrono::milliseconds(milliseconds));
}
std::string SimHost::logicalDriveStrings() {
    return {};
}
zorbel::DriveType SimHost::driveType(std::string_view) {
    return zorbel::DriveType::NoRootDir;
}
std::string SimHost::deviceNameForRoot(std::string_view root) {
    return "\\\\.\\" + std::string(root.substr(0, 2));
}
std::string SimHost::rootLabel(std::string_view root) {
    return std::string(root.substr(0, 2));
}
zorbel::DeviceHandle SimHost::openDevice(std::string_view) {
    return zorbel::InvalidDevice;
}
void SimHost::closeDevice(zorbel::DeviceHandle) {}
bool SimHost::queryScsiAddress(zorbel::DeviceHandle, zorbel::ScsiAddress&) {
    return false;
}
bool SimHost::passThroughDirect(zorbel::DeviceHandle,
                                std::span<std::uint8_t, zorbel::PassThroughBlockSize>, void*) {
    return false;
}
zorbel::AspiModule SimHost::loadLibrary(std::string_view) {
    return 0;
}
zorbel::AspiProc SimHost::getProcAddress(zorbel::AspiModule, std::string_view) {
    return 0;
}
void SimHost::freeLibrary(zorbel::AspiModule) {}
std::uint32_t SimHost::aspiSupportInfo(zorbel::AspiProc) {
    return 0;
}
std::uint32_t SimHost::aspiSendCommand(zorbel::AspiProc, std::span<std::uint8_t>, void*) {
    return 0;
}
zorbel::EventHandle SimHost::createEvent() {
    return 0;
}
bool SimHost::waitEvent(zorbel::EventHandle, std::uint32_t) {
    return false;
}
void SimHost::closeEvent(zorbel::EventHandle) {}
void SimHost::systemMessageBox(std::string_view, std::string_view) {}
bool SimHost::restartSystem(bool) {
    return false;
}
int SimHost::collate(std::string_view a, std::string_view b) {
    return zorbel::plainCollate(a, b);
}

ScopedHost::ScopedHost(zorbel::Host& host) {
    zorbel::setCurrentHost(&host);
}
ScopedHost::~ScopedHost() {
    zorbel::setCurrentHost(nullptr);
}

InstalledComputer::InstalledComputer(ComputerSpec spec)
    : host_(std::make_unique<SimHost>(std::move(spec))), scope_(*host_) {}

}  // namespace zorbel::sim
