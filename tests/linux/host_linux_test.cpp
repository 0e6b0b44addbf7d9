// The Linux host against a fake sysfs and /dev tree in a temporary folder, with
// the SG_IO call scripted: which drives are listed and how, which node a drive
// is opened on, its address, the tray release before an eject, the rescan
// after a commit, and the messages about missing permissions.
#include "device/host_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/RequestLayout.h"

namespace zorbel::linuxhost {
namespace {

namespace fs = std::filesystem;
namespace pt = passthrough;
using Block = std::array<std::uint8_t, PassThroughBlockSize>;

class FakeTree : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zorbel-linux-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        sys_ = root_ / "sys";
        dev_ = root_ / "dev";
        fs::create_directories(sys_ / "class" / "scsi_device");
        fs::create_directories(sys_ / "block");
        fs::create_directories(dev_);
    }
    void TearDown() override { fs::remove_all(root_); }

    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    static std::string read(const fs::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // A SCSI device as the kernel shows it: the class entry and the block
    // node's device link both lead to one folder named H:C:T:L.
    void addScsiDevice(const std::string& hctl, int type, const std::string& block,
                       const std::string& generic) {
        const fs::path device = root_ / "devices" / hctl;
        write(device / "type", std::to_string(type) + "\n");
        write(device / "rescan", "");
        if (!block.empty()) {
            fs::create_directories(device / "block" / block);
            fs::create_directories(sys_ / "block" / block);
            fs::create_symlink(device, sys_ / "block" / block / "device");
            write(dev_ / block, "");
        }
        if (!generic.empty()) {
            fs::create_directories(device / "scsi_generic" / generic);
            write(dev_ / generic, "");
        }
        fs::create_directories(sys_ / "class" / "scsi_device" / hctl);
        fs::create_symlink(device, sys_ / "class" / "scsi_device" / hctl / "device");
    }
    // A block node whose device folder does not name an address.
    void addBareBlockDrive(const std::string& block) {
        write(sys_ / "block" / block / "device" / "type", "5\n");
        write(sys_ / "block" / block / "device" / "rescan", "");
        write(dev_ / block, "");
    }

    fs::path root_, sys_, dev_;
};

// ---- discovery ----

TEST(ScsiName, ParsesOnlyFourColonSeparatedNumbers) {
    int h = -1, c = -1, t = -1, l = -1;
    EXPECT_TRUE(parseScsiName("2:0:1:3", h, c, t, l));
    EXPECT_EQ((std::array{h, c, t, l}), (std::array{2, 0, 1, 3}));
    EXPECT_TRUE(parseScsiName("300:1:0:0", h, c, t, l));
    EXPECT_EQ(h, 300);
    for (const char* bad :
         {"", "1:2:3", "1:2:3:4:", "1:2:3:4:5", "a:b:c:d", "1::3:4", "device", "-1:0:0:0"}) {
        EXPECT_FALSE(parseScsiName(bad, h, c, t, l)) << bad;
    }
}

TEST(Roots, FitTheDriveTableAndMapBack) {
    const std::pair<int, const char*> cases[] = {{0, "sr0"},  {9, "sr9"}, {10, "s10"}, {42, "s42"},
                                                 {99, "s99"}, {100, ""},  {-1, ""}};
    for (const auto& [index, root] : cases) {
        EXPECT_EQ(rootForIndex(index), root) << index;
        EXPECT_LE(std::string(root).size(), 3u);
        if (*root != '\0') {
            EXPECT_EQ(indexForRoot(root), index) << root;
        }
    }
    for (const char* other : {"", "C:\\", "sr", "sr10", "sr01", "s05", "s9", "sg0", "s100"}) {
        EXPECT_EQ(indexForRoot(other), -1) << other;
    }
}

TEST_F(FakeTree, ListsOpticalDrivesWithNodesAndAddresses) {
    addScsiDevice("0:0:0:0", 0, "sda", "sg0");  // a disk
    addScsiDevice("2:0:0:0", 5, "sr0", "sg1");
    addScsiDevice("3:0:1:2", 5, "sr1", "");  // no generic node
    addScsiDevice("4:0:0:0", 5, "", "sg3");  // no block node: cannot be named
    addBareBlockDrive("sr12");

    const auto drives = findOpticalDrives(sys_);
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].srName, "sr0");
    EXPECT_EQ(drives[0].sgName, "sg1");
    EXPECT_TRUE(drives[0].hasAddress);
    EXPECT_EQ((std::array{drives[0].host, drives[0].channel, drives[0].target, drives[0].lun}),
              (std::array{2, 0, 0, 0}));
    EXPECT_EQ(drives[1].srName, "sr1");
    EXPECT_EQ(drives[1].sgName, "");
    EXPECT_EQ((std::array{drives[1].host, drives[1].channel, drives[1].target, drives[1].lun}),
              (std::array{3, 0, 1, 2}));
    EXPECT_EQ(drives[2].srName, "sr12");
    EXPECT_FALSE(drives[2].hasAddress);

    LinuxHost host(sys_, dev_);
    host.setMessageSink([](std::string_view, std::string_view) {});
    EXPECT_EQ(host.logicalDriveStrings(), std::string("sr0\0sr1\0s12\0\0", 13));
    EXPECT_EQ(host.driveType("sr0"), DriveType::Cdrom);
    EXPECT_EQ(host.driveType("s12"), DriveType::Cdrom);
    EXPECT_EQ(host.driveType("sr5"), DriveType::NoRootDir);
    EXPECT_EQ(host.driveType("C:\\"), DriveType::NoRootDir);
    EXPECT_EQ(host.deviceNameForRoot("s12"), (dev_ / "sr12").string());
    EXPECT_EQ(host.rootLabel("s12"), "sr12");
    EXPECT_EQ(host.rootLabel("sr1"), "sr1");
    EXPECT_EQ(host.rootLabel(""), "");
}

