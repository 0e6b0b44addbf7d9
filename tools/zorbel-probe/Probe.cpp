#include "tools/zorbel-probe/Probe.h"

#include <algorithm>
#include <cstring>

#include "device/AnswerLayout.h"
#include "device/BoundedPhase.h"

namespace zorbel::probe {

namespace {

constexpr int IdentityAttempts = 3;
// TEST UNIT READY without a disc: not ready, medium not present, and where
// the tray is.
constexpr std::uint8_t SenseNotReady = 0x02;
constexpr std::uint8_t AscMediumNotPresent = 0x3A;
constexpr std::uint8_t AscqTrayClosed = 0x01;
constexpr std::uint8_t AscqTrayOpen = 0x02;

}  // namespace

void probeDrive(AtapiDevice& device, std::int16_t index, bool flashId, DriveReport& report) {
    if (!device.SelectDrive(index)) {
        return;
    }
    report.opened = true;
    const BoundedPhase phase(device, DiscoveryCommandTimeout);
    device.ClearUnitAttention();
    for (int attempt = 0;
         attempt < IdentityAttempts && !report.identified && !device.GaveUpOnDrive(); ++attempt) {
        // Bytes past the answer are left over from an earlier command: an
        // answer too short for the three texts identifies nothing, and the
        // vendor-specific field keeps only what was delivered.
        if (device.Inquiry(0, 0, 0, inquiry::Length, 0) && device.InBuffer() != nullptr &&
            device.LastTransferLength() >= inquiry::VendorSpecific) {
            const std::uint8_t* data = device.InBuffer();
            const std::size_t answered = device.LastTransferLength();
            std::memcpy(report.vendor.data(), data + inquiry::Vendor, report.vendor.size());
            std::memcpy(report.product.data(), data + inquiry::Product, report.product.size());
            std::memcpy(report.revision.data(), data + inquiry::Revision, report.revision.size());
            report.vendorSpecific.fill(0);
            std::memcpy(report.vendorSpecific.data(), data + inquiry::VendorSpecific,
                        std::min(answered - inquiry::VendorSpecific, report.vendorSpecific.size()));
            report.identified = true;
        }
    }

    const bool ready = device.TestUnitReady();
    report.unitReadyAnswered = ready || device.LastSenseKey() != 0;
    if (!ready && report.unitReadyAnswered) {
        report.unitReady = Sense{device.LastSenseKey(), device.LastAsc(), device.LastAscq()};
    }
    if (ready) {
        report.disc = Disc::Present;
    } else if (device.SenseIs(SenseNotReady, AscMediumNotPresent)) {
        report.disc = Disc::Absent;
        if (device.LastAscq() == AscqTrayClosed) {
            report.tray = Tray::Closed;
        } else if (device.LastAscq() == AscqTrayOpen) {
            report.tray = Tray::Open;
        }
    }
    if (device.GetEventStatus(1, mediaevent::Class, mediaevent::Length, 0) &&
        device.InBuffer() != nullptr && device.LastTransferLength() > mediaevent::Status) {
        report.eventStatus = true;
        const std::uint8_t status = device.InBuffer()[mediaevent::Status];
        report.tray = (status & mediaevent::TrayOpen) != 0 ? Tray::Open : Tray::Closed;
        report.disc = (status & mediaevent::MediaPresent) != 0 ? Disc::Present : Disc::Absent;
    }

    if (flashId) {
        report.flashAsked = true;
        if (device.ReadFlashId()) {
            report.flashAnswered = true;
            std::memcpy(report.chip.data(), device.InBuffer(), report.chip.size());
        } else if (device.LastSenseKey() != 0) {
            report.flashRefusal = Sense{device.LastSenseKey(), device.LastAsc(), device.LastAscq()};
        }
    }
    device.CloseDrive();
}

}  // namespace zorbel::probe
