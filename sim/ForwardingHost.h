// A host that hands every call on to another host. Hosts that sit between the
// program and a simulated computer (to bend answers, or to fail in ways the
// simulation does not) derive from it and override only the calls they change.
#pragma once

#include "device/Host.h"

namespace zorbel::sim {

class ForwardingHost : public Host {
  public:
    explicit ForwardingHost(Host& inner) : inner_(inner) {}

    bool isNtFamily() override { return inner_.isNtFamily(); }
    bool commandsTakeRealTime() override { return inner_.commandsTakeRealTime(); }
    bool queryPerformanceFrequency(std::int64_t& f) override {
        return inner_.queryPerformanceFrequency(f);
    }
    std::int64_t queryPerformanceCounter() override { return inner_.queryPerformanceCounter(); }
    void sleepMs(std::uint32_t ms) override { inner_.sleepMs(ms); }
    std::string logicalDriveStrings() override { return inner_.logicalDriveStrings(); }
    DriveType driveType(std::string_view root) override { return inner_.driveType(root); }
    std::string deviceNameForRoot(std::string_view root) override {
        return inner_.deviceNameForRoot(root);
    }
    std::string rootLabel(std::string_view root) override { return inner_.rootLabel(root); }
    DeviceHandle openDevice(std::string_view name) override { return inner_.openDevice(name); }
    void closeDevice(DeviceHandle device) override { inner_.closeDevice(device); }
    bool queryScsiAddress(DeviceHandle device, ScsiAddress& address) override {
        return inner_.queryScsiAddress(device, address);
    }
    bool passThroughDirect(DeviceHandle device, std::span<std::uint8_t, PassThroughBlockSize> block,
                           void* data) override {
        return inner_.passThroughDirect(device, block, data);
    }
    bool claimDevice(DeviceHandle device) override { return inner_.claimDevice(device); }
    bool lastCommandTimedOut() override { return inner_.lastCommandTimedOut(); }
    bool watchStopSignals(void (*deliver)(int)) override {
        return inner_.watchStopSignals(deliver);
    }
    bool waitForConsoleInput() override { return inner_.waitForConsoleInput(); }
    bool inhibitShutdown() override { return inner_.inhibitShutdown(); }
    void releaseShutdownInhibit() override { inner_.releaseShutdownInhibit(); }
    PowerState powerState() override { return inner_.powerState(); }
    AspiModule loadLibrary(std::string_view name) override { return inner_.loadLibrary(name); }
    AspiProc getProcAddress(AspiModule module, std::string_view name) override {
        return inner_.getProcAddress(module, name);
    }
    void freeLibrary(AspiModule module) override { inner_.freeLibrary(module); }
    std::uint32_t aspiSupportInfo(AspiProc proc) override { return inner_.aspiSupportInfo(proc); }
    std::uint32_t aspiSendCommand(AspiProc proc, std::span<std::uint8_t> request,
                                  void* data) override {
        return inner_.aspiSendCommand(proc, request, data);
    }
    bool aspiRequestEnded(std::span<std::uint8_t> request, bool giveUp) override {
        return inner_.aspiRequestEnded(request, giveUp);
    }
    EventHandle createEvent() override { return inner_.createEvent(); }
    bool waitEvent(EventHandle event, std::uint32_t ms) override {
        return inner_.waitEvent(event, ms);
    }
    void closeEvent(EventHandle event) override { inner_.closeEvent(event); }
    void systemMessageBox(std::string_view text, std::string_view caption) override {
        inner_.systemMessageBox(text, caption);
    }
    bool restartSystem(bool nt) override { return inner_.restartSystem(nt); }
    int collate(std::string_view a, std::string_view b) override { return inner_.collate(a, b); }

  private:
    Host& inner_;
};

}  // namespace zorbel::sim
