// The drive command set: seven fixed command packets over ExecuteCommand, the
// sense queries, and the waits composed from them.

#include <algorithm>
#include <cstdint>

#include "device/AnswerLayout.h"
#include "device/AtapiDevice.h"
#include "device/MessagePump.h"

namespace zorbel {

namespace {

// Operation codes.
constexpr std::uint8_t OpTestUnitReady = 0x00;
constexpr std::uint8_t OpInquiry = 0x12;
constexpr std::uint8_t OpStartStopUnit = 0x1B;
constexpr std::uint8_t OpWriteBuffer = 0x3B;
constexpr std::uint8_t OpReadBuffer = 0x3C;
constexpr std::uint8_t OpGetEventStatus = 0x4A;
constexpr std::uint8_t OpReadFlashId = 0xDF;  // vendor: flash chip identification

constexpr std::uint8_t FlashIdSubcommand = 0x11;
constexpr std::uint32_t FlashIdLength = 128;
constexpr std::uint32_t FlashIdBytes = 4;       // maker, device, byte 2, platform
constexpr std::uint8_t ReadBufferMode = 0x01;   // vendor-specific
constexpr std::uint8_t WriteBufferMode = 0x05;  // download microcode and save
constexpr std::uint8_t DriveBufferId = 0x01;
// WRITE BUFFER vendor codes that commit the staged image: no data phase.
constexpr std::uint8_t CommitCode = 0x80;
constexpr std::uint8_t CommitBootCode = 0xA0;

// Sense conditions the waits look at.
constexpr std::uint8_t KeyNotReady = 0x02;
constexpr std::uint8_t KeyUnitAttention = 0x06;
constexpr std::uint8_t AscBecomingReady = 0x04;
constexpr std::uint8_t AscMediumNotPresent = 0x3A;

constexpr std::uint32_t WaitPollMs = 300;
constexpr std::uint32_t PauseStepMs = 10;
// A drive that reports unit attention on every TEST UNIT READY would otherwise
// hold start-up for ever; real drives clear it after one or two.
constexpr int MaxUnitAttentionRepeats = 64;

// Writes the low 24 bits of a value big-endian at packet[at..at+2].
void put24(Packet& packet, std::size_t at, std::uint32_t value) {
    packet[at] = static_cast<std::uint8_t>(value >> 16);
    packet[at + 1] = static_cast<std::uint8_t>(value >> 8);
    packet[at + 2] = static_cast<std::uint8_t>(value);
}

// Seconds a wait has run: the general timer when the host has a counter,
// otherwise the sleeps it has taken, so that every wait still ends.
double waitedSeconds(HiTimer& timer, std::uint64_t sleptMs) {
    if (timer.IsUnavailable()) {
        return static_cast<double>(sleptMs) / 1000.0;
    }
    return timer.ElapsedSinceStart();
}

}  // namespace

bool AtapiDevice::TestUnitReady() {
    Packet packet{};
    packet[0] = OpTestUnitReady;
    return ExecuteCommand(packet, DirNone, 0);
}

bool AtapiDevice::Inquiry(std::uint8_t cmdDt, std::uint8_t evpd, std::uint8_t page,
                          std::uint8_t allocLength, std::uint8_t control) {
    Packet packet{};
    packet[0] = OpInquiry;
    packet[1] = static_cast<std::uint8_t>(((cmdDt & 1) << 1) | (evpd & 1));
    packet[2] = page;
    packet[4] = allocLength;
    packet[5] = control;
    return ExecuteCommand(packet, DirIn, allocLength);
}

bool AtapiDevice::StartStopUnit(std::uint8_t immed, std::uint8_t powerCondition, std::uint8_t loEj,
                                std::uint8_t start) {
    Packet packet{};
    packet[0] = OpStartStopUnit;
    packet[1] = immed & 1;
    packet[4] =
        static_cast<std::uint8_t>(((powerCondition & 0x0F) << 4) | ((loEj & 1) << 1) | (start & 1));
    return ExecuteCommand(packet, DirNone, 0);
}

bool AtapiDevice::GetEventStatus(std::uint8_t polled, std::uint8_t classRequest,
                                 std::uint16_t allocLength, std::uint8_t control) {
    Packet packet{};
    packet[0] = OpGetEventStatus;
    packet[1] = polled & 1;
    packet[4] = classRequest;
    packet[7] = static_cast<std::uint8_t>(allocLength >> 8);
    packet[8] = static_cast<std::uint8_t>(allocLength);
    packet[9] = control;
    return ExecuteCommand(packet, DirIn, allocLength);
}

bool AtapiDevice::ReadFlashId() {
    Packet packet{};
    packet[0] = OpReadFlashId;
    packet[1] = FlashIdSubcommand;
    if (!ExecuteCommand(packet, DirIn, FlashIdLength)) {
        return false;
    }
    // The chip is named by the first four bytes: a shorter answer names none,
    // and an all-zero answer identifies no chip. Bytes past the answer are
    // left over from an earlier command and never count.
    const std::uint8_t* answer = InBuffer();
    const std::uint32_t answered = LastTransferLength();
    return answer != nullptr && answered >= FlashIdBytes &&
           std::any_of(answer, answer + answered, [](std::uint8_t b) { return b != 0; });
}

bool AtapiDevice::ReadDriveBuffer(std::uint32_t offset, std::uint32_t length) {
    Packet packet{};
    packet[0] = OpReadBuffer;
    packet[1] = ReadBufferMode;
    packet[2] = DriveBufferId;
    put24(packet, 3, offset);
    put24(packet, 6, length);
    return ExecuteCommand(packet, DirIn, length);
}

bool AtapiDevice::WriteDriveBuffer(std::uint32_t offset, std::uint32_t length, std::uint8_t code) {
    Packet packet{};
    packet[0] = OpWriteBuffer;
    packet[1] = WriteBufferMode;
    packet[2] = DriveBufferId;
    put24(packet, 3, offset);
    put24(packet, 6, length);
    packet[9] = code;
    if (code == CommitCode || code == CommitBootCode) {
        // The drive may have taken a commit whose reply was lost; a second one
        // would reach it while it writes its flash. The length stays encoded.
        return ExecuteCommandOnce(packet, DirNone, 0);
    }
    return ExecuteCommand(packet, DirOut, length);
}

bool AtapiDevice::SenseIs(std::uint8_t key, std::uint8_t asc) const {
    return lastSenseKey_ == key && lastAsc_ == asc;
}

bool AtapiDevice::SenseKeyIs(std::uint8_t key) const {
    return lastSenseKey_ == key;
}

bool AtapiDevice::WaitReady(double timeoutSeconds) {
    generalTimer_.StartTimer(true);
    std::uint64_t sleptMs = 0;
    bool timedOut = false;
    for (;;) {
        TestUnitReady();
        const bool busy = SenseIs(KeyNotReady, AscBecomingReady) || SenseKeyIs(KeyUnitAttention);
        if (!busy) {
            break;  // ready, no medium, any other sense, or a transport failure
        }
        if (waitedSeconds(generalTimer_, sleptMs) >= timeoutSeconds) {
            timedOut = true;
            break;
        }
        pumpedSleepMs(WaitPollMs);  // the window keeps answering meanwhile
        sleptMs += WaitPollMs;
    }
    // Leaves the sense fields describing the drive at the end of the wait.
    TestUnitReady();
    generalTimer_.StopTimer();
    return !timedOut;
}

bool AtapiDevice::IsDiscAbsent() {
    WaitReady(30);
    return SenseIs(KeyNotReady, AscMediumNotPresent);
}

bool AtapiDevice::IsTrayOpen() {
    if (!GetEventStatus(1, mediaevent::Class, mediaevent::Length, 0)) {
        return false;  // a drive that does not answer reads as closed
    }
    // An answer too short to carry the media status says nothing: closed.
    const std::uint8_t* events = InBuffer();
    return events != nullptr && LastTransferLength() > mediaevent::Status &&
           (events[mediaevent::Status] & mediaevent::TrayOpen) != 0;
}

void AtapiDevice::LoadTray() {
    StartStopUnit(0, 0, 1, 1);
}

void AtapiDevice::EjectTray() {
    StartStopUnit(0, 0, 1, 0);
}

void AtapiDevice::StopDisc() {
    StartStopUnit(0, 0, 0, 0);
}

void AtapiDevice::ClearUnitAttention() {
    for (int i = 0; i < MaxUnitAttentionRepeats; ++i) {
        if (TestUnitReady() || !SenseKeyIs(KeyUnitAttention)) {
            return;
        }
    }
}

void AtapiDevice::Pause(double seconds) {
    generalTimer_.StartTimer(true);
    std::uint64_t sleptMs = 0;
    while (waitedSeconds(generalTimer_, sleptMs) < seconds) {
        // On the window's thread the window keeps handling its messages; a
        // worker thread just waits.
        pumpIfWindowThread();
        currentHost().sleepMs(PauseStepMs);
        sleptMs += PauseStepMs;
    }
    generalTimer_.StopTimer();
}

}  // namespace zorbel
