// The Linux host: sysfs discovery, SG_IO pass-through, the monotonic clock,
// messages on stderr, the restart through the init system.
#include "device/host_linux.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/cdrom.h>
#include <linux/if_alg.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <pthread.h>
#include <scsi/scsi.h>
#include <scsi/scsi_ioctl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <system_error>
#include <utility>

#include "device/RequestLayout.h"
#include "device/SystemSha256.h"

namespace zorbel::linuxhost {

namespace fs = std::filesystem;

namespace {

constexpr std::uint8_t PeripheralTypeCdrom = 5;
constexpr std::uint8_t OpStartStopUnit = 0x1B;
constexpr std::uint8_t OpPreventAllowRemoval = 0x1E;
constexpr std::uint8_t OpWriteBuffer = 0x3B;
constexpr std::uint8_t WriteBufferModeSave = 0x05;
constexpr std::uint8_t CommitCode = 0x80;
constexpr std::uint8_t CommitBootCode = 0xA0;
constexpr unsigned TrayUnlockTimeoutMs = 10000;
// A unit attention (a disc just inserted or taken out) makes the drive refuse
// the command it met: the unlock is sent again, a few times at most.
constexpr int TrayUnlockAttempts = 4;
constexpr std::uint8_t SenseKeyUnitAttention = 0x06;
constexpr std::uint8_t DriverStatusMask = 0x07;  // driver byte without DRIVER_SENSE
constexpr std::uint8_t SamStatusGood = 0x00;
constexpr const char* SystemLockFolder = "/run/lock";

// Reads the first line of a small sysfs attribute, without the line end.
std::optional<std::string> readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

// N of a node name "<prefix>N"; -1 when the name has another form.
int nodeNumber(std::string_view name, std::string_view prefix) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
        return -1;
    }
    int value = -1;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size();
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || value < 0 || (*first == '0' && last - first > 1)) {
        return -1;
    }
    return value;
}

// The first entry of a folder whose name is "<prefix>N".
std::string firstNode(const fs::path& folder, std::string_view prefix) {
    std::error_code ec;
    std::string best;
    int bestNumber = INT_MAX;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        const int number = nodeNumber(name, prefix);
        if (number >= 0 && number < bestNumber) {
            best = name;
            bestNumber = number;
        }
    }
    return best;
}

bool isCdromType(const fs::path& deviceFolder) {
    const auto type = readAttribute(deviceFolder / "type");
    return type && *type == std::to_string(PeripheralTypeCdrom);
}

// "srN": the block node of optical drive N.
std::string blockNodeName(int index) {
    std::string name("sr");
    name.append(std::to_string(index));
    return name;
}

std::string errorText(int error) {
    return std::generic_category().message(error);
}

bool isEject(std::span<const std::uint8_t> cdb) {
    // START STOP UNIT with LoEj set, Start clear and no power condition.
    return cdb[0] == OpStartStopUnit && (cdb[4] & 0xF3) == 0x02;
}

bool isCommit(std::span<const std::uint8_t> cdb) {
    return cdb[0] == OpWriteBuffer && (cdb[1] & 0x1F) == WriteBufferModeSave &&
           (cdb[9] == CommitCode || cdb[9] == CommitBootCode);
}

// Readable (an eventfd) once the watcher has taken a termination signal.
std::atomic<int> stopEvent{-1};

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set, signal);
    }
    return set;
}

// A child started by the program begins with the signals as a fresh program
// has them: none blocked, none ignored.
bool plainSignals(posix_spawnattr_t& attributes) {
    sigset_t none;
    sigemptyset(&none);
    const sigset_t stops = stopSignalSet();
    return posix_spawnattr_init(&attributes) == 0 &&
           posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
           posix_spawnattr_setsigdefault(&attributes, &stops) == 0 &&
           posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) ==
               0;
}

// Opens (making it when missing) a lock file for flock; -1 when it cannot.
// An existing file is opened without O_CREAT, which a sticky folder refuses
// for another user's file.
int openLockFile(const fs::path& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0 && errno == EEXIST) {
            fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        }
    }
    return fd;
}

// Forks the guardian of a paused polling interval: a process that holds
// nothing of ours but the read end of a pipe and, when the pipe ends without
// a byte (this process died), writes `value` back into `file`. The child
// makes system calls only, as a child of a threaded process must. Returns the
// pipe's write end (-1 when none could be started) and the child in `pid`.
int startPollGuardian(const fs::path& file, const std::string& value, int& pid) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    const char* const path = file.c_str();
    const pid_t child = ::fork();
    if (child == 0) {
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_BLOCK, &all, nullptr);
        ::dup2(fds[0], STDIN_FILENO);
        if (::syscall(SYS_close_range, 1u, ~0u, 0u) != 0) {
            for (int fd = 1; fd < 1024; ++fd) {
                ::close(fd);
            }
        }
        char byte = 0;
        ssize_t got = 0;
        while ((got = ::read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
        }
        if (got == 0) {
            const int fd = ::open(path, O_WRONLY | O_TRUNC);
            if (fd >= 0) {
                [[maybe_unused]] const auto written = ::write(fd, value.data(), value.size());
                ::close(fd);
            }
        }
        ::_exit(0);
    }
    ::close(fds[0]);
    if (child < 0) {
        ::close(fds[1]);
        return -1;
    }
    pid = child;
    return fds[1];
}

}  // namespace

// ---- sysfs ----

bool parseScsiName(std::string_view name, int& host, int& channel, int& target, int& lun) {
    std::array<int, 4> parts{};
    const char* p = name.data();
    const char* end = name.data() + name.size();
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto [next, ec] = std::from_chars(p, end, parts[i]);
        if (ec != std::errc() || parts[i] < 0) {
            return false;
        }
        p = next;
        if (i + 1 < parts.size()) {
            if (p == end || *p != ':') {
                return false;
            }
            ++p;
        }
    }
    if (p != end) {
        return false;
    }
    host = parts[0];
    channel = parts[1];
    target = parts[2];
    lun = parts[3];
    return true;
}

