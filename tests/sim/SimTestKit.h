// Requests built by hand, as the operating system and the ASPI manager
// receive them, for tests that drive the simulated computer through the host
// interface directly.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "device/Host.h"
#include "sim/RequestLayout.h"
#include "sim/SimHost.h"

namespace zorbel::sim::testkit {

using Cdb = std::array<std::uint8_t, 12>;

inline Cdb cdb(std::initializer_list<std::uint8_t> bytes) {
    Cdb c{};
    std::size_t i = 0;
    for (std::uint8_t b : bytes) {
        c[i++] = b;
    }
    return c;
}

inline Cdb testUnitReady() {
    return cdb({0x00});
}
inline Cdb inquiry(std::uint8_t alloc = 96) {
    return cdb({0x12, 0, 0, 0, alloc});
}
inline Cdb startStop(bool loadEject, bool start) {
    return cdb({0x1B, 0, 0, 0, static_cast<std::uint8_t>((loadEject ? 2 : 0) | (start ? 1 : 0))});
}
inline Cdb eventStatus(std::uint8_t alloc = 8) {
    return cdb({0x4A, 1, 0, 0, 0x10, 0, 0, 0, alloc});
}
inline Cdb flashId() {
    return cdb({0xDF, 0x11});
}
inline Cdb readBuffer(std::uint32_t offset, std::uint32_t length) {
    return cdb({0x3C, 0x01, 0x01, static_cast<std::uint8_t>(offset >> 16),
                static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length)});
}
inline Cdb writeBuffer(std::uint32_t offset, std::uint32_t length, std::uint8_t code) {
    return cdb({0x3B, 0x05, 0x01, static_cast<std::uint8_t>(offset >> 16),
                static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
                static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length), code});
}

// What a pass-through call returned.
struct PtAnswer {
    bool delivered = false;  // the call's result
    Sense sense;
    std::uint8_t scsiStatus = 0;
    std::uint32_t transferred = 0;
    std::array<std::uint8_t, layout::pt::BlockSize> block{};
};

inline PtAnswer passThrough(zorbel::Host& host, zorbel::DeviceHandle device, const Cdb& packet,
                            Direction direction, std::uint32_t length, std::uint8_t* data,
                            std::uint32_t timeoutSeconds = 108000) {
    namespace pt = layout::pt;
    PtAnswer answer;
    auto& b = answer.block;
    layout::putLe16(b, pt::Length, pt::StructSize);
    b[pt::CdbLength] = 12;
    b[pt::SenseInfoLength] = 24;
    b[pt::DataIn] = static_cast<std::uint8_t>(direction);
    layout::putLe32(b, pt::DataTransferLength, length);
    layout::putLe32(b, pt::TimeOutValue, timeoutSeconds);
    layout::putLe32(b, pt::DataBuffer, data != nullptr ? 0x00400000u : 0u);
    layout::putLe32(b, pt::SenseInfoOffset, pt::SenseArea);
    std::copy(packet.begin(), packet.end(), b.begin() + pt::Cdb);
    answer.delivered = host.passThroughDirect(device, b, data);
    answer.sense = {static_cast<std::uint8_t>(b[pt::SenseArea + 2] & 0x0F), b[pt::SenseArea + 12],
                    b[pt::SenseArea + 13]};
    answer.scsiStatus = b[pt::ScsiStatus];
    answer.transferred = layout::getLe32(b, pt::DataTransferLength);
    return answer;
}

// An SRB_ExecSCSICmd as the drive object fills it.
inline std::array<std::uint8_t, layout::aspi::exec::Size> execRequest(
    std::uint8_t adapter, std::uint8_t target, std::uint8_t lun, const Cdb& packet,
    Direction direction, std::uint32_t length, bool hasData, zorbel::EventHandle event) {
    namespace a = layout::aspi;
    std::array<std::uint8_t, a::exec::Size> r{};
    r[a::Cmd] = a::SC_EXEC_SCSI_CMD;
    r[a::HaId] = adapter;
    r[a::Flags] = direction == Direction::In    ? a::SRB_DIR_IN
                  : direction == Direction::Out ? a::SRB_DIR_OUT
                                                : 0;
    if (event != 0) {
        r[a::Flags] |= a::SRB_EVENT_NOTIFY;
        layout::putLe32(r, a::exec::PostProc, event);
    }
    r[a::exec::Target] = target;
    r[a::exec::Lun] = lun;
    layout::putLe32(r, a::exec::BufLen, length);
    layout::putLe32(r, a::exec::BufPointer, hasData ? 0x00400000u : 0u);
    r[a::exec::SenseLen] = 14;
    r[a::exec::CdbLen] = 12;
    std::copy(packet.begin(), packet.end(), r.begin() + a::exec::CdbByte);
    return r;
}

inline Sense aspiSense(const std::array<std::uint8_t, layout::aspi::exec::Size>& r) {
    namespace ex = layout::aspi::exec;
    return {static_cast<std::uint8_t>(r[ex::SenseArea + 2] & 0x0F), r[ex::SenseArea + 12],
            r[ex::SenseArea + 13]};
}

// A computer with one drive "dvd" at letter E: and, on ASPI, at 0-1-0.
inline ComputerSpec oneDrive(bool withAspi = false) {
    ComputerSpec spec;
    DriveSpec& drive = spec.addDrive("dvd");
    drive.powerOnAttention = false;
    spec.addLetter('C', "", zorbel::DriveType::Fixed);
    spec.addLetter('E', "dvd");
    if (withAspi) {
        spec.aspi.libraryPresent = true;
        AdapterSpec& adapter = spec.addAdapter();
        adapter.devices.push_back({0, 0, 0, ""});  // a hard disk
        adapter.devices.push_back({1, 0, 5, "dvd"});
    }
    return spec;
}

}  // namespace zorbel::sim::testkit
