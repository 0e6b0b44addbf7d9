// The program the test VM runs in place of a single probe.
//
//   /probe                   runs the cases script /data/cases.sh under the VM's
//                            shell, with standard input on /dev/null (the script
//                            gives each program the answers it should see)
//   /probe lock-tray NODE    locks the tray of the drive behind NODE (PREVENT ALLOW
//                            MEDIUM REMOVAL, prevent), as desktop systems do while a
//                            disc is in
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>

namespace {

// A disc just put in makes the drive answer the next commands with "not
// ready" and a unit attention; the lock is sent until the drive takes it.
int lockTray(const char* node) {
    const int fd = open(node, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        std::perror(node);
        return 1;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::array<unsigned char, 6> cdb{0x1E, 0, 0, 0, 0x01, 0};
        std::array<unsigned char, 32> sense{};
        sg_io_hdr hdr{};
        hdr.interface_id = 'S';
        hdr.dxfer_direction = SG_DXFER_NONE;
        hdr.cmd_len = cdb.size();
        hdr.cmdp = cdb.data();
        hdr.mx_sb_len = sense.size();
        hdr.sbp = sense.data();
        hdr.timeout = 10000;
        if (ioctl(fd, SG_IO, &hdr) == 0 && hdr.status == 0 && hdr.host_status == 0) {
            close(fd);
            std::printf("tray locked\n");
            return 0;
        }
    }
    close(fd);
    std::printf("tray lock refused\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "lock-tray") == 0) {
        return lockTray(argv[2]);
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