std::vector<OpticalDrive> findOpticalDrives(const fs::path& sysRoot) {
    std::vector<OpticalDrive> drives;
    std::set<int> seen;
    std::error_code ec;

    // SCSI devices of peripheral type 5 with their block and generic nodes.
    for (const auto& entry : fs::directory_iterator(sysRoot / "class" / "scsi_device", ec)) {
        OpticalDrive drive;
        if (!parseScsiName(entry.path().filename().string(), drive.host, drive.channel,
                           drive.target, drive.lun)) {
            continue;
        }
        const fs::path device = entry.path() / "device";
        if (!isCdromType(device)) {
            continue;
        }
        drive.srName = firstNode(device / "block", "sr");
        if (drive.srName.empty() || !seen.insert(nodeNumber(drive.srName, "sr")).second) {
            continue;
        }
        drive.index = nodeNumber(drive.srName, "sr");
        drive.hasAddress = true;
        drive.sgName = firstNode(device / "scsi_generic", "sg");
        drives.push_back(std::move(drive));
    }

    // Block nodes the SCSI class listing did not show.
    for (const auto& entry : fs::directory_iterator(sysRoot / "block", ec)) {
        const std::string name = entry.path().filename().string();
        const int index = nodeNumber(name, "sr");
        if (index < 0 || seen.count(index) != 0) {
            continue;
        }
        if (auto drive = findOpticalDrive(sysRoot, name)) {
            seen.insert(index);
            drives.push_back(std::move(*drive));
        }
    }

    std::sort(drives.begin(), drives.end(),
              [](const OpticalDrive& a, const OpticalDrive& b) { return a.index < b.index; });
    return drives;
}

std::optional<OpticalDrive> findOpticalDrive(const fs::path& sysRoot, std::string_view srName) {
    const int index = nodeNumber(srName, "sr");
    if (index < 0) {
        return std::nullopt;
    }
    const fs::path device = sysRoot / "block" / std::string(srName) / "device";
    std::error_code ec;
    if (!fs::is_directory(device, ec) || !isCdromType(device)) {
        return std::nullopt;
    }
    OpticalDrive drive;
    drive.index = index;
    drive.srName = std::string(srName);
    // The device link ends in the SCSI device's name, H:C:T:L.
    const fs::path target = fs::canonical(device, ec);
    if (!ec) {
        drive.hasAddress = parseScsiName(target.filename().string(), drive.host, drive.channel,
                                         drive.target, drive.lun);
    }
    drive.sgName = firstNode(device / "scsi_generic", "sg");
    return drive;
}

std::string rootForIndex(int index) {
    if (index < 0 || index > 99) {
        return {};
    }
    std::string root(index <= 9 ? "sr" : "s");
    root.append(std::to_string(index));
    return root;
}

int indexForRoot(std::string_view root) {
    int index = nodeNumber(root, "sr");
    if (index >= 0 && index <= 9 && root.size() == 3) {
        return index;
    }
    index = nodeNumber(root, "s");
    if (index >= 10 && index <= 99) {
        return index;
    }
    return -1;
}

// ---- SG_IO ----

bool buildSgRequest(std::span<const std::uint8_t, PassThroughBlockSize> block, void* dataBuffer,
                    sg_io_hdr& hdr, std::span<std::uint8_t> senseBuffer) {
    namespace pt = passthrough;
    hdr = sg_io_hdr{};
    hdr.interface_id = 'S';

    const std::uint8_t cdbLength = block[pt::CdbLength];
    if (cdbLength == 0 || cdbLength > pt::CdbSize) {
        return false;
    }
    hdr.cmd_len = cdbLength;
    // The kernel only reads the packet; sg_io_hdr declares it non-const.
    hdr.cmdp = const_cast<std::uint8_t*>(block.data() + pt::Cdb);

    const std::uint8_t senseLength = block[pt::SenseInfoLength];
    const std::uint32_t senseOffset = getLe32(block, pt::SenseInfoOffset);
    if (senseLength != 0) {
        if (senseOffset < pt::StructSize || senseOffset > block.size() ||
            senseLength > block.size() - senseOffset) {
            return false;
        }
        hdr.mx_sb_len =
            static_cast<unsigned char>(std::min<std::size_t>(senseLength, senseBuffer.size()));
        hdr.sbp = senseBuffer.data();
    }

    const std::uint8_t direction = block[pt::DataIn];
    const std::uint32_t length = getLe32(block, pt::DataTransferLength);
    if (direction > 2) {
        return false;
    }
    if (direction == 2 || length == 0) {
        hdr.dxfer_direction = SG_DXFER_NONE;
    } else {
        if (dataBuffer == nullptr) {
            return false;  // a data phase with no buffer never reaches the drive
        }
        hdr.dxfer_direction = direction == 0 ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
        hdr.dxfer_len = length;
        hdr.dxferp = dataBuffer;
    }

    const std::uint64_t timeoutMs =
        static_cast<std::uint64_t>(getLe32(block, pt::TimeOutValue)) * 1000u;
    hdr.timeout = static_cast<unsigned>(std::min<std::uint64_t>(timeoutMs, INT_MAX));
    return true;
}

Outcome classifySgResult(int ioctlResult, const sg_io_hdr& hdr,
                         std::span<const std::uint8_t> senseBuffer,
                         std::span<std::uint8_t, PassThroughBlockSize> block) {
    namespace pt = passthrough;
    const std::uint32_t senseOffset = getLe32(block, pt::SenseInfoOffset);
    const std::size_t senseRoom = pt::clearSenseArea(block);
    block[pt::ScsiStatus] = 0;
    if (ioctlResult < 0) {
        return Outcome::Failed;
    }
    block[pt::ScsiStatus] = hdr.status;
    // The bytes the data phase really moved: the kernel counts what it did not.
    const unsigned residual = hdr.resid > 0 ? static_cast<unsigned>(hdr.resid) : 0u;
    putLe32(block, pt::DataTransferLength, hdr.dxfer_len - std::min(residual, hdr.dxfer_len));
    if (hdr.host_status != 0 || (hdr.driver_status & DriverStatusMask) != 0) {
        return Outcome::Failed;  // lost on the way, reset, aborted or timed out
    }

    const std::size_t written =
        std::min<std::size_t>({hdr.sb_len_wr, hdr.mx_sb_len, senseBuffer.size()});
    if (written == 0) {
        // No sense data: only a good status means the drive completed the command.
        return hdr.status == SamStatusGood ? Outcome::Completed : Outcome::Failed;
    }
    const std::uint8_t responseCode = senseBuffer[0] & 0x7F;
    if ((responseCode == 0x72 || responseCode == 0x73) && written >= 4) {
        const auto fixed = sense::fixedFromDescriptor(senseBuffer);
        std::copy_n(fixed.begin(), std::min(fixed.size(), senseRoom), block.begin() + senseOffset);
    } else {
        std::copy_n(senseBuffer.begin(), std::min(written, senseRoom), block.begin() + senseOffset);
    }
    return Outcome::Completed;
}

