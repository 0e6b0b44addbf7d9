// A host that sits between the program and a simulated computer and bends the
// drives' answers: INQUIRY, GET EVENT STATUS NOTIFICATION, the flash
// identification 0xDF and READ BUFFER come back with bytes and sense taken
// from a stream (the fuzzer's input), on both routes (pass-through and ASPI).
// Everything else passes through to the simulated computer unchanged.
//
// It also keeps the one promise the drives cannot judge themselves, since a
// bent read-back leaves the drive's staged image intact: a commit may only
// follow when every block of the image was last read back as the drive really
// held it. A commit after any other read-back aborts the process (a crash the
// fuzzer records).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/Host.h"
#include "device/RequestLayout.h"
#include "sim/ForwardingHost.h"
#include "sim/SimHost.h"

namespace zorbel::proof {

inline constexpr std::uint8_t OpInquiry = 0x12;
inline constexpr std::uint8_t OpEventStatus = 0x4A;
inline constexpr std::uint8_t OpFlashId = 0xDF;
inline constexpr std::uint8_t OpReadBuffer = 0x3C;
inline constexpr std::uint8_t OpWriteBuffer = 0x3B;
inline constexpr std::uint32_t ImageBlock = 16384;

class AnswerHost final : public sim::ForwardingHost {
  public:
    AnswerHost(sim::SimHost& inner, FuzzedDataProvider& answers)
        : ForwardingHost(inner), inner_(inner), answers_(answers) {
        for (const auto& letter : inner.spec().letters) {
            driveOfName_[inner.deviceNameForRoot(letter.root)] = letter.drive;
        }
        for (std::size_t a = 0; a < inner.spec().aspi.adapters.size(); ++a) {
            for (const auto& device : inner.spec().aspi.adapters[a].devices) {
                driveOfName_[aspiName(static_cast<std::uint8_t>(a), device.target, device.lun)] =
                    device.drive;
            }
        }
    }

    // Commits that reached a drive, and answers bent so far.
    std::uint64_t commits() const { return commits_; }
    std::uint64_t bentAnswers() const { return bent_; }

    // ---- answers bent on their way back ----
    bool passThroughDirect(DeviceHandle device, std::span<std::uint8_t, PassThroughBlockSize> block,
                           void* dataBuffer) override {
        namespace pt = passthrough;
        const std::lock_guard lock(mutex_);
        const auto name = nameOfHandle_.find(device);
        const std::string key = name == nameOfHandle_.end() ? std::string() : name->second;
        const std::span<const std::uint8_t> cdb(block.data() + pt::Cdb, 12);
        const std::uint32_t length = getLe32(block, pt::DataTransferLength);
        before(key, cdb);
        bool delivered = inner_.passThroughDirect(device, block, dataBuffer);
        const bool in = block[pt::DataIn] == 1;
        auto* data = in ? static_cast<std::uint8_t*>(dataBuffer) : nullptr;
        const std::vector<std::uint8_t> genuine = readBackOf(cdb, data, length);
        if (delivered && bends(cdb[0])) {
            delivered = bend(data, length, block.subspan(pt::SenseArea, pt::SenseBytes));
        }
        after(key, cdb,
              delivered && block[pt::ScsiStatus] == scsistatus::Good &&
                  (block[pt::SenseArea + sense::Key] & sense::KeyMask) == 0,
              genuine, data, length);
        return delivered;
    }

    std::uint32_t aspiSendCommand(AspiProc sendCommand, std::span<std::uint8_t> request,
                                  void* dataBuffer) override {
        namespace ex = srb::exec;
        const std::lock_guard lock(mutex_);
        if (request.size() != ex::Size || request[srb::Cmd] != srb::ScExecScsiCmd) {
            return inner_.aspiSendCommand(sendCommand, request, dataBuffer);
        }
        const std::string key = aspiName(request[srb::HaId], request[ex::Target], request[ex::Lun]);
        const std::span<const std::uint8_t> cdb(request.data() + ex::CdbByte, 12);
        const std::uint32_t length = getLe32(request, ex::BufLen);
        before(key, cdb);
        const std::uint32_t status = inner_.aspiSendCommand(sendCommand, request, dataBuffer);
        const bool in = (request[srb::Flags] & srb::DirIn) != 0;
        auto* data = in ? static_cast<std::uint8_t*>(dataBuffer) : nullptr;
        const std::vector<std::uint8_t> genuine = readBackOf(cdb, data, length);
        if (request[srb::Status] == srb::SsComp && bends(cdb[0])) {
            if (!bend(data, length, request.subspan(ex::SenseArea, ex::SenseLength))) {
                request[srb::Status] = 0x04;  // SS_ERR
            }
        }
        after(key, cdb,
              request[srb::Status] == srb::SsComp &&
                  (request[ex::SenseArea + sense::Key] & sense::KeyMask) == 0,
              genuine, data, length);
        return status;
    }

    DeviceHandle openDevice(std::string_view deviceName) override {
        const std::lock_guard lock(mutex_);
        const DeviceHandle handle = inner_.openDevice(deviceName);
        if (handle != InvalidDevice) {
            nameOfHandle_[handle] = std::string(deviceName);
        }
        return handle;
    }

