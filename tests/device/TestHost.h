// A scripted host for the drive object's tests: a virtual clock, a root list,
// devices that open or not, an ASPI manager with adapters, and drives whose
// answers a test scripts. It records every request block exactly as the drive
// object handed it over, so tests can check the bytes the platform receives.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "device/AtapiDevice.h"
#include "device/Host.h"
#include "device/RequestLayout.h"

namespace zorbel::test {

// One command as the drive saw it.
struct SeenCommand {
    std::string drive;  // root ("D:\") or "ha-target-lun"
    Packet packet{};
    std::uint8_t direction = 0;
    std::uint32_t length = 0;
    bool bufferNull = true;
};

// What a drive answers to one command.
struct Answer {
    bool delivered = true;  // false: transport failure (no sense)
    std::uint8_t key = 0, asc = 0, ascq = 0;
    std::vector<std::uint8_t> data;  // data-in bytes
    double seconds = 0.0;            // how long the command takes
    // The status byte; by default CHECK CONDITION with a sense key, else GOOD.
    std::optional<std::uint8_t> status;
    // Bytes the platform reports moved; by default the whole length.
    std::optional<std::uint32_t> moved;

    std::uint8_t statusByte() const { return status.value_or(key != 0 ? 0x02 : 0x00); }
};

inline Answer senseAnswer(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0) {
    Answer a;
    a.key = key;
    a.asc = asc;
    a.ascq = ascq;
    return a;
}

inline Answer transportFailure() {
    Answer a;
    a.delivered = false;
    return a;
}

using Responder = std::function<Answer(const SeenCommand&)>;

struct TestRoot {
    std::string root;  // "D:\"
    DriveType type = DriveType::Cdrom;
    bool opens = true;
    enum class Address { Fails, Empty, Given } address = Address::Given;
    ScsiAddress scsi{8, 1, 0, 0, 0};
};

inline TestRoot cdromRoot(std::string root, std::uint8_t port, std::uint8_t path = 0,
                          std::uint8_t target = 0, std::uint8_t lun = 0) {
    TestRoot r;
    r.root = std::move(root);
    r.scsi = ScsiAddress{8, port, path, target, lun};
    return r;
}

inline TestRoot otherRoot(std::string root, DriveType type = DriveType::Fixed) {
    TestRoot r;
    r.root = std::move(root);
    r.type = type;
    return r;
}

// Standard INQUIRY data (96 bytes) with the given identity texts.
inline std::vector<std::uint8_t> inquiryData(std::string_view vendor, std::string_view product,
                                             std::string_view revision) {
    std::vector<std::uint8_t> data(96, 0);
    data[0] = 0x05;
    std::copy_n(vendor.begin(), std::min<std::size_t>(vendor.size(), 8), data.begin() + 8);
    std::copy_n(product.begin(), std::min<std::size_t>(product.size(), 16), data.begin() + 16);
    std::copy_n(revision.begin(), std::min<std::size_t>(revision.size(), 4), data.begin() + 32);
    return data;
}

class TestHost final : public Host {
  public:
    static constexpr std::int64_t Frequency = 1'000'000;

    TestHost() { setCurrentHost(this); }
    ~TestHost() override { setCurrentHost(nullptr); }

    // ---- configuration ----
    bool nt = true;
    bool counterAvailable = true;
    std::int64_t clock = 0;  // counts at Frequency
    std::vector<TestRoot> roots;
    bool aspiPresent = false;
    bool aspiSupportInfoMissing = false;
    bool aspiSendMissing = false;
    std::uint8_t aspiSupportStatus = srb::SsComp;
    bool aspiEvents = true;          // createEvent succeeds
    bool aspiCompletesLate = false;  // status stays pending until the event wait
    // adapters[ha][target * 8 + lun] = device type (0xFF none)
    std::vector<std::array<std::uint8_t, 128>> adapters;
    Responder respond = [](const SeenCommand&) { return Answer{}; };
    // Records nothing and answers every command with success: a host that
    // itself allocates nothing per command.
    bool quiet = false;

    // ---- records ----
    std::vector<std::array<std::uint8_t, 80>> passThroughBlocks;
    std::vector<std::array<std::uint8_t, 80>> aspiBlocks;
    std::vector<SeenCommand> commands;
    std::vector<std::pair<std::string, std::string>> messageBoxes;
    std::vector<std::uint32_t> eventWaits;
    std::vector<std::string> opened;
    int openCount = 0, closeCount = 0, libraryLoads = 0, libraryFrees = 0;
    int eventsCreated = 0, eventsClosed = 0;
    int haInquiries = 0, rescans = 0, gdevs = 0;