std::string openFailureText(const OpticalDrive& drive, const std::string& triedNode, int error,
                            const std::string& groupName) {
    std::string text = "Cannot open the optical drive " + drive.srName + ": " + triedNode + ": " +
                       errorText(error) + ".";
    if (error == EACCES || error == EPERM) {
        text += "\nUpdating a drive needs read and write access to " + triedNode +
                ": run zorbel as root";
        if (!groupName.empty() && groupName != "root") {
            text += ", or as a member of group " + groupName;
        }
        text += ".";
    }
    return text;
}

std::string rawioMissingText(const OpticalDrive& drive) {
    return "The optical drive " + drive.srName + " can be opened only through /dev/" +
           drive.srName +
           ", which passes firmware commands (WRITE BUFFER and vendor commands) only to a process "
           "with the CAP_SYS_RAWIO capability.\nRun zorbel as root, or load the sg module so that "
           "the drive's /dev/sg node gives its group read and write access.";
}

// ---- LinuxHost ----

LinuxHost::LinuxHost(fs::path sysRoot, fs::path devRoot, SgIoCall sgIo)
    : sysRoot_(std::move(sysRoot)), devRoot_(std::move(devRoot)), sgIo_(std::move(sgIo)) {}

// ---- the drive locks of our programs ----

fs::path LinuxHost::lockFile(const std::string& srName) const {
    // A host on another device tree (a test's) keeps its locks beside its nodes.
    std::error_code ec;
    const fs::path folder = !lockFolder_.empty()                     ? lockFolder_
                            : devRoot_ != "/dev"                     ? devRoot_
                            : fs::is_directory(SystemLockFolder, ec) ? fs::path(SystemLockFolder)
                                                                     : fs::path("/tmp");
    return folder / ("zorbel-" + srName + ".lock");
}

bool LinuxHost::lockDrive(const std::string& srName) {
    const fs::path file = lockFile(srName);
    std::lock_guard lock(mutex_);
    DriveLock& entry = locks_[srName];
    if (entry.users == 0) {
        entry.fd = openLockFile(file);
        if (entry.fd >= 0 && ::flock(entry.fd, LOCK_SH | LOCK_NB) != 0) {
            ::close(entry.fd);
            locks_.erase(srName);
            if (heldReported_.insert(srName).second) {
                const std::string line =
                    programName_ + ": " + srName +
                    ": another zorbel program is updating this drive (it holds " + file.string() +
                    "), so it was left alone: nothing was sent to it. Try again once that update "
                    "has ended.\n";
                std::fwrite(line.data(), 1, line.size(), stderr);
                std::fflush(stderr);
            }
            return false;
        }
    }
    ++entry.users;
    return true;
}

void LinuxHost::unlockDrive(const std::string& srName) {
    std::lock_guard lock(mutex_);
    const auto it = locks_.find(srName);
    if (it != locks_.end() && --it->second.users <= 0) {
        if (it->second.fd >= 0) {
            ::close(it->second.fd);
        }
        locks_.erase(it);
    }
}

bool LinuxHost::lockDriveExclusive(const std::string& srName) {
    std::lock_guard lock(mutex_);
    const auto it = locks_.find(srName);
    if (it == locks_.end() || it->second.fd < 0 || it->second.exclusive) {
        return true;
    }
    if (::flock(it->second.fd, LOCK_EX | LOCK_NB) != 0) {
        // A refused change may have dropped the shared lock: take it again.
        ::flock(it->second.fd, LOCK_SH | LOCK_NB);
        return false;
    }
    it->second.exclusive = true;
    return true;
}

// ---- the login manager's inhibitor lock ----

namespace {

// What the lock holds off: shutdown, sleep and idle, and the keys and the lid
// that would otherwise suspend or turn off the machine (the login manager
// lets those bypass a lock that leaves them out).
constexpr const char* InhibitWhat =
    "--what=shutdown:sleep:idle:handle-power-key:handle-suspend-key:handle-hibernate-key:"
    "handle-lid-switch";
constexpr const char* InhibitMode = "--mode=block";
// Written by the child once systemd-inhibit holds the lock and runs it.
constexpr std::string_view InhibitHeld = "held\n";

}  // namespace

