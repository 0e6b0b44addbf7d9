// The program the test VM runs in place of a single probe.
//
//   /probe                   runs the cases script /data/cases.sh under the VM's
//                            shell, with standard input on /dev/null (the script
//                            gives each program the answers it should see)
//   /probe lock-tray NODE    locks the tray of the drive behind NODE (PREVENT ALLOW
//                            MEDIUM REMOVAL, prevent), as desktop systems do while a
//                            disc is in
//   /probe mark NODE         sends a command the program never sends (an INQUIRY
//                            for 16 bytes): a mark in QEMU's command trace
//   /probe storm PID MS      once a thread of PID is inside its next SG_IO call, sends
//                            SIGTERM, SIGHUP and SIGINT together to PID every
//                            millisecond for MS milliseconds
#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

namespace {

// Sends one 6-byte command to the drive behind `fd`; true when it completed
// with good status.
bool send(int fd, std::array<unsigned char, 6> cdb, unsigned char* data, unsigned length) {
    std::array<unsigned char, 32> sense{};
    sg_io_hdr hdr{};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = length != 0 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    hdr.cmd_len = cdb.size();
    hdr.cmdp = cdb.data();
    hdr.dxferp = data;
    hdr.dxfer_len = length;
    hdr.mx_sb_len = sense.size();
    hdr.sbp = sense.data();
    hdr.timeout = 10000;
    return ioctl(fd, SG_IO, &hdr) == 0 && hdr.status == 0 && hdr.host_status == 0;
}

// A disc just put in makes the drive answer the next commands with "not
// ready" and a unit attention; the lock is sent until the drive takes it.
// "mark" sends an INQUIRY for 16 bytes, which the program never sends: it
// marks a point in QEMU's command trace.
int command(const char* what, const char* node) {
    const int fd = open(node, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        std::perror(node);
        return 1;
    }
    bool done = false;
    if (std::strcmp(what, "mark") == 0) {
        std::array<unsigned char, 16> inquiry{};
        done = send(fd, {0x12, 0, 0, 0, 16, 0}, inquiry.data(), inquiry.size());
    } else {
        for (int attempt = 0; attempt < 5 && !done; ++attempt) {
            done = send(fd, {0x1E, 0, 0, 0, 0x01, 0}, nullptr, 0);
        }
        std::printf(done ? "tray locked\n" : "tray lock refused\n");
    }
    close(fd);
    return done ? 0 : 1;
}

void sleepMs(long ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1'000'000};
    nanosleep(&pause, nullptr);
}

// True while a thread of `pid` is inside ioctl(fd, SG_IO, ...): its syscall
// file reads "16 0xFD 0x2285 ..." (x86-64's ioctl number, then the arguments).
bool inSgIo(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* folder = opendir(tasks.c_str());
    bool found = false;
    while (dirent* entry = folder != nullptr ? readdir(folder) : nullptr) {
        std::ifstream in(tasks + "/" + entry->d_name + "/syscall");
        std::string number, fd, request;
        found = found || (in >> number >> fd >> request && number == "16" && request == "0x2285");
    }
    if (folder != nullptr) {
        closedir(folder);
    }
    return found;
}

// A program that has ended but is not yet reaped by its shell still takes
// signals: the storm then lasts its whole time.
int storm(pid_t pid, long ms) {
    // The next call: one that is ending now does not count.
    for (const bool inside : {true, false}) {
        for (int i = 0; i < 20'000 && inSgIo(pid) == inside; ++i) {
            sleepMs(1);
        }
    }
    long bursts = 0;
    for (long i = 0; i < ms; ++i) {
        if (kill(pid, SIGTERM) != 0 || kill(pid, SIGHUP) != 0 || kill(pid, SIGINT) != 0) {
            break;
        }
        ++bursts;
        sleepMs(1);
    }
    std::printf("%ld bursts\n", bursts);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "storm") == 0) {
        return storm(static_cast<pid_t>(std::atol(argv[2])), std::atol(argv[3]));
    }
    if (argc == 3 &&
        (std::strcmp(argv[1], "lock-tray") == 0 || std::strcmp(argv[1], "mark") == 0)) {
        return command(argv[1], argv[2]);
    }
    const int null = open("/dev/null", O_RDONLY);
    if (null < 0 || dup2(null, STDIN_FILENO) < 0) {
        std::perror("peer-shell: /dev/null");
        return 126;
    }
    close(null);
    char shell[] = "/bin/sh";
    char script[] = "/data/cases.sh";
    char* arguments[] = {shell, script, nullptr};
    execv(shell, arguments);
    std::perror("peer-shell: /bin/sh");
    return 127;
}