TEST_F(FakeTree, OrdersByNodeNumberAndLeavesOutNodesBeyondTheRootForm) {
    addScsiDevice("1:0:0:0", 5, "sr10", "sg10");
    addScsiDevice("1:0:1:0", 5, "sr2", "sg2");
    addScsiDevice("1:0:2:0", 5, "sr100", "sg100");
    const auto drives = findOpticalDrives(sys_);
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].srName, "sr2");
    EXPECT_EQ(drives[1].srName, "sr10");
    LinuxHost host(sys_, dev_);
    host.setMessageSink([](std::string_view, std::string_view) {});
    EXPECT_EQ(host.logicalDriveStrings(), std::string("sr2\0s10\0\0", 9));
}

TEST_F(FakeTree, NoDrivesGiveAnEmptyRootList) {
    LinuxHost host(sys_, dev_);
    EXPECT_EQ(host.logicalDriveStrings(), "");
    fs::remove_all(sys_);
    EXPECT_EQ(host.logicalDriveStrings(), "");
}

// ---- power ----

// Each computer as its power_supply folder shows it, and what the host makes of it.
TEST_F(FakeTree, PowerSuppliesReadAsTheInitSystemReadsThem) {
    struct Supply {
        const char* name;
        const char* type;
        const char* online;  // null: no such file
        const char* status;  // batteries only
        const char* scope;   // null: none
    };
    struct Computer {
        const char* what;
        std::vector<Supply> supplies;
        PowerSource source;
        bool battery;
    };
    const Computer computers[] = {
        {"a notebook unplugged",
         {{"AC", "Mains", "0", nullptr, nullptr},
          {"BAT0", "Battery", nullptr, "Discharging", nullptr}},
         PowerSource::Battery,
         true},
        {"a notebook on its adapter",
         {{"AC", "Mains", "1", nullptr, nullptr},
          {"BAT0", "Battery", nullptr, "Charging", nullptr}},
         PowerSource::External,
         true},
        {"a UPS, with a discharging battery beside it",
         {{"ups", "UPS", "1", nullptr, nullptr},
          {"BAT1", "Battery", nullptr, "Discharging", nullptr}},
         PowerSource::External,
         true},
        {"USB-C power only",
         {{"ucsi-source-psy-USBC000:001", "USB", "1", nullptr, nullptr},
          {"BAT0", "Battery", nullptr, "Not charging", nullptr}},
         PowerSource::External,
         true},
        {"a desktop whose mouse battery discharges",
         {{"hidpp_battery_0", "Battery", nullptr, "Discharging", "Device"}},
         PowerSource::Unknown,
         false},
        {"no supplies at all", {}, PowerSource::Unknown, false},
    };
    for (const Computer& computer : computers) {
        fs::remove_all(sys_ / "class" / "power_supply");
        fs::create_directories(sys_ / "class" / "power_supply");
        for (const Supply& supply : computer.supplies) {
            const fs::path folder = sys_ / "class" / "power_supply" / supply.name;
            write(folder / "type", std::string(supply.type) + "\n");
            if (supply.online != nullptr) {
                write(folder / "online", std::string(supply.online) + "\n");
            }
            if (supply.status != nullptr) {
                write(folder / "status", std::string(supply.status) + "\n");
                write(folder / "capacity", "37\n");
            }
            if (supply.scope != nullptr) {
                write(folder / "scope", std::string(supply.scope) + "\n");
            }
        }
        LinuxHost host(sys_, dev_);
        const PowerState state = host.powerState();
        EXPECT_EQ(state.source, computer.source) << computer.what;
        EXPECT_EQ(state.batteryPresent, computer.battery) << computer.what;
        EXPECT_EQ(state.batteryPercent, computer.battery ? 37 : -1) << computer.what;
    }
    fs::remove_all(sys_);
    EXPECT_EQ(readPowerSupplies(sys_).source, PowerSource::Unknown);
}