bool LinuxHost::inhibitShutdown() {
    if (inhibitPid_ > 0) {
        return true;
    }
    // systemd-inhibit takes the lock, runs a shell that says so and then
    // waits for the end of its input: the write end of that pipe is ours
    // alone, so the lock ends with this process however it ends.
    std::string reason;
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (::access(inhibitProgram_.c_str(), X_OK) != 0) {
        reason = "no " + inhibitProgram_;
    } else if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        reason = errorText(errno);
    } else {
        static const char* const why = "--why=Updating the firmware of an optical drive";
        const char* const arguments[] = {
            inhibitProgram_.c_str(), InhibitWhat, "--who=zorbel", why, InhibitMode, "/bin/sh", "-c",
            "echo held; exec cat",   nullptr};
        static char pathVariable[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
        char* environment[] = {pathVariable, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        pid_t child = -1;
        const bool ready =
            posix_spawn_file_actions_init(&actions) == 0 &&
            posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO) == 0 &&
            posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO) == 0 &&
            plainSignals(attributes);
        if (!ready || posix_spawn(&child, arguments[0], &actions, &attributes,
                                  const_cast<char* const*>(arguments), environment) != 0) {
            reason = "cannot start " + inhibitProgram_;
            child = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(input[0]);
        ::close(output[1]);
        std::string said;
        char buffer[16];
        ssize_t got = 0;
        while (
            child > 0 && said.size() < InhibitHeld.size() &&
            ((got = ::read(output[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR))) {
            if (got > 0) {
                said.append(buffer, static_cast<std::size_t>(got));
            }
        }
        ::close(output[0]);
        if (child > 0 && said == InhibitHeld) {
            inhibitPid_ = child;
            inhibitPipe_ = input[1];
        } else {
            ::close(input[1]);
            if (child > 0) {
                int status = 0;
                while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
                }
                reason = inhibitProgram_ + " was refused the lock";
            }
        }
    }
    if (inhibitPid_ < 0 && !std::exchange(inhibitRefusalReported_, true)) {
        const std::string line =
            "zorbel: the system cannot be asked to hold off shutdown and sleep during the update "
            "(" +
            reason + "); do not turn it off or let it sleep until the update has ended.\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    return inhibitPid_ > 0;
}

void LinuxHost::releaseShutdownInhibit() {
    if (inhibitPid_ > 0) {
        ::close(inhibitPipe_);
        int status = 0;
        while (::waitpid(inhibitPid_, &status, 0) < 0 && errno == EINTR) {
        }
        inhibitPipe_ = -1;
        inhibitPid_ = -1;
    }
}

LinuxHost::~LinuxHost() {
    releaseShutdownInhibit();
    std::map<int, OpenDrive> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(open_);
    }
    for (auto& [fd, open] : left) {
        release(open);
        ::close(fd);
        if (open.committed && open.drive) {
            rescan(*open.drive);
        }
        if (!open.lockName.empty()) {
            unlockDrive(open.lockName);
        }
    }
}

bool LinuxHost::queryPerformanceFrequency(std::int64_t& frequency) {
    frequency = 1'000'000'000;
    return true;
}

std::int64_t LinuxHost::queryPerformanceCounter() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void LinuxHost::sleepMs(std::uint32_t milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

std::string LinuxHost::logicalDriveStrings() {
    // The waits after the commits may list the drives again from several threads.
    std::vector<OpticalDrive> listed;
    for (auto& drive : findOpticalDrives(sysRoot_)) {
        if (!rootForIndex(drive.index).empty()) {
            listed.push_back(std::move(drive));
        }
    }
    const std::lock_guard lock(listMutex_);
    listed_ = listed;
    reportAccessProblems(listed_);
    std::string roots;
    for (const auto& drive : listed_) {
        roots += rootForIndex(drive.index);
        roots += '\0';
    }
    if (!roots.empty()) {
        roots += '\0';
    }
    return roots;
}

DriveType LinuxHost::driveType(std::string_view root) {
    const int index = indexForRoot(root);
    const std::lock_guard lock(listMutex_);
    const bool listed = std::any_of(listed_.begin(), listed_.end(),
                                    [&](const OpticalDrive& d) { return d.index == index; });
    return index >= 0 && listed ? DriveType::Cdrom : DriveType::NoRootDir;
}

std::string LinuxHost::deviceNameForRoot(std::string_view root) {
    const int index = indexForRoot(root);
    return index < 0 ? std::string() : (devRoot_ / blockNodeName(index)).string();
}

std::string LinuxHost::rootLabel(std::string_view root) {
    const int index = indexForRoot(root);
    return index < 0 ? std::string() : blockNodeName(index);
}

int LinuxHost::openNode(const fs::path& node, int& error) const {
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    error = fd < 0 ? errno : 0;
    return fd;
}

DeviceHandle LinuxHost::openDevice(std::string_view deviceName) {
    const fs::path name(deviceName);
    OpenDrive open;
    int fd = -1;
    int error = 0;
    if (name.parent_path() == devRoot_) {
        // The lock first: a drive another of our programs updates is not
        // even opened (opening its block node makes the kernel ask it).
        const std::string srName = name.filename().string();
        if (nodeNumber(srName, "sr") >= 0) {
            if (!lockDrive(srName)) {
                return InvalidDevice;
            }
            open.lockName = srName;
        }
        open.drive = findOpticalDrive(sysRoot_, srName);
    }
    if (open.drive && !open.drive->sgName.empty()) {
        const fs::path generic = devRoot_ / open.drive->sgName;
        fd = openNode(generic, error);
        if (fd >= 0) {
            open.node = generic.string();
            open.viaGeneric = true;
        }
    }
    if (fd < 0) {
        fd = openNode(name, error);
        open.node = name.string();
    }
    if (fd < 0) {
        if (!open.lockName.empty()) {
            unlockDrive(open.lockName);
        }
        return InvalidDevice;
    }
    std::lock_guard lock(mutex_);
    open_[fd] = std::move(open);
    return fd;
}

void LinuxHost::closeDevice(DeviceHandle device) {
    OpenDrive open;
    {
        std::lock_guard lock(mutex_);
        const auto it = open_.find(static_cast<int>(device));
        if (it == open_.end()) {
            return;
        }
        open = std::move(it->second);
        open_.erase(it);
    }
    release(open);
    ::close(static_cast<int>(device));
    if (open.committed && open.drive) {
        rescan(*open.drive);
    }
    if (!open.lockName.empty()) {
        unlockDrive(open.lockName);
    }
}

bool LinuxHost::queryScsiAddress(DeviceHandle device, ScsiAddress& address) {
    OpenDrive open;
    {
        std::lock_guard lock(mutex_);
        const auto it = open_.find(static_cast<int>(device));
        if (it == open_.end()) {
            return false;
        }
        open = it->second;
    }
    const int fd = static_cast<int>(device);
    std::array<int, 4> hctl{};  // host, channel, target, lun
    bool found = false;
    if (open.viaGeneric) {
        sg_scsi_id id{};
        if (ioctl(fd, SG_GET_SCSI_ID, &id) == 0) {
            hctl = {id.host_no, id.channel, id.scsi_id, id.lun};
            found = true;
        }
    } else {
        struct {
            std::uint32_t devId;
            std::uint32_t hostUniqueId;
        } idlun{};
        if (ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun) == 0) {
            hctl = {
                static_cast<int>(idlun.devId >> 24), static_cast<int>((idlun.devId >> 16) & 0xFF),
                static_cast<int>(idlun.devId & 0xFF), static_cast<int>((idlun.devId >> 8) & 0xFF)};
            found = true;
        }
    }
    if (!found && open.drive && open.drive->hasAddress) {
        hctl = {open.drive->host, open.drive->channel, open.drive->target, open.drive->lun};
        found = true;
    }
    // An address the record cannot hold is no address: the drive is listed
    // the way drives without an address are.
    if (!found || std::any_of(hctl.begin(), hctl.end(), [](int v) { return v < 0 || v > 255; })) {
        return false;
    }
    address.length = 8;
    address.portNumber = static_cast<std::uint8_t>(hctl[0]);
    address.pathId = static_cast<std::uint8_t>(hctl[1]);
    address.targetId = static_cast<std::uint8_t>(hctl[2]);
    address.lun = static_cast<std::uint8_t>(hctl[3]);
    return true;
}

int LinuxHost::sendSgIo(int fd, sg_io_hdr& hdr) {
    if (sgIo_) {
        return sgIo_(fd, hdr);
    }
    return ioctl(fd, SG_IO, &hdr);
}

void LinuxHost::releaseTrayLock(int fd, const OpenDrive& open) {
    // Desktop systems lock the tray while a disc is in; the disc check must
    // still be able to open it. Both unlocks are best effort.
    if (!open.viaGeneric) {
        ioctl(fd, CDROM_LOCKDOOR, 0);
    }
    for (int attempt = 0; attempt < TrayUnlockAttempts; ++attempt) {
        std::array<std::uint8_t, 12> cdb{OpPreventAllowRemoval};
        std::array<std::uint8_t, passthrough::SenseBytes> senseBuffer{};
        sg_io_hdr hdr{};
        hdr.interface_id = 'S';
        hdr.dxfer_direction = SG_DXFER_NONE;
        hdr.cmd_len = static_cast<unsigned char>(cdb.size());
        hdr.cmdp = cdb.data();
        hdr.mx_sb_len = static_cast<unsigned char>(senseBuffer.size());
        hdr.sbp = senseBuffer.data();
        hdr.timeout = TrayUnlockTimeoutMs;
        if (sendSgIo(fd, hdr) < 0 || hdr.sb_len_wr < 3) {
            return;
        }
        const std::uint8_t format = senseBuffer[0] & 0x7F;
        const std::uint8_t key =
            (format == 0x72 || format == 0x73 ? senseBuffer[1] : senseBuffer[2]) & sense::KeyMask;
        if (key != SenseKeyUnitAttention) {
            return;
        }
    }
}

bool LinuxHost::passThroughDirect(DeviceHandle device,
                                  std::span<std::uint8_t, PassThroughBlockSize> block,
                                  void* dataBuffer) {
    const int fd = static_cast<int>(device);
    OpenDrive open;
    {
        std::lock_guard lock(mutex_);
        const auto it = open_.find(fd);
        if (it == open_.end()) {
            return false;
        }
        open = it->second;
    }
    std::array<std::uint8_t, passthrough::SenseAreaSize> senseBuffer{};
    sg_io_hdr hdr{};
    if (!buildSgRequest(block, dataBuffer, hdr, senseBuffer)) {
        classifySgResult(-1, hdr, senseBuffer, block);
        return false;
    }
    const std::span<const std::uint8_t> cdb(block.data() + passthrough::Cdb, passthrough::CdbSize);
    if (isEject(cdb)) {
        releaseTrayLock(fd, open);
    }
    const int result = sendSgIo(fd, hdr);
    const int error = result < 0 ? errno : 0;
    const Outcome outcome = classifySgResult(result, hdr, senseBuffer, block);

    if (error == EPERM && !open.viaGeneric && !hasRawIo()) {
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            first = !std::exchange(rawIoRefusalReported_, true);
        }
        if (first && open.drive) {
            systemMessageBox(rawioMissingText(*open.drive), "Error");
        }
    }
    const bool good = outcome == Outcome::Completed &&
                      block[passthrough::ScsiStatus] == scsistatus::Good &&
                      (block[passthrough::SenseArea + sense::Key] & sense::KeyMask) == 0;
    if (good && isCommit(cdb)) {
        std::lock_guard lock(mutex_);
        const auto it = open_.find(fd);
        if (it != open_.end()) {
            it->second.committed = true;
        }
    }
    return outcome == Outcome::Completed;
}