    // ---- everything else passes through to the simulated computer ----
    void closeDevice(DeviceHandle device) override {
        const std::lock_guard lock(mutex_);
        nameOfHandle_.erase(device);
        inner_.closeDevice(device);
    }

  private:
    // Blocks of one drive's image whose last read-back returned what the
    // drive held, and whose write has not been repeated since.
    struct Verification {
        std::set<std::uint32_t> verified;
    };

    static std::string aspiName(std::uint8_t adapter, std::uint8_t target, std::uint8_t lun) {
        return "aspi:" + std::to_string(adapter) + "-" + std::to_string(target) + "-" +
               std::to_string(lun);
    }
    static std::uint32_t get24(std::span<const std::uint8_t> cdb, std::size_t at) {
        return (static_cast<std::uint32_t>(cdb[at]) << 16) |
               (static_cast<std::uint32_t>(cdb[at + 1]) << 8) | cdb[at + 2];
    }
    static bool bends(std::uint8_t opcode) {
        return opcode == OpInquiry || opcode == OpEventStatus || opcode == OpFlashId ||
               opcode == OpReadBuffer;
    }
    static bool isCommit(std::span<const std::uint8_t> cdb) {
        return cdb[0] == OpWriteBuffer && (cdb[9] == 0x80 || cdb[9] == 0xA0);
    }
    // The drive's own answer to a READ BUFFER, before it is bent (the only
    // answer `after` compares).
    static std::vector<std::uint8_t> readBackOf(std::span<const std::uint8_t> cdb,
                                                const std::uint8_t* data, std::uint32_t length) {
        if (data == nullptr || cdb[0] != OpReadBuffer) {
            return {};
        }
        return std::vector<std::uint8_t>(data, data + length);
    }

    // One answer from the stream: kept, its data (partly) replaced or one
    // byte flipped, its sense set, or the whole call failed. False when the
    // call is to fail.
    bool bend(std::uint8_t* data, std::uint32_t length, std::span<std::uint8_t> senseArea) {
        if (answers_.remaining_bytes() == 0) {
            return true;
        }
        const std::uint8_t action = answers_.ConsumeIntegral<std::uint8_t>();
        if ((action & 0x03) == 0) {
            return true;
        }
        ++bent_;
        if ((action & 0x01) != 0 && data != nullptr && length > 0) {
            const std::uint32_t at = answers_.ConsumeIntegralInRange<std::uint32_t>(0, length - 1);
            if ((action & 0x08) != 0) {
                data[at] ^= answers_.ConsumeIntegralInRange<std::uint8_t>(1, 255);
            } else {
                const auto bytes = answers_.ConsumeBytes<std::uint8_t>(
                    answers_.ConsumeIntegralInRange<std::uint32_t>(0, length - at));
                std::copy(bytes.begin(), bytes.end(), data + at);
            }
        }
        if ((action & 0x02) != 0) {
            senseArea[sense::Key] = answers_.ConsumeIntegral<std::uint8_t>();
            senseArea[sense::Asc] = answers_.ConsumeIntegral<std::uint8_t>();
            senseArea[sense::Ascq] = answers_.ConsumeIntegral<std::uint8_t>();
        }
        return (action & 0x04) == 0 || (action & 0x10) == 0;
    }

    void before(const std::string& key, std::span<const std::uint8_t> cdb) {
        if (!isCommit(cdb)) {
            if (cdb[0] == OpWriteBuffer && cdb[9] == 0x00) {
                // The block is written again: it must be read back again.
                verification_[key].verified.erase(get24(cdb, 3));
            }
            return;
        }
        ++commits_;
        const auto drive = driveOfName_.find(key);
        sim::SimDrive* simDrive =
            drive == driveOfName_.end() ? nullptr : inner_.findDrive(drive->second);
        const std::uint32_t imageSize = simDrive == nullptr ? 0 : simDrive->spec().imageSize;
        const auto& verified = verification_[key].verified;
        for (std::uint32_t offset = 0; offset < imageSize; offset += ImageBlock) {
            if (verified.count(offset) == 0) {
                std::fprintf(stderr,
                             "commit on %s after block %u (offset 0x%06X) was not read back as "
                             "the drive held it\n",
                             key.c_str(), offset / ImageBlock, offset);
                std::abort();
            }
        }
    }

    void after(const std::string& key, std::span<const std::uint8_t> cdb, bool good,
               const std::vector<std::uint8_t>& genuine, const std::uint8_t* data,
               std::uint32_t length) {
        if (cdb[0] != OpReadBuffer || data == nullptr) {
            return;
        }
        const std::uint32_t offset = get24(cdb, 3);
        const bool unchanged = std::equal(genuine.begin(), genuine.end(), data, data + length);
        if (good && unchanged && length == ImageBlock) {
            verification_[key].verified.insert(offset);
        } else {
            verification_[key].verified.erase(offset);
        }
    }

    // Workers of several drives call at once; one at a time bends.
    std::mutex mutex_;
    sim::SimHost& inner_;
    FuzzedDataProvider& answers_;
    std::map<DeviceHandle, std::string> nameOfHandle_;
    std::map<std::string, std::string> driveOfName_;  // device name or ASPI address -> drive id
    std::map<std::string, Verification> verification_;
    std::uint64_t commits_ = 0;
    std::uint64_t bent_ = 0;
};

}  // namespace zorbel::proof