// ---- opening and addressing ----

TEST_F(FakeTree, OpensTheGenericNodeWhenThereIsOneElseTheBlockNode) {
    addScsiDevice("2:0:0:0", 5, "sr0", "sg1");
    addScsiDevice("2:0:1:0", 5, "sr1", "sg2");
    addScsiDevice("2:0:2:0", 5, "sr2", "");
    fs::remove(dev_ / "sg2");  // sysfs knows it, the node is gone
    LinuxHost host(sys_, dev_);

    const auto expectNode = [&](const char* root, const fs::path& node) {
        const DeviceHandle h = host.openDevice(host.deviceNameForRoot(root));
        ASSERT_NE(h, InvalidDevice) << root;
        EXPECT_EQ(host.openedNode(h), node.string());
        // Firmware commands need a node open for writing.
        EXPECT_EQ(fcntl(static_cast<int>(h), F_GETFL) & O_ACCMODE, O_RDWR) << root;
        host.closeDevice(h);
        EXPECT_EQ(host.openedNode(h), "");
    };
    expectNode("sr0", dev_ / "sg1");
    expectNode("sr1", dev_ / "sr1");
    expectNode("sr2", dev_ / "sr2");

    fs::remove(dev_ / "sr2");
    EXPECT_EQ(host.openDevice(host.deviceNameForRoot("sr2")), InvalidDevice);
}

