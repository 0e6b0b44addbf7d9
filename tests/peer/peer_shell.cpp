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
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

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

}  // namespace

int main(int argc, char** argv) {
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