bool LinuxHost::claimDevice(DeviceHandle device) {
    const int fd = static_cast<int>(device);
    OpenDrive open;
    {
        std::lock_guard lock(mutex_);
        const auto it = open_.find(fd);
        if (it == open_.end()) {
            return false;
        }
        if (it->second.claim >= 0) {
            return true;
        }
        open = it->second;
    }
    const auto refuse = [&](const std::string& reason) {
        const std::string line = "zorbel: " + (open.drive ? open.drive->srName : open.node) + ": " +
                                 reason +
                                 " It was only asked for its identity: nothing was written to it "
                                 "and its tray was not moved.\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
        return false;
    };
    if (!open.drive) {
        // Without the drive's nodes there is nothing to hold it by, and a
        // hold not known to be taken is no hold.
        return refuse(
            "the system does not describe this drive, so it cannot be held for the "
            "update alone; update it once the system lists it again.");
    }
    const auto inUse = [&open](const fs::path& node, int error) {
        if (error == EBUSY && open.viaGeneric && node.filename() == open.drive->sgName) {
            return "the drive is in use (another program has " + node.string() +
                   " open); end that program, then update again.";
        }
        if (error == EBUSY) {
            return "the drive is in use (a mounted disc, or another program holds " +
                   node.string() + "); unmount it or end that program, then update again.";
        }
        return "cannot hold " + node.string() + " for the update alone: " + errorText(error) + ".";
    };

    // Our programs' lock on the drive, exclusively: refused while another of
    // them has the drive open.
    if (!open.lockName.empty() && !lockDriveExclusive(open.lockName)) {
        return refuse("another zorbel program or zorbel-probe is asking the drive (it holds " +
                      lockFile(open.lockName).string() +
                      "); update again once that program has ended.");
    }
    // The block node, exclusively: refused while a file system is mounted
    // from it or another program holds it so.
    const fs::path blockNode = devRoot_ / open.drive->srName;
    const int claim = exclusiveOpen(blockNode, O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (claim < 0) {
        return refuse(inUse(blockNode, errno));
    }
    // The generic node the commands go through, exclusively too: the handle
    // is opened afresh with O_EXCL in the same descriptor, which keeps every
    // other opener of the generic node out until it is closed. Refused while
    // anyone else has it open.
    if (open.viaGeneric) {
        const fs::path genericNode = devRoot_ / open.drive->sgName;
        int error = 0;
        const int placeholder = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (placeholder < 0 || ::dup3(placeholder, fd, O_CLOEXEC) < 0) {
            error = errno;
        } else {
            int reopened = exclusiveOpen(genericNode, O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
            if (reopened < 0) {
                error = errno;
                // The handle goes back to a shared open of the node.
                int ignored = 0;
                reopened = openNode(genericNode, ignored);
            }
            if (reopened >= 0) {
                ::dup3(reopened, fd, O_CLOEXEC);
                ::close(reopened);
            }
        }
        if (placeholder >= 0) {
            ::close(placeholder);
        }
        if (error != 0) {
            ::close(claim);
            return refuse(inUse(genericNode, error));
        }
    }

    // Pause the kernel's media polling; only root may, and only then is
    // there anything to restore.
    std::optional<std::string> pollMs;
    const fs::path poll = sysRoot_ / "block" / open.drive->srName / "events_poll_msecs";
    int guardianPipe = -1;
    int guardianPid = -1;
    if (auto previous = readAttribute(poll)) {
        const int pollFd = ::open(poll.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        const int error = pollFd < 0 ? errno : 0;
        if (pollFd >= 0) {
            if (::write(pollFd, "0", 1) == 1) {
                guardianPipe = startPollGuardian(poll, *previous, guardianPid);
                pollMs = std::move(previous);
            }
            ::close(pollFd);
        } else {
            bool first = false;
            {
                std::lock_guard lock(mutex_);
                first = !std::exchange(pollRefusalReported_, true);
            }
            if (first) {
                const std::string line =
                    "zorbel: " + open.drive->srName +
                    ": the kernel's media polling of the drive cannot be paused (" + poll.string() +
                    ": " + errorText(error) +
                    "; only root may): the kernel's own commands reach the drive during the "
                    "update, and one that meets the drive writing its flash may make the kernel "
                    "reset it. Run zorbel as root to pause the polling.\n";
                std::fwrite(line.data(), 1, line.size(), stderr);
                std::fflush(stderr);
            }
        }
    }
    std::lock_guard lock(mutex_);
    const auto it = open_.find(fd);
    if (it == open_.end()) {  // closed meanwhile by another thread: nothing to keep
        OpenDrive gone;
        gone.drive = open.drive;
        gone.claim = claim;
        gone.pollMs = std::move(pollMs);
        gone.guardianPipe = guardianPipe;
        gone.guardianPid = guardianPid;
        release(gone);
        return false;
    }
    it->second.claim = claim;
    it->second.pollMs = std::move(pollMs);
    it->second.guardianPipe = guardianPipe;
    it->second.guardianPid = guardianPid;
    return true;
}

int LinuxHost::exclusiveOpen(const fs::path& node, int flags) const {
    return exclusiveOpen_ ? exclusiveOpen_(node, flags) : ::open(node.c_str(), flags);
}

void LinuxHost::release(OpenDrive& open) {
    if (open.pollMs && open.drive) {
        const fs::path poll = sysRoot_ / "block" / open.drive->srName / "events_poll_msecs";
        const int fd = ::open(poll.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd >= 0) {
            [[maybe_unused]] const auto written =
                ::write(fd, open.pollMs->data(), open.pollMs->size());
            ::close(fd);
        }
        open.pollMs.reset();
    }
    if (open.guardianPipe >= 0) {
        // Restored already: the guardian's byte says so, and it ends.
        [[maybe_unused]] const auto written = ::write(open.guardianPipe, "x", 1);
        ::close(open.guardianPipe);
        int status = 0;
        while (::waitpid(open.guardianPid, &status, 0) < 0 && errno == EINTR) {
        }
        open.guardianPipe = -1;
        open.guardianPid = -1;
    }
    if (open.claim >= 0) {
        ::close(open.claim);
        open.claim = -1;
    }
}

void LinuxHost::rescan(const OpticalDrive& drive) {
    // The kernel re-reads the drive's identity, so the system shows the
    // firmware it now runs. Only root may ask; others leave it to the restart.
    const fs::path file = sysRoot_ / "block" / drive.srName / "device" / "rescan";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] const auto written = ::write(fd, "1", 1);
        ::close(fd);
    }
}

bool LinuxHost::hasRawIo() const {
    if (rawIoOverride_) {
        return *rawIoOverride_;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> data{};
    if (syscall(SYS_capget, &header, data.data()) != 0) {
        return geteuid() == 0;
    }
    return (data[CAP_SYS_RAWIO / 32].effective & (1u << (CAP_SYS_RAWIO % 32))) != 0;
}

std::string DriveAccess::usableNode() const {
    if (!genericNode.empty() && genericError == 0) {
        return genericNode;
    }
    return blockError == 0 && rawIo ? blockNode : std::string();
}

DriveAccess LinuxHost::accessOf(const OpticalDrive& drive) {
    DriveAccess access;
    if (!lockDrive(drive.srName)) {
        access.heldLock = lockFile(drive.srName).string();
        return access;
    }
    const auto tryOpen = [this](const fs::path& node) {
        int error = 0;
        const int fd = openNode(node, error);
        if (fd >= 0) {
            ::close(fd);
        }
        return error;
    };
    if (!drive.sgName.empty()) {
        access.genericNode = (devRoot_ / drive.sgName).string();
        access.genericError = tryOpen(access.genericNode);
    }
    access.blockNode = (devRoot_ / drive.srName).string();
    access.blockError = tryOpen(access.blockNode);
    access.rawIo = hasRawIo();
    access.group = groupNameOf(access.genericNode.empty() ? access.blockNode : access.genericNode);
    unlockDrive(drive.srName);
    return access;
}

std::string LinuxHost::groupNameOf(const fs::path& node) const {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0) {
        return {};
    }
    if (info.st_gid == 0) {
        return "root";
    }
    // The group database as a plain file; a static program has no other.
    std::ifstream groups("/etc/group");
    std::string line;
    while (std::getline(groups, line)) {
        const auto first = line.find(':');
        const auto second = first == std::string::npos ? first : line.find(':', first + 1);
        const auto third = second == std::string::npos ? second : line.find(':', second + 1);
        if (third == std::string::npos) {
            continue;
        }
        if (line.substr(second + 1, third - second - 1) == std::to_string(info.st_gid)) {
            return line.substr(0, first);
        }
    }
    return std::to_string(info.st_gid);
}

void LinuxHost::reportAccessProblems(const std::vector<OpticalDrive>& drives) {
    if (accessReported_ || drives.empty()) {
        return;
    }
    accessReported_ = true;
    bool opened = false;
    bool usable = false;
    const OpticalDrive* blockOnly = nullptr;
    int firstError = 0;
    std::string firstNode;
    for (const auto& drive : drives) {
        if (!lockDrive(drive.srName)) {
            continue;
        }
        int error = 0;
        fs::path node = devRoot_ / (drive.sgName.empty() ? drive.srName : drive.sgName);
        int fd = openNode(node, error);
        bool generic = !drive.sgName.empty() && fd >= 0;
        if (fd < 0 && !drive.sgName.empty()) {
            int srError = 0;
            fd = openNode(devRoot_ / drive.srName, srError);
        }
        unlockDrive(drive.srName);
        if (fd < 0) {
            if (firstNode.empty()) {
                firstNode = node.string();
                firstError = error;
            }
            continue;
        }
        ::close(fd);
        opened = true;
        if (generic || hasRawIo()) {
            usable = true;
        } else if (blockOnly == nullptr) {
            blockOnly = &drive;
        }
    }
    if (!opened && !firstNode.empty()) {
        systemMessageBox(
            openFailureText(drives.front(), firstNode, firstError, groupNameOf(firstNode)),
            "Error");
    } else if (!usable && blockOnly != nullptr) {
        systemMessageBox(rawioMissingText(*blockOnly), "Error");
    }
}

std::uint32_t LinuxHost::aspiSupportInfo(AspiProc) {
    return static_cast<std::uint32_t>(srb::SsNoAspi) << 8;
}

std::uint32_t LinuxHost::aspiSendCommand(AspiProc, std::span<std::uint8_t> request, void*) {
    // No ASPI manager exists here; a request never stays pending.
    constexpr std::uint8_t SsErr = 0x04;
    if (request.size() > srb::Status) {
        request[srb::Status] = SsErr;
    }
    return SsErr;
}

void blockStopSignals() {
    const sigset_t set = stopSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool LinuxHost::watchStopSignals(void (*deliver)(int signal)) {
    static std::atomic<bool> watching{false};
    if (deliver == nullptr || watching.exchange(true)) {
        return false;
    }
    // Blocked here as well, for a program that did not block them first:
    // every thread started from now on inherits the mask.
    blockStopSignals();
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, nullptr);
    // No handler of ours: a signal stays pending until the watcher takes it,
    // so no system call is ever interrupted or restarted by one. One ignored
    // when the program was started is taken all the same.
    action.sa_handler = SIG_DFL;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
    stopEvent.store(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    // The watch lasts as long as the process; its thread is never joined.
    std::thread([deliver] {
        const sigset_t set = stopSignalSet();
        for (;;) {
            siginfo_t info{};
            const int signal = ::sigwaitinfo(&set, &info);
            if (signal > 0) {
                const std::uint64_t one = 1;
                [[maybe_unused]] const auto written = ::write(stopEvent.load(), &one, sizeof one);
                deliver(signal);
            } else if (errno != EINTR) {
                return;
            }
        }
    }).detach();
    return true;
}

bool LinuxHost::waitForConsoleInput() {
    const int stop = stopEvent.load();
    if (stop < 0) {
        return true;  // nothing watches the signals: the read waits as it always did
    }
    std::array<pollfd, 2> fds{{{stop, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}}};
    while (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
    }
    return (fds[0].revents & POLLIN) == 0;
}

void LinuxHost::systemMessageBox(std::string_view text, std::string_view caption) {
    if (messageSink_ && std::this_thread::get_id() == ownerThread_) {
        messageSink_(text, caption);
        return;
    }
    const std::string line = std::string(caption) + ": " + std::string(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

bool LinuxHost::restartSystem(bool /*ntFamily*/) {
    // A clean restart through the init system: services stop, file systems
    // are synced and unmounted. Never the immediate reboot call.
    static const std::array<std::array<const char*, 4>, 4> commands{{
        {"/usr/bin/systemctl", "reboot", nullptr, nullptr},
        {"/bin/systemctl", "reboot", nullptr, nullptr},
        {"/usr/sbin/shutdown", "-r", "now", nullptr},
        {"/sbin/shutdown", "-r", "now", nullptr},
    }};
    static char pathVariable[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
    char* environment[] = {pathVariable, nullptr};
    for (const auto& command : commands) {
        if (::access(command[0], X_OK) != 0) {
            continue;
        }
        pid_t child = 0;
        posix_spawnattr_t attributes;
        const bool ready = plainSignals(attributes);
        const bool started =
            ready && posix_spawn(&child, command[0], nullptr, &attributes,
                                 const_cast<char* const*>(command.data()), environment) == 0;
        posix_spawnattr_destroy(&attributes);
        if (!started) {
            continue;
        }
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            return true;
        }
    }
    return false;
}

std::string LinuxHost::openedNode(DeviceHandle device) const {
    std::lock_guard lock(mutex_);
    const auto it = open_.find(static_cast<int>(device));
    return it == open_.end() ? std::string() : it->second.node;
}

// ---- power ----

namespace {

// The first line of a sysfs attribute, without its line feed; empty when it
// cannot be read.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

PowerState readPowerSupplies(const fs::path& sysRoot) {
    PowerState state;
    bool externalOnline = false;
    bool discharging = false;
    std::error_code ec;
    for (fs::directory_iterator it(sysRoot / "class" / "power_supply", ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path supply = it->path();
        if (attribute(supply / "scope") == "Device") {
            continue;  // the battery of a mouse or a headset
        }
        if (attribute(supply / "type") != "Battery") {
            externalOnline = externalOnline || attribute(supply / "online") == "1";
            continue;
        }
        if (attribute(supply / "present") == "0") {
            continue;
        }
        state.batteryPresent = true;
        discharging = discharging || attribute(supply / "status") == "Discharging";
        int percent = -1;
        const std::string capacity = attribute(supply / "capacity");
        if (std::from_chars(capacity.data(), capacity.data() + capacity.size(), percent).ec ==
                std::errc() &&
            percent >= 0 && percent <= 100 && state.batteryPercent < 0) {
            state.batteryPercent = percent;
        }
    }
    state.source = externalOnline ? PowerSource::External
                   : discharging  ? PowerSource::Battery
                                  : PowerSource::Unknown;
    return state;
}

PowerState LinuxHost::powerState() {
    return readPowerSupplies(sysRoot_);
}

}  // namespace zorbel::linuxhost

// ---- SHA-256 from the system ----

namespace zorbel {

namespace {

using Digest = std::array<std::uint8_t, 32>;
using Route = bool (*)(std::span<const std::uint8_t>, Digest&, std::string&);

// The kernel's crypto interface (AF_ALG, "hash", "sha256").
bool kernelSha256(std::span<const std::uint8_t> bytes, Digest& digest, std::string& reason) {
    const int socketFd = ::socket(AF_ALG, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        reason = std::string("the kernel's crypto interface: ") + std::strerror(errno);
        return false;
    }
    sockaddr_alg address{};
    address.salg_family = AF_ALG;
    std::memcpy(address.salg_type, "hash", 5);
    std::memcpy(address.salg_name, "sha256", 7);
    int hashFd = -1;
    if (::bind(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (hashFd = ::accept4(socketFd, nullptr, nullptr, SOCK_CLOEXEC)) < 0) {
        reason = std::string("the kernel's sha256: ") + std::strerror(errno);
        ::close(socketFd);
        return false;
    }
    bool ok = true;
    std::size_t done = 0;
    constexpr std::size_t Chunk = 65536;
    do {
        const std::size_t length = std::min(Chunk, bytes.size() - done);
        const bool more = done + length < bytes.size();
        const ssize_t sent = ::send(hashFd, bytes.data() + done, length, more ? MSG_MORE : 0);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0 && length != 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
    } while (done < bytes.size());
    ssize_t got = -1;
    if (ok) {
        while ((got = ::read(hashFd, digest.data(), digest.size())) < 0 && errno == EINTR) {
        }
    }
    if (!ok || got != static_cast<ssize_t>(digest.size())) {
        reason = std::string("the kernel's sha256: ") + std::strerror(errno);
        ok = false;
    }
    ::close(hashFd);
    ::close(socketFd);
    return ok;
}

// The system's libnettle, loaded at run time (never linked, never in a
// statically linked program, which has no dynamic loader).
bool nettleSha256(std::span<const std::uint8_t> bytes, Digest& digest, std::string& reason) {
    static constexpr const char* Library = "libnettle.so.8";
    if (::getauxval(AT_BASE) == 0) {
        reason = std::string("a statically linked program cannot load ") + Library;
        return false;
    }
    static void* const handle = ::dlopen(Library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        reason = std::string("no ") + Library;
        return false;
    }
    const auto init =
        reinterpret_cast<decltype(&nettle_sha256_init)>(::dlsym(handle, "nettle_sha256_init"));
    const auto update =
        reinterpret_cast<decltype(&nettle_sha256_update)>(::dlsym(handle, "nettle_sha256_update"));
    const auto finish =
        reinterpret_cast<decltype(&nettle_sha256_digest)>(::dlsym(handle, "nettle_sha256_digest"));
    if (init == nullptr || update == nullptr || finish == nullptr) {
        reason = std::string(Library) + " has no sha256";
        return false;
    }
    sha256_ctx context;
    init(&context);
    update(&context, bytes.size(), bytes.data());
    finish(&context, digest.size(), digest.data());
    return true;
}

// The SHA-256 of "abc" (FIPS 180-2, appendix B.1): a route is trusted only
// once it has given this.
constexpr Digest KnownAnswer = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                                0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                                0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};

bool knownAnswerHolds(Route route, std::string& reason) {
    static constexpr std::uint8_t Abc[] = {'a', 'b', 'c'};
    Digest digest{};
    if (!route(std::span<const std::uint8_t>(Abc, sizeof Abc), digest, reason)) {
        return false;
    }
    if (digest != KnownAnswer) {
        reason = "a wrong SHA-256 of a known text";
        return false;
    }
    return true;
}

}  // namespace

bool systemSha256(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest,
                  std::string& reason) {
    // The first route that gives the known answer serves the whole run.
    static const std::pair<Route, std::string> chosen = [] {
        std::string kernelReason;
        if (knownAnswerHolds(&kernelSha256, kernelReason)) {
            return std::pair<Route, std::string>{&kernelSha256, ""};
        }
        std::string nettleReason;
        if (knownAnswerHolds(&nettleSha256, nettleReason)) {
            return std::pair<Route, std::string>{&nettleSha256, ""};
        }
        return std::pair<Route, std::string>{nullptr, kernelReason + "; " + nettleReason};
    }();
    if (chosen.first == nullptr) {
        reason = chosen.second;
        return false;
    }
    return chosen.first(bytes, digest, reason);
}

}  // namespace zorbel
