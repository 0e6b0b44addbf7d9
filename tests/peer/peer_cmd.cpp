// zorbel-peer-cmd: one command sent through the update program's Linux back
// end, for timing it against other tools on the same drive.
//
//   zorbel-peer-cmd NODE COUNT out|in|none LENGTH CDB-BYTE...
//
// NODE is the drive's /dev/srN (the back end opens its generic node, as the
// program does). The command is sent COUNT times with a data buffer of LENGTH
// bytes (out: a pattern; in: read and dropped); the program prints the
// microseconds of each SG_IO round trip on average and exits 0 when every
// command ended with good status.
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/Host.h"
#include "device/RequestLayout.h"
#include "device/host_linux.h"

int main(int argc, char** argv) {
    namespace pt = zorbel::passthrough;
    if (argc < 6) {
        std::fprintf(stderr, "usage: zorbel-peer-cmd NODE COUNT out|in|none LENGTH CDB-BYTE...\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const std::string way = argv[3];
    const auto length = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 0));
    const std::uint8_t direction = way == "out" ? 0 : way == "in" ? 1 : 2;

    zorbel::linuxhost::LinuxHost host;
    const zorbel::DeviceHandle device = host.openDevice(argv[1]);
    if (device == zorbel::InvalidDevice) {
        std::fprintf(stderr, "zorbel-peer-cmd: cannot open %s\n", argv[1]);
        return 1;
    }
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 13);
    }
    std::array<std::uint8_t, pt::BlockSize> block{};
    std::chrono::nanoseconds total{0};
    int good = 0;
    for (int n = 0; n < count; ++n) {
        block.fill(0);
        block[pt::Length] = pt::StructSize;
        block[pt::CdbLength] = 12;
        block[pt::SenseInfoLength] = pt::SenseBytes;
        block[pt::DataIn] = direction;
        std::memcpy(&block[pt::DataTransferLength], &length, 4);
        const std::uint32_t timeout = 20, senseAt = pt::SenseArea;
        std::memcpy(&block[pt::TimeOutValue], &timeout, 4);
        std::memcpy(&block[pt::SenseInfoOffset], &senseAt, 4);
        for (int i = 5; i < argc && i - 5 < static_cast<int>(pt::CdbSize); ++i) {
            block[pt::Cdb + (i - 5)] =
                static_cast<std::uint8_t>(std::strtoul(argv[i], nullptr, 16));
        }
        const auto t0 = std::chrono::steady_clock::now();
        const bool delivered =
            host.passThroughDirect(device, block, length != 0 ? data.data() : nullptr);
        total += std::chrono::steady_clock::now() - t0;
        if (delivered && block[pt::ScsiStatus] == 0) {
            ++good;
        } else if (good == n) {  // the first that did not end well
            std::fprintf(stderr,
                         "zorbel-peer-cmd: command %d: %s, status %u, sense %02X/%02X/%02X\n",
                         n + 1, delivered ? "delivered" : "not delivered", block[pt::ScsiStatus],
                         block[pt::SenseArea + 2] & 15, block[pt::SenseArea + 12],
                         block[pt::SenseArea + 13]);
        }
    }
    host.closeDevice(device);
    std::printf("%.1f us per command, %d of %d good\n",
                std::chrono::duration<double, std::micro>(total).count() / count, good, count);
    return good == count ? 0 : 1;
}