    void addAdapter() {
        std::array<std::uint8_t, 128> devices;
        devices.fill(0xFF);
        adapters.push_back(devices);
    }
    void addAspiDevice(std::size_t ha, int target, int lun, std::uint8_t type = srb::DtypeCdrom) {
        while (adapters.size() <= ha) {
            addAdapter();
        }
        adapters[ha][static_cast<std::size_t>(target * 8 + lun)] = type;
    }
    double seconds() const { return static_cast<double>(clock) / Frequency; }

    // ---- Host ----
    bool isNtFamily() override { return nt; }
    bool queryPerformanceFrequency(std::int64_t& f) override {
        f = counterAvailable ? Frequency : 0;
        return counterAvailable;
    }
    std::int64_t queryPerformanceCounter() override { return clock; }
    void sleepMs(std::uint32_t ms) override { clock += static_cast<std::int64_t>(ms) * 1000; }

    std::string logicalDriveStrings() override {
        std::string list;
        for (const TestRoot& r : roots) {
            list += r.root;
            list += '\0';
        }
        if (!list.empty()) {
            list += '\0';
        }
        return list;
    }
    DriveType driveType(std::string_view root) override {
        ++driveTypeCalls;
        for (const TestRoot& r : roots) {
            if (r.root == root) {
                return r.type;
            }
        }
        return DriveType::NoRootDir;
    }
    int driveTypeCalls = 0;
    std::string deviceNameForRoot(std::string_view root) override {
        return "\\\\.\\" + std::string(root.substr(0, 2));
    }
    std::string rootLabel(std::string_view root) override { return std::string(root.substr(0, 2)); }
    DeviceHandle openDevice(std::string_view name) override {
        opened.emplace_back(name);
        for (std::size_t i = 0; i < roots.size(); ++i) {
            if (deviceNameForRoot(roots[i].root) == name && roots[i].opens) {
                ++openCount;
                handles_[nextHandle_] = i;
                return nextHandle_++;
            }
        }
        return InvalidDevice;
    }
    void closeDevice(DeviceHandle device) override {
        ++closeCount;
        handles_.erase(device);
    }
    bool queryScsiAddress(DeviceHandle device, ScsiAddress& address) override {
        const TestRoot& r = roots[handles_.at(device)];
        if (r.address == TestRoot::Address::Fails) {
            return false;
        }
        address = r.scsi;
        if (r.address == TestRoot::Address::Empty) {
            address.length = 0;
        }
        return true;
    }
    bool passThroughDirect(DeviceHandle device, std::span<std::uint8_t, 80> block,
                           void* dataBuffer) override {
        if (quiet) {
            return true;
        }
        std::array<std::uint8_t, 80> copy;
        std::copy(block.begin(), block.end(), copy.begin());
        passThroughBlocks.push_back(copy);
        auto it = handles_.find(device);
        if (it == handles_.end()) {
            return false;  // invalid handle
        }
        SeenCommand cmd;
        cmd.drive = roots[it->second].root;
        std::copy_n(block.begin() + passthrough::Cdb, 12, cmd.packet.begin());
        cmd.direction = block[passthrough::DataIn];
        cmd.length = getLe32(block, passthrough::DataTransferLength);
        cmd.bufferNull = dataBuffer == nullptr;
        const Answer a = run(cmd, dataBuffer);
        if (!a.delivered) {
            return false;
        }
        block[passthrough::SenseArea + sense::Key] = a.key;
        block[passthrough::SenseArea + sense::Asc] = a.asc;
        block[passthrough::SenseArea + sense::Ascq] = a.ascq;
        block[passthrough::ScsiStatus] = a.statusByte();
        if (a.moved) {
            putLe32(block, passthrough::DataTransferLength, *a.moved);
        }
        return true;
    }