TEST_F(FakeTree, AddressComesFromTheScsiNameOrIsNotRead) {
    addScsiDevice("2:1:3:4", 5, "sr0", "sg0");
    addScsiDevice("300:0:0:0", 5, "sr1", "sg1");  // beyond what the record holds
    addBareBlockDrive("sr2");
    LinuxHost host(sys_, dev_);

    ScsiAddress address;
    DeviceHandle h = host.openDevice(host.deviceNameForRoot("sr0"));
    ASSERT_TRUE(host.queryScsiAddress(h, address));
    EXPECT_EQ(address.length, 8u);
    EXPECT_EQ((std::array{address.portNumber, address.pathId, address.targetId, address.lun}),
              (std::array<std::uint8_t, 4>{2, 1, 3, 4}));
    host.closeDevice(h);

    for (const char* root : {"sr1", "sr2"}) {
        h = host.openDevice(host.deviceNameForRoot(root));
        ASSERT_NE(h, InvalidDevice);
        EXPECT_FALSE(host.queryScsiAddress(h, address)) << root;
        host.closeDevice(h);
    }
    EXPECT_FALSE(host.queryScsiAddress(InvalidDevice, address));
}

// ---- commands through a scripted SG_IO ----

struct SgCall {
    std::vector<std::uint8_t> cdb;
    int direction;
};

class ScriptedSgIo : public FakeTree {
  protected:
    void SetUp() override {
        FakeTree::SetUp();
        addScsiDevice("2:0:0:0", 5, "sr0", "sg0");
        addScsiDevice("3:0:0:0", 5, "sr1", "");
    }
    std::unique_ptr<LinuxHost> makeHost() {
        auto host = std::make_unique<LinuxHost>(sys_, dev_, [this](int, sg_io_hdr& hdr) {
            calls_.push_back(
                {std::vector<std::uint8_t>(hdr.cmdp, hdr.cmdp + hdr.cmd_len), hdr.dxfer_direction});
            if (refuseWith_ != 0) {
                errno = refuseWith_;
                return -1;
            }
            const std::uint8_t key = unitAttentions_ > 0 ? 0x06 : senseKey_;
            unitAttentions_ -= unitAttentions_ > 0 ? 1 : 0;
            if (key != 0 || checkConditionWithoutKey_) {
                hdr.status = 0x02;
                hdr.sb_len_wr = 18;
                hdr.sbp[0] = 0x70;
                hdr.sbp[2] = key;
            }
            return 0;
        });
        host->setMessageSink(
            [this](std::string_view text, std::string_view) { messages_.emplace_back(text); });
        return host;
    }
    bool send(LinuxHost& host, DeviceHandle h, std::array<std::uint8_t, 12> cdb) {
        Block block{};
        putLe16(block, pt::Length, pt::StructSize);
        block[pt::CdbLength] = 12;
        block[pt::SenseInfoLength] = pt::SenseBytes;
        block[pt::DataIn] = 2;
        putLe32(block, pt::TimeOutValue, 108000);
        putLe32(block, pt::SenseInfoOffset, pt::SenseArea);
        std::copy(cdb.begin(), cdb.end(), block.begin() + pt::Cdb);
        return host.passThroughDirect(h, block, nullptr);
    }
    std::string rescanOf(const std::string& hctl) {
        return read(root_ / "devices" / hctl / "rescan");
    }

    std::vector<SgCall> calls_;
    std::vector<std::string> messages_;
    int refuseWith_ = 0;
    std::uint8_t senseKey_ = 0;
    int unitAttentions_ = 0;  // the next calls met by a unit attention
    bool checkConditionWithoutKey_ = false;
};

