#include "tools/zorbel-tcmu/UioDevice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace zorbel::tcmu {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    return line;
}

}  // namespace

std::optional<UioDevice> UioDevice::open(const std::string& name, std::string& error,
                                         const fs::path& sysRoot) {
    // The kernel names the device "tcm-user/HBA/NAME/CONFIG".
    std::error_code ec;
    const fs::path classDir = sysRoot / "class" / "uio";
    for (const auto& entry : fs::directory_iterator(classDir, ec)) {
        const auto label = readLine(entry.path() / "name");
        if (!label || label->rfind("tcm-user/", 0) != 0) {
            continue;
        }
        std::istringstream parts(label->substr(9));
        std::string hba, backstore;
        if (!std::getline(parts, hba, '/') || !std::getline(parts, backstore, '/') ||
            backstore != name) {
            continue;
        }
        const auto sizeText = readLine(entry.path() / "maps" / "map0" / "size");
        const std::size_t size = sizeText ? std::strtoull(sizeText->c_str(), nullptr, 0) : 0;
        if (size == 0) {
            error = "no ring size in " + (entry.path() / "maps/map0/size").string();
            return std::nullopt;
        }
        UioDevice device;
        device.node_ = "/dev/" + entry.path().filename().string();
        device.fd_ = ::open(device.node_.c_str(), O_RDWR | O_CLOEXEC);
        if (device.fd_ < 0) {
            error = device.node_ + ": " + std::strerror(errno);
            return std::nullopt;
        }
        void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, device.fd_, 0);
        if (map == MAP_FAILED) {
            error = device.node_ + ": mapping the ring: " + std::strerror(errno);
            return std::nullopt;
        }
        device.map_ = static_cast<std::uint8_t*>(map);
        device.size_ = size;
        const auto timeout = readLine(sysRoot / "kernel" / "config" / "target" / "core" /
                                      ("user_" + hba) / name / "attrib" / "cmd_time_out");
        device.timeout_ = std::chrono::seconds(timeout ? std::atoi(timeout->c_str()) : 0);
        return device;
    }
    error = "no device of the kernel's SCSI target is named " + name + " (" + classDir.string() +
            "/*/name): was its backstore made and enabled?";
    return std::nullopt;
}

UioDevice::UioDevice(UioDevice&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      map_(std::exchange(other.map_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      timeout_(other.timeout_),
      node_(std::move(other.node_)) {}

UioDevice::~UioDevice() {
    if (map_ != nullptr) {
        ::munmap(map_, size_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool UioDevice::waitForCommands() {
    std::uint32_t events = 0;
    for (;;) {
        const ssize_t n = ::read(fd_, &events, sizeof events);
        if (n == sizeof events) {
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return false;
    }
}

void UioDevice::answersReady() {
    const std::uint32_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

double secondsSinceBoot() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void continueInBackground() {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("zorbel-tcmu: fork");
        std::exit(1);
    }
    if (child > 0) {
        std::printf("%d\n", static_cast<int>(child));
        std::fflush(stdout);
        std::_Exit(0);
    }
    // The parent's reader (a shell's command substitution, say) waits for the
    // end of standard output: the server keeps none.
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ::setsid();
}

void blockTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForTermination() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    int signal = 0;
    while (::sigwait(&set, &signal) != 0) {
    }
    return signal;
}

bool writeWhole(const fs::path& file, const std::string& text) {
    const fs::path temporary = file.string() + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) ||
            !out.flush()) {
            return false;
        }
    }
    std::error_code ec;
    fs::rename(temporary, file, ec);
    return !ec;
}

}  // namespace zorbel::tcmu
