// Drive discovery and identification: the drive table of up to 16 entries,
// filled by an ASPI scan or a drive-letter scan, ordered by address, and each
// drive's INQUIRY identity and flash identification.

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "device/AnswerLayout.h"
#include "device/AtapiDevice.h"
#include "device/BoundedPhase.h"
#include "device/FixedText.h"
#include "device/RequestLayout.h"

namespace zorbel {

namespace {

constexpr int IdentityAttempts = 10;
constexpr int AspiTargets = 16;
constexpr int AspiLuns = 8;
constexpr std::int16_t FirstAddresslessAdapter = 2;

// Calls visit(root) for each root of the platform's root list, first to last,
// each once; the empty string that ends the list is never visited. visit
// returns false to end the walk.
template <typename Visit>
void forEachRoot(const std::string& list, Visit visit) {
    std::size_t pos = 0;
    while (pos < list.size()) {
        std::size_t end = list.find('\0', pos);
        if (end == std::string::npos) {
            end = list.size();
        }
        if (end == pos) {
            return;  // the empty string ends the list
        }
        if (!visit(std::string_view(list).substr(pos, end - pos))) {
            return;
        }
        pos = end + 1;
    }
}

// Copies `count` bytes of an answer into a text field one byte longer; the
// field stays zero-terminated.
template <std::size_t N>
void copyText(char (&field)[N], const std::uint8_t* from, std::size_t count) {
    static_assert(N >= 1);
    const std::size_t n = std::min(count, N - 1);
    std::memcpy(field, from, n);
    field[n] = '\0';
}

template <std::size_t N, std::size_t M>
void copyField(char (&to)[N], const char (&from)[M]) {
    static_assert(N == M);
    std::memcpy(to, from, N);
}

int sortKey(const DriveEntry& entry) {
    return entry.hostAdapter * 4096 + entry.path * 256 + entry.target * 16 + entry.lun;
}

}  // namespace

void AtapiDevice::ScanDrives() {
    ListDrives();
    IdentifyDrives();
}

void AtapiDevice::ListDrives() {
    for (int pass = 1;; ++pass) {
        std::fill(std::begin(drives_), std::end(drives_), DriveEntry{});
        driveCount_ = 0;

        if (useAspi_ != 0) {
            ScanAspiDevices();
        } else {
            ScanDriveLetters();
        }

        for (DriveEntry& entry : drives_) {
            if (entry.present != 0) {
                ++driveCount_;
                entry.viaAspi = useAspi_;
            }
        }

        // On the NT family an ASPI scan that misses CD-ROM drives the
        // platform lists by letter is replaced, once, by a drive-letter scan.
        if (pass == 1 && useAspi_ != 0 && os_.IsNT() && CountCdromLetters() > driveCount_) {
            useAspi_ = 0;
            UnloadAspi();
            continue;
        }
        break;
    }
    SortDriveTable();
}

bool AtapiDevice::FollowMovedDrive(const DriveEntry& was) {
    const std::string_view wasRoot = fixedText(was.rootPath);
    const std::int16_t index = currentDrive_;
    if (useAspi_ != 0 || wasRoot.empty() || index < 0 || index >= MaxDrives) {
        return false;  // an ASPI address does not move
    }
    Host& host = currentHost();
    std::string roots;
    try {
        roots = host.logicalDriveStrings();
    } catch (const std::bad_alloc&) {
        return false;
    }
    // The root as the table keeps it, and whether the table knew it.
    const auto kept = [](std::string_view root) {
        return root.substr(0, sizeof DriveEntry::rootPath - 1);
    };
    const auto known = [this, &kept](std::string_view root) {
        return std::any_of(std::begin(drives_), std::end(drives_), [&](const DriveEntry& e) {
            return e.present != 0 && fixedText(e.rootPath) == kept(root);
        });
    };
    bool rootStays = false;
    forEachRoot(roots, [&](std::string_view root) {
        rootStays = kept(root) == wasRoot;
        return !rootStays;
    });
    if (rootStays) {
        return false;  // the same node: a drive dropping commands while it starts
    }
    // Only roots new since the table was made are opened: the other drives
    // may be writing their flash.
    std::string found;
    forEachRoot(roots, [&](std::string_view root) {
        ScsiAddress address;
        if (!known(root) && host.driveType(root) == DriveType::Cdrom &&
            QueryScsiAddress(root, address) == 2 && address.portNumber == was.hostAdapter &&
            address.pathId == was.path && address.targetId == was.target &&
            address.lun == was.lun) {
            found = kept(root);
        }
        return found.empty();
    });
    if (found.empty()) {
        return false;
    }
    DriveEntry& entry = drives_[index];
    std::memset(entry.rootPath, 0, sizeof entry.rootPath);
    std::memcpy(entry.rootPath, found.data(), found.size());
    CloseDrive();
    return SelectDrive(index) && ClaimDrive();
}

void AtapiDevice::ScanAspiDevices() {
    if (sendCommand_ == 0) {
        return;
    }
    Host& host = currentHost();

    std::array<std::uint8_t, srb::hainquiry::Size> haInquiry{};
    haInquiry[srb::Cmd] = srb::ScHaInquiry;
    haInquiry[srb::HaId] = 0;
    host.aspiSendCommand(sendCommand_, haInquiry, nullptr);
    if (haInquiry[srb::Status] != srb::SsComp) {
        return;
    }
    const int adapters = haInquiry[srb::hainquiry::HaCount];

    for (int ha = 0; ha < adapters; ++ha) {
        std::array<std::uint8_t, srb::rescan::Size> rescan{};
        rescan[srb::Cmd] = srb::ScRescanScsiBus;
        rescan[srb::HaId] = static_cast<std::uint8_t>(ha);
        host.aspiSendCommand(sendCommand_, rescan, nullptr);  // result not used
    }

    std::size_t next = 0;
    for (int ha = 0; ha < adapters; ++ha) {
        haInquiry.fill(0);
        haInquiry[srb::Cmd] = srb::ScHaInquiry;
        haInquiry[srb::HaId] = static_cast<std::uint8_t>(ha);
        host.aspiSendCommand(sendCommand_, haInquiry, nullptr);
        if (haInquiry[srb::Status] != srb::SsComp) {
            return;  // entries found so far stay
        }
        for (int target = 0; target < AspiTargets; ++target) {
            for (int lun = 0; lun < AspiLuns; ++lun) {
                std::array<std::uint8_t, srb::gdev::Size> gdev{};
                gdev[srb::Cmd] = srb::ScGetDevType;
                gdev[srb::HaId] = static_cast<std::uint8_t>(ha);
                gdev[srb::gdev::Target] = static_cast<std::uint8_t>(target);
                gdev[srb::gdev::Lun] = static_cast<std::uint8_t>(lun);
                host.aspiSendCommand(sendCommand_, gdev, nullptr);
                if (gdev[srb::Status] != srb::SsComp ||
                    gdev[srb::gdev::DeviceType] != srb::DtypeCdrom) {
                    continue;
                }
                if (next == MaxDrives) {
                    return;  // the table is full
                }
                DriveEntry& entry = drives_[next++];
                entry.present = 1;
                entry.hostAdapter = static_cast<std::int16_t>(ha);
                entry.target = static_cast<std::int16_t>(target);
                entry.lun = static_cast<std::int16_t>(lun);
                entry.path = 0;
            }
        }
    }
}

void AtapiDevice::ScanDriveLetters() {
    Host& host = currentHost();
    std::string roots;
    try {
        roots = host.logicalDriveStrings();
    } catch (const std::bad_alloc&) {
        return;
    }

    std::size_t next = 0;
    std::int16_t addressless = 0;
    std::array<bool, MaxDrives> addressed{};  // the slot's drive reported its address
    forEachRoot(roots, [&](std::string_view root) {
        if (host.driveType(root) != DriveType::Cdrom) {
            return true;
        }
        if (next == MaxDrives) {
            return false;  // the table is full
        }
        // Slots are taken in the order of the CD-ROM roots, found or not.
        DriveEntry& entry = drives_[next++];
        const std::size_t n = std::min(root.size(), sizeof entry.rootPath - 1);
        std::memcpy(entry.rootPath, root.data(), n);
        entry.rootPath[n] = '\0';
        entry.viaAspi = 0;

        ScsiAddress address;
        switch (QueryScsiAddress(fixedText(entry.rootPath), address)) {
            case 1:  // listed without an address: adapters 2, 3, ... in list order
                entry.present = 1;
                entry.hostAdapter =
                    static_cast<std::int16_t>(FirstAddresslessAdapter + addressless);
                ++addressless;
                entry.target = 0;
                entry.lun = 0;
                entry.path = 0;
                break;
            case 2: {
                // Two roots that report one SCSI address lead to one drive (a
                // second letter for it, say): it is listed once, under the
                // first root, so that one update never programs it twice.
                const std::size_t slot = next - 1;
                const bool seen =
                    std::any_of(drives_, drives_ + slot, [&](const DriveEntry& earlier) {
                        const auto i = static_cast<std::size_t>(&earlier - drives_);
                        return addressed[i] && earlier.hostAdapter == address.portNumber &&
                               earlier.path == address.pathId &&
                               earlier.target == address.targetId && earlier.lun == address.lun;
                    });
                if (seen) {
                    entry = DriveEntry{};
                    break;
                }
                addressed[slot] = true;
                entry.present = 1;
                entry.hostAdapter = address.portNumber;
                entry.target = address.targetId;
                entry.lun = address.lun;
                entry.path = address.pathId;
                break;
            }
            default:
                break;  // not listed
        }
        return true;
    });
}

int AtapiDevice::QueryScsiAddress(std::string_view root, ScsiAddress& address) {
    Host& host = currentHost();
    const DeviceHandle device = host.openDevice(host.deviceNameForRoot(root));
    if (device == InvalidDevice) {
        return 0;
    }
    address = ScsiAddress{};
    int result = 2;
    if (!host.queryScsiAddress(device, address)) {
        result = 1;
    } else if (address.length == 0) {
        result = 0;
    }
    host.closeDevice(device);
    return result;
}

std::int16_t AtapiDevice::CountCdromLetters() {
    Host& host = currentHost();
    std::string roots;
    try {
        roots = host.logicalDriveStrings();
    } catch (const std::bad_alloc&) {
        return -1;  // never triggers the fallback
    }
    std::int16_t count = 0;
    forEachRoot(roots, [&](std::string_view root) {
        if (host.driveType(root) == DriveType::Cdrom) {
            ++count;
        }
        return true;
    });
    return count;
}

void AtapiDevice::SortDriveTable() {
    // Selection by smallest key; among equal keys the lowest index first.
    std::array<DriveEntry, MaxDrives> sorted{};
    std::array<bool, MaxDrives> taken{};
    std::size_t out = 0;
    for (;;) {
        int best = -1;
        for (int i = 0; i < MaxDrives; ++i) {
            if (drives_[i].present == 0 || taken[i]) {
                continue;
            }
            if (best < 0 || sortKey(drives_[i]) < sortKey(drives_[best])) {
                best = i;
            }
        }
        if (best < 0) {
            break;
        }
        taken[best] = true;
        sorted[out++] = drives_[best];
    }
    std::copy(sorted.begin(), sorted.end(), std::begin(drives_));
}

void AtapiDevice::IdentifyDrives() {
    // Only standard commands, each bounded: a drive or bridge that never
    // answers is listed without identity after one time-out instead of
    // holding start-up. The flash identification, a vendor command, is left
    // to the run, which sends it only to a drive the package fits.
    const BoundedPhase phase(*this, DiscoveryCommandTimeout);
    for (std::int16_t index = 0; index < MaxDrives && drives_[index].present != 0; ++index) {
        SelectDrive(index);  // a device that does not open leaves an empty identity
        ClearUnitAttention();
        bool identified = false;
        for (int attempt = 0; attempt < IdentityAttempts && !identified && !GaveUpOnDrive();
             ++attempt) {
            identified = ReadIdentity();
        }
        if (identified) {
            CopyIdentityToEntry(drives_[index]);
        }
        CloseDrive();
    }
}

bool AtapiDevice::ReadIdentity() {
    std::memset(curRevision_, 0, sizeof curRevision_);
    std::memset(curVendor_, 0, sizeof curVendor_);
    std::memset(curProduct_, 0, sizeof curProduct_);
    std::memset(curVendorSpecific_, 0, sizeof curVendorSpecific_);

    if (!Inquiry(0, 0, 0, inquiry::Length, 0)) {
        return false;
    }
    // An answer that stops before the revision's end identifies nothing; the
    // vendor-specific text takes only the bytes the drive sent. Bytes past the
    // answer are left over from an earlier command, perhaps another drive's.
    const std::uint8_t* data = InBuffer();
    const std::uint32_t answered = LastTransferLength();
    if (data == nullptr || answered < inquiry::VendorSpecific) {
        return false;
    }
    copyText(curVendor_, data + inquiry::Vendor, inquiry::Product - inquiry::Vendor);
    copyText(curProduct_, data + inquiry::Product, inquiry::Revision - inquiry::Product);
    copyText(curRevision_, data + inquiry::Revision, inquiry::VendorSpecific - inquiry::Revision);
    copyText(curVendorSpecific_, data + inquiry::VendorSpecific,
             std::min<std::size_t>(answered, inquiry::VendorSpecificEnd) - inquiry::VendorSpecific);
    return std::any_of(data + inquiry::Vendor, data + inquiry::Revision,
                       [](std::uint8_t b) { return b != 0; });
}

void AtapiDevice::CopyIdentityToEntry(DriveEntry& entry) {
    std::memset(entry.displayName, 0, sizeof entry.displayName);
    copyField(entry.revision, curRevision_);
    copyField(entry.vendor, curVendor_);
    copyField(entry.product, curProduct_);
    copyField(entry.vendorSpecific, curVendorSpecific_);
    std::memcpy(entry.displayName, entry.vendor, 8);
    std::memcpy(entry.displayName + 8, entry.product, 16);
}

bool AtapiDevice::RefreshIdentity() {
    bool identified = false;
    for (int attempt = 0; attempt < IdentityAttempts && !identified && !GaveUpOnDrive();
         ++attempt) {
        identified = ReadIdentity();
    }
    if (!identified) {
        return false;
    }
    // Without a selected drive there is no entry to replace.
    if (currentDrive_ < 0 || currentDrive_ >= MaxDrives) {
        return false;
    }
    CopyIdentityToEntry(drives_[currentDrive_]);
    return true;
}

DriveEntry* AtapiDevice::GetDrive(unsigned index) {
    if (index >= driveCount_ || index >= static_cast<unsigned>(MaxDrives) ||
        drives_[index].present == 0) {
        return nullptr;
    }
    return &drives_[index];
}

bool AtapiDevice::IsDrivePresent(std::int16_t index) const {
    if (index < 0 || index >= MaxDrives) {
        return false;
    }
    return drives_[index].present != 0;
}

void AtapiDevice::CopyDriveTable(const AtapiDevice& from, AtapiDevice& to) {
    if (to.device_ != InvalidDevice) {
        currentHost().closeDevice(to.device_);  // never leak a handle it already held
    }
    to.commandTimeout_ = from.commandTimeout_;
    to.hostAdapter_ = from.hostAdapter_;
    to.target_ = from.target_;
    to.lun_ = from.lun_;
    to.path_ = from.path_;
    to.useAspi_ = from.useAspi_;
    to.flashPhase_ = from.flashPhase_;
    to.driveCount_ = from.driveCount_;
    copyField(to.curVendor_, from.curVendor_);
    copyField(to.curProduct_, from.curProduct_);
    copyField(to.curRevision_, from.curRevision_);
    copyField(to.curVendorSpecific_, from.curVendorSpecific_);
    std::copy(std::begin(from.drives_), std::end(from.drives_), std::begin(to.drives_));
    // The run object opens its own device at its next SelectDrive.
    to.device_ = InvalidDevice;
    to.currentDrive_ = NoDriveSelected;
}

}  // namespace zorbel