TEST_F(ScriptedSgIo, EjectReleasesTheTrayLockFirst) {
    auto owner = makeHost();
    LinuxHost& host = *owner;
    const DeviceHandle h = host.openDevice(host.deviceNameForRoot("sr0"));
    ASSERT_TRUE(send(host, h, {0x1B, 0, 0, 0, 0x02}));  // eject
    ASSERT_EQ(calls_.size(), 2u);
    EXPECT_EQ(calls_[0].cdb[0], 0x1E);  // PREVENT ALLOW MEDIUM REMOVAL ...
    EXPECT_EQ(calls_[0].cdb[4], 0x00);  // ... allow
    EXPECT_EQ(calls_[0].direction, SG_DXFER_NONE);
    EXPECT_EQ(calls_[1].cdb[0], 0x1B);

    calls_.clear();
    for (std::uint8_t byte4 : {0x03, 0x00, 0x01, 0x22}) {  // load, stop, start, power condition
        send(host, h, {0x1B, 0, 0, 0, byte4});
    }
    EXPECT_EQ(calls_.size(), 4u) << "only an eject releases the tray";

    // An unlock met by a unit attention (a disc just changed) did not unlock:
    // it is sent again before the eject.
    calls_.clear();
    unitAttentions_ = 2;
    send(host, h, {0x1B, 0, 0, 0, 0x02});
    ASSERT_EQ(calls_.size(), 4u);
    EXPECT_EQ((std::array{calls_[0].cdb[0], calls_[1].cdb[0], calls_[2].cdb[0], calls_[3].cdb[0]}),
              (std::array<std::uint8_t, 4>{0x1E, 0x1E, 0x1E, 0x1B}));
    host.closeDevice(h);
}

TEST_F(ScriptedSgIo, SuccessfulCommitRescansTheDriveWhenItIsClosed) {
    auto owner = makeHost();
    LinuxHost& host = *owner;
    const std::array<std::uint8_t, 12> commit{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x80};
    const std::array<std::uint8_t, 12> bootCommit{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0xA0};
    const std::array<std::uint8_t, 12> block{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x00};

    DeviceHandle h = host.openDevice(host.deviceNameForRoot("sr0"));
    ASSERT_TRUE(send(host, h, block));
    host.closeDevice(h);
    EXPECT_EQ(rescanOf("2:0:0:0"), "") << "an image block is no commit";

    senseKey_ = 0x05;
    h = host.openDevice(host.deviceNameForRoot("sr0"));
    ASSERT_TRUE(send(host, h, commit));  // completed, with sense: refused
    host.closeDevice(h);
    EXPECT_EQ(rescanOf("2:0:0:0"), "") << "a refused commit";

    senseKey_ = 0;
    checkConditionWithoutKey_ = true;
    h = host.openDevice(host.deviceNameForRoot("sr0"));
    ASSERT_TRUE(send(host, h, commit));
    host.closeDevice(h);
    EXPECT_EQ(rescanOf("2:0:0:0"), "") << "CHECK CONDITION is no success, whatever the key";

    checkConditionWithoutKey_ = false;
    h = host.openDevice(host.deviceNameForRoot("sr0"));
    ASSERT_TRUE(send(host, h, commit));
    EXPECT_EQ(rescanOf("2:0:0:0"), "") << "not before the drive is closed";
    host.closeDevice(h);
    EXPECT_EQ(rescanOf("2:0:0:0"), "1");

    h = host.openDevice(host.deviceNameForRoot("sr1"));
    ASSERT_TRUE(send(host, h, bootCommit));
    host.closeDevice(h);
    EXPECT_EQ(rescanOf("3:0:0:0"), "1");
}