    AspiModule loadLibrary(std::string_view name) override {
        if (!aspiPresent || name != "WNASPI32") {
            return 0;
        }
        ++libraryLoads;
        return 0x1000;
    }
    AspiProc getProcAddress(AspiModule, std::string_view name) override {
        if (name == "GetASPI32SupportInfo") {
            return aspiSupportInfoMissing ? 0 : 1;
        }
        if (name == "SendASPI32Command") {
            return aspiSendMissing ? 0 : 2;
        }
        return 0;
    }
    void freeLibrary(AspiModule) override { ++libraryFrees; }
    std::uint32_t aspiSupportInfo(AspiProc) override {
        return (static_cast<std::uint32_t>(aspiSupportStatus) << 8) |
               static_cast<std::uint32_t>(adapters.size());
    }
    std::uint32_t aspiSendCommand(AspiProc, std::span<std::uint8_t> request,
                                  void* dataBuffer) override {
        const std::size_t ha = request[srb::HaId];
        switch (request[srb::Cmd]) {
            case srb::ScHaInquiry:
                ++haInquiries;
                if (ha < std::max<std::size_t>(adapters.size(), 1)) {
                    request[srb::hainquiry::HaCount] = static_cast<std::uint8_t>(adapters.size());
                    request[srb::Status] = srb::SsComp;
                } else {
                    request[srb::Status] = 0x81;  // invalid host adapter
                }
                return request[srb::Status];
            case srb::ScRescanScsiBus:
                ++rescans;
                request[srb::Status] = srb::SsComp;
                return srb::SsComp;
            case srb::ScGetDevType: {
                ++gdevs;
                const std::size_t slot = request[srb::gdev::Target] * 8u + request[srb::gdev::Lun];
                if (ha < adapters.size() && slot < 128 && adapters[ha][slot] != 0xFF) {
                    request[srb::gdev::DeviceType] = adapters[ha][slot];
                    request[srb::Status] = srb::SsComp;
                } else {
                    request[srb::Status] = 0x82;  // no device
                }
                return request[srb::Status];
            }
            case srb::ScExecScsiCmd:
                return exec(request, dataBuffer);
            default:
                return 0;
        }
    }
    EventHandle createEvent() override {
        if (!aspiEvents) {
            return 0;
        }
        ++eventsCreated;
        return 77;
    }
    bool waitEvent(EventHandle, std::uint32_t ms) override {
        eventWaits.push_back(ms);
        if (pendingAnswer_) {
            finish(*pendingRequest_, *pendingAnswer_);
            pendingAnswer_.reset();
        }
        return true;
    }
    void closeEvent(EventHandle) override { ++eventsClosed; }

    void systemMessageBox(std::string_view text, std::string_view caption) override {
        messageBoxes.emplace_back(text, caption);
    }
    bool restartSystem(bool) override { return true; }
    int collate(std::string_view a, std::string_view b) override { return plainCollate(a, b); }

  private:
    Answer run(const SeenCommand& cmd, void* dataBuffer) {
        commands.push_back(cmd);
        Answer a = respond(cmd);
        clock += static_cast<std::int64_t>(a.seconds * Frequency);
        if (a.delivered && cmd.direction == 1 && dataBuffer != nullptr && !a.data.empty()) {
            std::memcpy(dataBuffer, a.data.data(),
                        std::min<std::size_t>({a.data.size(), cmd.length, a.moved.value_or(~0u)}));
        }
        return a;
    }

    std::uint32_t exec(std::span<std::uint8_t> request, void* dataBuffer) {
        if (quiet) {
            request[srb::Status] = srb::SsComp;
            return srb::SsComp;
        }
        std::array<std::uint8_t, 80> copy;
        std::copy(request.begin(), request.end(), copy.begin());
        aspiBlocks.push_back(copy);
        SeenCommand cmd;
        cmd.drive = std::to_string(request[srb::HaId]) + "-" +
                    std::to_string(request[srb::exec::Target]) + "-" +
                    std::to_string(request[srb::exec::Lun]);
        std::copy_n(request.begin() + srb::exec::CdbByte, 12, cmd.packet.begin());
        const std::uint8_t flags = request[srb::Flags];
        cmd.direction = (flags & srb::DirIn) ? 1 : (flags & srb::DirOut) ? 0 : 2;
        cmd.length = getLe32(request, srb::exec::BufLen);
        cmd.bufferNull = dataBuffer == nullptr;
        const std::size_t ha = request[srb::HaId];
        const std::size_t slot = request[srb::exec::Target] * 8u + request[srb::exec::Lun];
        if (ha >= adapters.size() || slot >= 128 || adapters[ha][slot] == 0xFF) {
            request[srb::Status] = 0x82;  // no such device
            return request[srb::Status];
        }
        const Answer a = run(cmd, dataBuffer);
        if (aspiCompletesLate && (flags & srb::EventNotify)) {
            pendingRequest_ = request;
            pendingAnswer_ = a;
            return srb::SsPending;
        }
        finish(request, a);
        return request[srb::Status];
    }

    static void finish(std::span<std::uint8_t> request, const Answer& a) {
        if (!a.delivered) {
            request[srb::Status] = 0x04;  // SS_ERR without sense
            return;
        }
        request[srb::exec::SenseArea + sense::Key] = a.key;
        request[srb::exec::SenseArea + sense::Asc] = a.asc;
        request[srb::exec::SenseArea + sense::Ascq] = a.ascq;
        request[srb::exec::TargStat] = a.statusByte();
        request[srb::Status] = a.key == 0 && a.statusByte() == 0 ? srb::SsComp : 0x04;
    }

    std::map<DeviceHandle, std::size_t> handles_;
    DeviceHandle nextHandle_ = 100;
    std::optional<std::span<std::uint8_t>> pendingRequest_;
    std::optional<Answer> pendingAnswer_;
};

}  // namespace zorbel::test
