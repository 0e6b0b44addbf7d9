// The program the test VM runs in place of a single probe: the cases script
// /data/cases.sh under the VM's shell, with standard input on /dev/null so that
// every program it starts runs unattended (dialogs take their default button).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main() {
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