TEST_F(ScriptedSgIo, ARunHoldsItsDriveAloneAndPausesMediaPollingUntilTheDriveIsClosed) {
    const fs::path poll = sys_ / "block" / "sr0" / "events_poll_msecs";
    write(poll, "2000\n");
    auto owner = makeHost();
    std::vector<std::pair<fs::path, int>> held;  // node and open flags
    fs::path refusedNode;
    int refuse = 0;
    owner->setExclusiveOpen([&](const fs::path& node, int flags) {
        held.emplace_back(node, flags);
        if (refuse != 0 && (refusedNode.empty() || node == refusedNode)) {
            errno = refuse;
            return -1;
        }
        return ::open(node.c_str(), O_RDWR | O_CLOEXEC);
    });
    const auto exclusive = [](int flags) { return (flags & O_EXCL) != 0; };
    const auto onGenericNode = [this](DeviceHandle handle) {
        struct stat opened {};
        struct stat node {};
        return ::fstat(static_cast<int>(handle), &opened) == 0 &&
               ::stat((dev_ / "sg0").c_str(), &node) == 0 && opened.st_ino == node.st_ino;
    };

    // Both nodes exclusively: the block node (mounts, exclusive holders) and
    // the generic node the commands go through, in the handle itself.
    DeviceHandle h = owner->openDevice(owner->deviceNameForRoot("sr0"));
    ASSERT_TRUE(owner->claimDevice(h));
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].first, dev_ / "sr0");
    EXPECT_TRUE(exclusive(held[0].second));
    EXPECT_EQ(held[1].first, dev_ / "sg0");
    EXPECT_TRUE(exclusive(held[1].second));
    EXPECT_EQ(held[1].second & O_ACCMODE, O_RDWR) << "the generic node's O_EXCL needs write access";
    EXPECT_TRUE(onGenericNode(h)) << "commands go on through the held handle";
    EXPECT_EQ(read(poll), "0");
    EXPECT_TRUE(owner->claimDevice(h)) << "held already";
    EXPECT_EQ(held.size(), 2u);
    owner->closeDevice(h);
    EXPECT_EQ(read(poll), "2000");

    // Mounted, held by another program, or the generic node open elsewhere:
    // refused with a line on stderr, and the polling left as it was.
    for (const auto& [node, error] : std::vector<std::pair<fs::path, int>>{
             {dev_ / "sr0", EBUSY}, {dev_ / "sr0", EACCES}, {dev_ / "sg0", EBUSY}}) {
        refuse = error;
        refusedNode = node;
        h = owner->openDevice(owner->deviceNameForRoot("sr0"));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(owner->claimDevice(h));
        const std::string line = testing::internal::GetCapturedStderr();
        EXPECT_NE(line.find("zorbel: sr0:"), std::string::npos) << line;
        EXPECT_NE(line.find(node.string()), std::string::npos) << line;
        EXPECT_NE(line.find(error == EBUSY ? "in use" : "cannot hold"), std::string::npos) << line;
        EXPECT_NE(line.find("nothing was written"), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(read(poll), "2000");
        EXPECT_TRUE(onGenericNode(h)) << "the handle still reaches the drive, unheld";
        owner->closeDevice(h);
    }
    refuse = 0;

    // A host that ends with a drive still held gives the polling back.
    h = owner->openDevice(owner->deviceNameForRoot("sr0"));
    ASSERT_TRUE(owner->claimDevice(h));
    EXPECT_EQ(read(poll), "0");
    owner.reset();
    EXPECT_EQ(read(poll), "2000");
    EXPECT_TRUE(messages_.empty());
}

// Our programs keep out of a drive another one updates: its lock is taken
// before anything is opened, shared by handles, exclusive for a claim.
TEST_F(ScriptedSgIo, ADriveAnotherOfOurProgramsUpdatesIsLeftAlone) {
    auto first = makeHost();
    auto second = makeHost();
    first->setExclusiveOpen([](const fs::path& node, int) { return ::open(node.c_str(), O_RDWR); });
    const DeviceHandle listing = second->openDevice(second->deviceNameForRoot("sr0"));
    const DeviceHandle h = first->openDevice(first->deviceNameForRoot("sr0"));
    ASSERT_NE(listing, InvalidDevice);
    ASSERT_NE(h, InvalidDevice) << "handles share the lock";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(first->claimDevice(h)) << "another of our programs has it open";
    EXPECT_NE(testing::internal::GetCapturedStderr().find("zorbel-sr0.lock"), std::string::npos);
    second->closeDevice(listing);
    ASSERT_TRUE(first->claimDevice(h));

    second->setProgramName("zorbel-probe");
    const std::size_t sent = calls_.size();
    testing::internal::CaptureStderr();
    EXPECT_EQ(second->openDevice(second->deviceNameForRoot("sr0")), InvalidDevice);
    EXPECT_EQ(second->openDevice(second->deviceNameForRoot("sr0")), InvalidDevice);
    EXPECT_EQ(second->accessOf(*findOpticalDrive(sys_, "sr0")).heldLock,
              (dev_ / "zorbel-sr0.lock").string());
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line, "zorbel-probe: sr0: another zorbel program is updating this drive (it holds " +
                        (dev_ / "zorbel-sr0.lock").string() +
                        "), so it was left alone: nothing was sent to it. Try again once that "
                        "update has ended.\n");
    EXPECT_EQ(calls_.size(), sent);
    first->closeDevice(h);
}

TEST_F(ScriptedSgIo, ADriveTheSystemDidNotDescribeIsNotHeld) {
    auto owner = makeHost();
    bool opened = false;
    owner->setExclusiveOpen([&](const fs::path&, int) {
        opened = true;
        return -1;
    });
    const fs::path stray = dev_ / "stray";
    write(stray, "");
    const DeviceHandle h = owner->openDevice(stray.string());
    ASSERT_NE(h, InvalidDevice);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(owner->claimDevice(h));
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_NE(line.find("cannot be held"), std::string::npos) << line;
    EXPECT_FALSE(opened);
    owner->closeDevice(h);
}

// The lock holds off sleep, the keys and the lid (which the login manager
// lets through a lock without them), blocking rather than delaying, for as
// long as it is held: systemd-inhibit's command runs until it is released.
TEST_F(FakeTree, TheInhibitorLockBlocksSleepKeysAndLidUntilReleased) {
    const fs::path program = root_ / "systemd-inhibit";
    write(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + (root_ / "args").string() +
                       "\necho $$ > " + (root_ / "pid").string() +
                       "\nwhile [ \"${1#--}\" != \"$1\" ]; do shift; done\nexec \"$@\"\n");
    fs::permissions(program, fs::perms::owner_all);
    LinuxHost host(sys_, dev_);
    host.setInhibitProgram(program.string());
    ASSERT_TRUE(host.inhibitShutdown());
    const std::string args = read(root_ / "args");
    EXPECT_NE(args.find("--what=shutdown:sleep:idle:handle-power-key:handle-suspend-key:"
                        "handle-hibernate-key:handle-lid-switch\n"),
              std::string::npos)
        << args;
    EXPECT_NE(args.find("--mode=block\n"), std::string::npos) << args;
    const pid_t holder = std::stoi(read(root_ / "pid"));
    EXPECT_EQ(::kill(holder, 0), 0) << "held";
    host.releaseShutdownInhibit();
    EXPECT_NE(::kill(holder, 0), 0) << "released";

    write(program, "#!/bin/sh\nexit 1\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(host.inhibitShutdown());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("refused"), std::string::npos);
}

// Without systemd-inhibit (a container, a minimal system) the update goes on
// and says so once.
TEST(LinuxShutdownInhibit, AnAbsentLoginManagerIsNamedOnce) {
    LinuxHost host("/nonexistent-sys", "/nonexistent-dev");
    host.setInhibitProgram("/nonexistent/systemd-inhibit");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(host.inhibitShutdown());
    host.releaseShutdownInhibit();
    EXPECT_FALSE(host.inhibitShutdown());
    host.releaseShutdownInhibit();
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("shutdown and sleep"), std::string::npos) << text;
}

TEST_F(ScriptedSgIo, RefusedCommandsFailAndTheMissingCapabilityIsNamedOnce) {
    auto owner = makeHost();
    LinuxHost& host = *owner;
    host.setRawIoCapability(false);
    refuseWith_ = EPERM;
    const std::array<std::uint8_t, 12> write{0x3B, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x7F};

    const DeviceHandle generic = host.openDevice(host.deviceNameForRoot("sr0"));
    EXPECT_FALSE(send(host, generic, write));
    EXPECT_TRUE(messages_.empty()) << "the generic node's refusal is not about the capability";

    const DeviceHandle blockNode = host.openDevice(host.deviceNameForRoot("sr1"));
    EXPECT_FALSE(send(host, blockNode, write));
    EXPECT_FALSE(send(host, blockNode, write));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_NE(messages_[0].find("CAP_SYS_RAWIO"), std::string::npos) << messages_[0];
    EXPECT_NE(messages_[0].find("sr1"), std::string::npos) << messages_[0];
    host.closeDevice(generic);
    host.closeDevice(blockNode);

    EXPECT_FALSE(send(host, generic, write)) << "a closed handle";
}

// ---- start-up messages ----

TEST_F(FakeTree, DrivesThatCannotBeOpenedAreNamedOnceBeforeTheScanGoesOn) {
    addScsiDevice("2:0:0:0", 5, "sr0", "sg0");
    fs::remove(dev_ / "sg0");
    fs::remove(dev_ / "sr0");
    std::vector<std::string> messages;
    LinuxHost host(sys_, dev_);
    host.setMessageSink([&](std::string_view text, std::string_view caption) {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    });
    EXPECT_EQ(host.logicalDriveStrings(), std::string("sr0\0\0", 5));
    host.logicalDriveStrings();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Error: Cannot open the optical drive sr0: " + (dev_ / "sg0").string() +
                               ": No such file or directory.");
}

TEST_F(FakeTree, ABlockNodeWithoutTheCapabilityIsNamed) {
    addScsiDevice("2:0:0:0", 5, "sr0", "");
    std::vector<std::string> messages;
    LinuxHost host(sys_, dev_);
    host.setMessageSink([&](std::string_view text, std::string_view caption) {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    });
    host.setRawIoCapability(false);
    host.logicalDriveStrings();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("CAP_SYS_RAWIO"), std::string::npos);

    messages.clear();
    LinuxHost root(sys_, dev_);
    root.setMessageSink([&](std::string_view text, std::string_view caption) {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    });
    root.setRawIoCapability(true);
    root.logicalDriveStrings();
    EXPECT_TRUE(messages.empty());
}

TEST(OpenFailureText, SaysWhichNodeAndWhatAccessIsMissing) {
    OpticalDrive drive;
    drive.srName = "sr0";
    EXPECT_EQ(openFailureText(drive, "/dev/sg0", EACCES, "cdrom"),
              "Cannot open the optical drive sr0: /dev/sg0: Permission denied.\n"
              "Updating a drive needs read and write access to /dev/sg0: run zorbel as root, or "
              "as a member of group cdrom.");
    EXPECT_EQ(openFailureText(drive, "/dev/sr0", EACCES, "root"),
              "Cannot open the optical drive sr0: /dev/sr0: Permission denied.\n"
              "Updating a drive needs read and write access to /dev/sr0: run zorbel as root.");
    EXPECT_EQ(openFailureText(drive, "/dev/sg0", EBUSY, "cdrom"),
              "Cannot open the optical drive sr0: /dev/sg0: Device or resource busy.");
}

TEST(LinuxClock, CountsNanosecondsMonotonically) {
    LinuxHost host("/nonexistent", "/nonexistent");
    std::int64_t frequency = 0;
    ASSERT_TRUE(host.queryPerformanceFrequency(frequency));
    EXPECT_EQ(frequency, 1'000'000'000);
    const std::int64_t before = host.queryPerformanceCounter();
    host.sleepMs(20);
    const std::int64_t elapsed = host.queryPerformanceCounter() - before;
    EXPECT_GE(elapsed, 20'000'000);
    EXPECT_LT(elapsed, 2'000'000'000);
    EXPECT_TRUE(host.isNtFamily());
    EXPECT_EQ(host.loadLibrary("WNASPI32"), 0u);
}

}  // namespace
}  // namespace zorbel::linuxhost
