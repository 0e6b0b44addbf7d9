#include "sim/SimDrive.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sim/VirtualClock.h"

namespace zorbel::sim {

namespace {

// Operation codes the drive understands.
constexpr std::uint8_t OpTestUnitReady = 0x00;
constexpr std::uint8_t OpInquiry = 0x12;
constexpr std::uint8_t OpStartStopUnit = 0x1B;
constexpr std::uint8_t OpWriteBuffer = 0x3B;
constexpr std::uint8_t OpReadBuffer = 0x3C;
constexpr std::uint8_t OpGetEventStatus = 0x4A;
constexpr std::uint8_t OpFlashId = 0xDF;

constexpr std::uint8_t WriteBufferMode = 0x05;  // download microcode and save
constexpr std::uint8_t ReadBufferMode = 0x01;   // vendor specific
constexpr std::uint8_t BufferId = 0x01;
constexpr std::uint8_t CodeImage = 0x00;
constexpr std::uint8_t CodeProfile = 0x7F;
constexpr std::uint8_t CodeCommit = 0x80;
constexpr std::uint8_t CodeCommitBoot = 0xA0;

constexpr std::uint32_t LegacyProfileOffset = 0x080000;
constexpr std::uint32_t ImageBlock = 16384;
constexpr std::uint32_t StagingLimit = 16u << 20;   // the 24-bit offset field's reach
constexpr std::uint32_t StagingGrain = ImageBlock;  // a small image stages only its own blocks
constexpr std::uint32_t Sector = 512;

constexpr std::size_t InquirySize = 96;
constexpr std::size_t FlashIdSize = 128;

// Media event codes of GET EVENT STATUS NOTIFICATION.
constexpr std::uint8_t MediaEventNewMedia = 0x02;
constexpr std::uint8_t MediaEventRemoval = 0x03;

// A time-out the real-time mode really waits at most.
constexpr std::chrono::seconds RealTimeoutCap{2};

// The chip rows the drive's boot loader knows: identification, profile
// length and the frame form it takes.
enum class Frame { Legacy, CurrentShort, Current };
struct ChipRow {
    ChipId chip;
    std::uint16_t length;
    Frame frame;
};
constexpr ChipRow ChipRows[] = {
    {{0xDA, 0xC8, 0x00, 0x00}, 314, Frame::Legacy},
    {{0xBF, 0xB4, 0x00, 0x00}, 452, Frame::Legacy},
    {{0xBF, 0xD6, 0x00, 0x01}, 1280, Frame::CurrentShort},
    {{0xBF, 0xB6, 0x00, 0x01}, 1280, Frame::CurrentShort},
    {{0x37, 0x8C, 0x00, 0x01}, 1280, Frame::CurrentShort},
    {{0xBF, 0xD7, 0x00, 0x03}, 998, Frame::Current},
    {{0x37, 0x0D, 0x00, 0x02}, 796, Frame::Current},
    {{0xBF, 0xB6, 0x00, 0x02}, 694, Frame::Current},
    {{0xBF, 0xD6, 0x00, 0x02}, 694, Frame::Current},
    {{0xDA, 0xB5, 0x00, 0x02}, 698, Frame::Current},
    {{0xDA, 0xB5, 0x00, 0x01}, 1280, Frame::Current},
    {{0xBF, 0xD7, 0x00, 0x04}, 854, Frame::Current},
    {{0xC2, 0xB6, 0x00, 0x03}, 830, Frame::Current},
    {{0xDA, 0x46, 0x00, 0x03}, 742, Frame::Current},
    {{0x37, 0xB5, 0x00, 0x03}, 946, Frame::Current},
    {{0xC2, 0xB6, 0x00, 0x07}, 798, Frame::Current},
    {{0xDA, 0x46, 0x00, 0x07}, 710, Frame::Current},
    {{0x37, 0xB5, 0x00, 0x04}, 942, Frame::Current},
    {{0x37, 0xB5, 0x00, 0x07}, 802, Frame::Current},
    {{0xBF, 0xD8, 0x00, 0x05}, 1234, Frame::Current},
    {{0x01, 0x37, 0x00, 0x05}, 1234, Frame::Current},
    {{0xC2, 0x37, 0x00, 0x05}, 1234, Frame::Current},
    {{0xC2, 0x38, 0x00, 0x05}, 1234, Frame::Current},
    {{0xBF, 0xD8, 0x00, 0x06}, 1078, Frame::Current},
    {{0x01, 0x37, 0x00, 0x06}, 1122, Frame::Current},
};
static_assert(std::size(ChipRows) == 25);

std::uint32_t be24(const std::array<std::uint8_t, 16>& c, std::size_t at) {
    return (static_cast<std::uint32_t>(c[at]) << 16) |
           (static_cast<std::uint32_t>(c[at + 1]) << 8) | c[at + 2];
}

std::string hex6(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", value);
    return text;
}

std::string hexBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char part[4];
        std::snprintf(part, sizeof part, "%s%02X", text.empty() ? "" : " ", b);
        text += part;
    }
    return text;
}

CommandResult ok(std::uint32_t moved = 0) {
    return {Outcome::Ok, {}, moved, {}};
}
CommandResult fail(const Sense& s) {
    return {Outcome::Sense, s, 0, {}};
}
CommandResult transport() {
    return {Outcome::Transport, {}, 0, {}};
}

// Whether the host's data phase suits a command that moves `want` bytes in
// direction `dir` (a phase mismatch ends the command in transport failure).
bool phaseFits(Direction want, std::uint32_t wanted, Direction dir, std::uint32_t length,
               const std::uint8_t* data) {
    if (wanted == 0 || want == Direction::None) {
        return dir == Direction::None || length == 0;
    }
    return dir == want && length > 0 && data != nullptr;
}

}  // namespace

Identity Identity::fromText(std::string_view vendor, std::string_view product,
                            std::string_view revision, std::string_view vendorSpecific) {
    Identity id;
    id.vendor = padded<8>(vendor);
    id.product = padded<16>(product);
    id.revision = padded<4>(revision);
    id.vendorSpecific = padded<16>(vendorSpecific);
    return id;
}

ProfileForm profileFormForChip(const ChipId& chip, std::optional<std::uint16_t> lengthOverride) {
    ProfileForm form;
    for (const ChipRow& row : ChipRows) {
        if (row.chip != chip) {
            continue;
        }
        form.known = true;
        form.legacy = row.frame == Frame::Legacy;
        form.length = lengthOverride.value_or(row.length);
        const std::uint32_t even = (form.length + 1u) & ~1u;
        switch (row.frame) {
            case Frame::Legacy:
                form.transferLength = even + 4;
                break;
            case Frame::CurrentShort:
                form.transferLength = even;
                break;
            case Frame::Current:
                form.transferLength = even + 6;
                break;
        }
        return form;
    }
    if (lengthOverride) {
        // A chip outside the table with a length given: the current form.
        form.known = true;
        form.length = *lengthOverride;
        form.transferLength = ((form.length + 1u) & ~1u) + 6;
    }
    return form;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

SimDrive::SimDrive(DriveSpec spec, VirtualClock& clock, bool recordCommands)
    : spec_(std::move(spec)), clock_(clock), recordCommands_(recordCommands) {
    for (const FaultRule& rule : spec_.faults) {
        faults_.push_back({rule, 0, 0, std::mt19937_64(rule.seed)});
    }
    revision_ = spec_.identity.revision;
    medium_ = spec_.medium;
    trayOpen_ = spec_.trayOpen;
    trayLocked_ = spec_.trayLocked;
    becomingReady_ = spec_.becomingReadyPolls;
    if (spec_.powerOnAttention) {
        attention_ = sense::PowerOnReset;
    }
}

CommandResult SimDrive::execute(std::span<const std::uint8_t> cdb, Direction direction,
                                std::uint32_t length, std::uint8_t* data,
                                std::optional<std::uint32_t> timeoutSeconds, bool viaAspi) {
    std::array<std::uint8_t, 16> packet{};
    std::copy_n(cdb.begin(), std::min<std::size_t>(cdb.size(), packet.size()), packet.begin());

    CommandResult result;
    std::chrono::nanoseconds extra{0};
    {
        std::lock_guard lock(mutex_);
        ++commandCount_;
        const FaultState* fault = nullptr;
        if (!vanished_) {
            // Every rule counts its matches, so rules do not shift each other.
            for (FaultState& state : faults_) {
                const FaultRule& rule = state.rule;
                if (rule.opcode && *rule.opcode != packet[0]) {
                    continue;
                }
                if (rule.bufferCode &&
                    (packet[0] != OpWriteBuffer || *rule.bufferCode != packet[9])) {
                    continue;
                }
                ++state.matched;
                const std::uint64_t limit = rule.times.value_or(rule.nth > 0 ? 1 : 0);
                bool strikes = state.matched >= rule.nth && (limit == 0 || state.fired < limit);
                if (strikes && rule.probability < 1.0) {
                    const double draw = static_cast<double>(state.random() >> 11) * 0x1.0p-53;
                    strikes = draw < rule.probability;
                }
                if (strikes && fault == nullptr) {
                    ++state.fired;
                    fault = &state;
                }
            }
        }
        Injected injected;
        if (vanished_) {
            result = transport();
        } else if (fault == nullptr) {
            result = run(packet, direction, length, data, injected, extra);
        } else {
            switch (fault->rule.kind) {
                case FaultKind::Transport:
                    result = transport();
                    break;
                case FaultKind::Sense:
                    result = fail(fault->rule.sense);
                    break;
                case FaultKind::Timeout:
                    result.outcome = Outcome::Timeout;
                    break;
                case FaultKind::Vanish:
                    vanished_ = true;
                    result = transport();
                    break;
                case FaultKind::WriteCorruption:
                    injected.writeCorruption = true;
                    result = run(packet, direction, length, data, injected, extra);
                    break;
                case FaultKind::ReadCorruption:
                    injected.readCorruption = true;
                    result = run(packet, direction, length, data, injected, extra);
                    break;
                case FaultKind::LostReply:
                    // Done as asked; the answer never reaches the host.
                    result = run(packet, direction, length, data, injected, extra);
                    result.outcome = Outcome::Transport;
                    result.sense = {};
                    break;
            }
        }
        if (result.outcome == Outcome::Timeout) {
            result.moved = 0;
            // The drive never answers; the host gives up after its own time-out.
            result.duration = timeoutSeconds
                                  ? std::chrono::seconds(*timeoutSeconds) + std::chrono::seconds(1)
                                  : std::chrono::nanoseconds(0);
        } else {
            result.duration =
                spec_.latency.perCommand + spec_.latency.perByte * result.moved + extra;
        }
        if (recordCommands_) {
            CommandRecord record;
            std::copy_n(packet.begin(), 12, record.packet.begin());
            record.direction = direction;
            record.length = length;
            record.moved = result.moved;
            record.outcome = result.outcome;
            record.sense = result.sense;
            record.duration = result.duration;
            record.viaAspi = viaAspi;
            commands_.push_back(record);
        }
    }
    if (clock_.mode() == ClockMode::RealTime && result.outcome == Outcome::Timeout) {
        clock_.sleep(std::min<std::chrono::nanoseconds>(result.duration, RealTimeoutCap));
    } else {
        clock_.sleep(result.duration);
    }
    return result;
}

CommandResult SimDrive::run(std::span<const std::uint8_t> cdbSpan, Direction direction,
                            std::uint32_t length, std::uint8_t* data, const Injected& injected,
                            std::chrono::nanoseconds& extra) {
    std::array<std::uint8_t, 16> cdb{};
    std::copy_n(cdbSpan.begin(), std::min<std::size_t>(cdbSpan.size(), 16), cdb.begin());
    const std::uint8_t opcode = cdb[0];

    if (bricked_) {
        // Dead firmware: the boot block answers INQUIRY with nothing useful
        // and fails everything else.
        if (opcode == OpInquiry) {
            const std::uint32_t wanted = (static_cast<std::uint32_t>(cdb[3]) << 8) | cdb[4];
            if (!phaseFits(Direction::In, wanted, direction, length, data)) {
                return transport();
            }
            const std::uint32_t moved = std::min({wanted, length, std::uint32_t{InquirySize}});
            if (moved > 0) {
                std::memset(data, 0, moved);
            }
            return ok(moved);
        }
        return fail(sense::InternalFailure);
    }

    const bool known = opcode == OpTestUnitReady || opcode == OpInquiry ||
                       opcode == OpStartStopUnit || opcode == OpWriteBuffer ||
                       opcode == OpReadBuffer ||
                       (opcode == OpGetEventStatus && spec_.eventStatusSupported) ||
                       (opcode == OpFlashId && spec_.flashIdSupported);
    if (!known) {
        return fail(sense::InvalidOpcode);
    }
    // INQUIRY and GET EVENT STATUS NOTIFICATION answer whatever the drive's state.
    if (opcode != OpInquiry && opcode != OpGetEventStatus) {
        if (attention_) {
            const Sense pending = *attention_;
            attention_.reset();
            return fail(pending);
        }
        if (becomingReady_ != 0) {
            if (becomingReady_ > 0) {
                --becomingReady_;
            }
            return fail(sense::BecomingReady);
        }
    }

    switch (opcode) {
        case OpTestUnitReady:
            if (!phaseFits(Direction::None, 0, direction, length, data)) {
                return transport();
            }
            if (trayOpen_) {
                return fail(sense::TrayOpen);
            }
            if (!medium_) {
                return fail(sense::NoMedium);
            }
            return ok();
        case OpInquiry:
            return inquiry(cdb, direction, length, data);
        case OpStartStopUnit:
            if (!phaseFits(Direction::None, 0, direction, length, data)) {
                return transport();
            }
            return startStop(cdb);
        case OpGetEventStatus:
            return eventStatus(cdb, direction, length, data);
        case OpFlashId:
            return flashId(cdb, direction, length, data);
        case OpReadBuffer:
            return readBuffer(cdb, direction, length, data, injected.readCorruption);
        case OpWriteBuffer:
            return writeBuffer(cdb, direction, length, data, injected.writeCorruption, extra);
        default:
            return fail(sense::InvalidOpcode);
    }
}

CommandResult SimDrive::inquiry(std::span<const std::uint8_t> cdbSpan, Direction direction,
                                std::uint32_t length, std::uint8_t* data) {
    const auto& cdb = cdbSpan;
    if ((cdb[1] & 0x03) != 0 || cdb[2] != 0) {
        return fail(sense::InvalidFieldInCdb);  // no vital product data pages
    }
    const std::uint32_t wanted = (static_cast<std::uint32_t>(cdb[3]) << 8) | cdb[4];
    if (!phaseFits(Direction::In, wanted, direction, length, data)) {
        return transport();
    }
    std::array<std::uint8_t, InquirySize> answer{};
    answer[0] = 0x05;  // CD/DVD device
    answer[1] = 0x80;  // removable medium
    answer[2] = 0x00;
    answer[3] = 0x32;  // ATAPI, response data format 2
    answer[4] = static_cast<std::uint8_t>(InquirySize - 5);
    std::copy(spec_.identity.vendor.begin(), spec_.identity.vendor.end(), answer.begin() + 8);
    std::copy(spec_.identity.product.begin(), spec_.identity.product.end(), answer.begin() + 16);
    std::copy(revision_.begin(), revision_.end(), answer.begin() + 32);
    std::copy(spec_.identity.vendorSpecific.begin(), spec_.identity.vendorSpecific.end(),
              answer.begin() + 36);
    const std::uint32_t moved = std::min({wanted, length, std::uint32_t{InquirySize},
                                          spec_.answerLengths.inquiry.value_or(InquirySize)});
    if (moved > 0) {
        std::memcpy(data, answer.data(), moved);
    }
    return ok(moved);
}

CommandResult SimDrive::startStop(std::span<const std::uint8_t> cdb) {
    const bool loadEject = (cdb[4] & 0x02) != 0;
    const bool start = (cdb[4] & 0x01) != 0;
    if (loadEject && !start) {
        if (trayLocked_) {
            return fail(sense::RemovalPrevented);
        }
        if (!trayOpen_) {
            trayOpen_ = true;
            if (medium_) {
                mediaEvent_ = MediaEventRemoval;
            }
        }
        return ok();
    }
    if (loadEject && start) {
        if (trayOpen_) {
            trayOpen_ = false;
            if (medium_) {
                attention_ = sense::MediumChanged;
                becomingReady_ = spec_.loadPolls;
                mediaEvent_ = MediaEventNewMedia;
            }
        }
        return ok();
    }
    if (start && (trayOpen_ || !medium_)) {
        return fail(trayOpen_ ? sense::TrayOpen : sense::NoMedium);
    }
    return ok();  // spin up or stop the disc
}

CommandResult SimDrive::eventStatus(std::span<const std::uint8_t> cdb, Direction direction,
                                    std::uint32_t length, std::uint8_t* data) {
    if ((cdb[1] & 0x01) == 0) {
        return fail(sense::InvalidFieldInCdb);  // only polled operation
    }
    const std::uint32_t wanted = (static_cast<std::uint32_t>(cdb[7]) << 8) | cdb[8];
    if (!phaseFits(Direction::In, wanted, direction, length, data)) {
        return transport();
    }
    std::array<std::uint8_t, 8> answer{};
    std::size_t size = 4;
    answer[3] = 0x10;  // supported class: media
    if ((cdb[4] & 0x10) != 0) {
        answer[1] = 6;
        answer[2] = 0x04;  // media class
        answer[4] = mediaEvent_;
        answer[5] = static_cast<std::uint8_t>((trayOpen_ ? 0x01 : 0) | (medium_ ? 0x02 : 0));
        size = 8;
        mediaEvent_ = 0;
    } else {
        answer[1] = 2;
        answer[2] = 0x80;  // no event available
    }
    const std::uint32_t moved =
        std::min({wanted, length, static_cast<std::uint32_t>(size),
                  spec_.answerLengths.eventStatus.value_or(static_cast<std::uint32_t>(size))});
    if (moved > 0) {
        std::memcpy(data, answer.data(), moved);
    }
    return ok(moved);
}

CommandResult SimDrive::flashId(std::span<const std::uint8_t> cdb, Direction direction,
                                std::uint32_t length, std::uint8_t* data) {
    if (cdb[1] != 0x11) {
        return fail(sense::InvalidFieldInCdb);
    }
    if (!phaseFits(Direction::In, FlashIdSize, direction, length, data)) {
        return transport();
    }
    std::array<std::uint8_t, FlashIdSize> answer{};
    std::copy(spec_.chip.begin(), spec_.chip.end(), answer.begin());
    std::copy_n(spec_.flashIdTail.begin(), std::min(spec_.flashIdTail.size(), FlashIdSize - 4),
                answer.begin() + 4);
    const std::uint32_t moved = std::min(
        {length, std::uint32_t{FlashIdSize}, spec_.answerLengths.flashId.value_or(FlashIdSize)});
    std::memcpy(data, answer.data(), moved);
    return ok(moved);
}

CommandResult SimDrive::readBuffer(std::span<const std::uint8_t> cdbSpan, Direction direction,
                                   std::uint32_t length, std::uint8_t* data, bool corrupt) {
    std::array<std::uint8_t, 16> cdb{};
    std::copy_n(cdbSpan.begin(), 16, cdb.begin());
    if ((cdb[1] & 0x1F) != ReadBufferMode || cdb[2] != BufferId) {
        return fail(sense::InvalidFieldInCdb);
    }
    const std::uint32_t offset = be24(cdb, 3);
    const std::uint32_t wanted = be24(cdb, 6);
    if (offset + wanted > StagingLimit) {
        return fail(sense::InvalidFieldInCdb);
    }
    if (!phaseFits(Direction::In, wanted, direction, length, data)) {
        return transport();
    }
    const std::uint32_t moved =
        std::min({wanted, length, spec_.answerLengths.readBuffer.value_or(wanted)});
    copyStaged(offset, moved, data);
    if (corrupt && moved > 0) {
        data[moved / 2] ^= 0x5A;
    }
    return ok(moved);
}

CommandResult SimDrive::writeBuffer(std::span<const std::uint8_t> cdbSpan, Direction direction,
                                    std::uint32_t length, const std::uint8_t* data, bool corrupt,
                                    std::chrono::nanoseconds& extra) {
    std::array<std::uint8_t, 16> cdb{};
    std::copy_n(cdbSpan.begin(), 16, cdb.begin());
    if ((cdb[1] & 0x1F) != WriteBufferMode || cdb[2] != BufferId) {
        return fail(sense::InvalidFieldInCdb);
    }
    const std::uint32_t offset = be24(cdb, 3);
    const std::uint32_t wanted = be24(cdb, 6);
    const std::uint8_t code = cdb[9];
    if (code == CodeCommit || code == CodeCommitBoot) {
        // The length field is encoded but the commit has no data phase.
        if (!phaseFits(Direction::None, 0, direction, length, data)) {
            return transport();
        }
        extra = spec_.latency.commit;
        return commit(code);
    }
    if (code != CodeImage && code != CodeProfile) {
        return fail(sense::InvalidFieldInCdb);
    }
    if (!phaseFits(Direction::Out, wanted, direction, length, data) ||
        (wanted > 0 && length < wanted)) {
        return transport();
    }
    if (code == CodeProfile) {
        return profileFrame(false, offset, code, wanted, data);
    }
    if (offset == LegacyProfileOffset && wanted != ImageBlock) {
        return profileFrame(true, offset, code, wanted, data);
    }
    return stageImage(offset, wanted, data, corrupt);
}

CommandResult SimDrive::profileFrame(bool legacy, std::uint32_t offset, std::uint8_t code,
                                     std::uint32_t length, const std::uint8_t* data) {
    ProfileRecord record;
    record.legacy = legacy;
    record.offset = offset;
    record.code = code;
    if (length > 0) {
        record.frame.assign(data, data + length);
    }
    const ProfileForm form = profileFormForChip(spec_.chip, spec_.profileLength);
    const std::size_t header = legacy ? 4 : 6;
    std::string why;
    if (!form.known) {
        why = "the drive's chip " + hexBytes(spec_.chip) + " takes no profile";
    } else if (form.legacy != legacy) {
        why = std::string(legacy ? "a legacy" : "a current") + " frame for a chip that takes the " +
              (form.legacy ? "legacy" : "current") + " form";
    } else if (!legacy && offset != 0) {
        why = "current frame at offset " + hex6(offset) + " instead of 0";
    } else if (record.frame.size() < header ||
               !std::equal(spec_.chip.begin(), spec_.chip.end(), record.frame.begin())) {
        why = "frame header " +
              hexBytes(std::span(record.frame).first(std::min(record.frame.size(), header))) +
              " does not name the drive's chip " + hexBytes(spec_.chip);
    } else if (!legacy &&
               (record.frame[4] != (form.length >> 8) || record.frame[5] != (form.length & 0xFF))) {
        why = "frame header length " + hexBytes(std::span(record.frame).subspan(4, 2)) +
              " instead of " + std::to_string(form.length);
    } else if (length != form.transferLength) {
        why = "frame of " + std::to_string(length) + " bytes instead of " +
              std::to_string(form.transferLength);
    }
    record.fits = why.empty();
    record.why = why;
    profiles_.push_back(std::move(record));
    if (!why.empty()) {
        return fail(sense::InvalidFieldInParameters);
    }
    // A new profile starts a new transfer: nothing staged before it counts.
    profileAccepted_ = true;
    std::fill(written_.begin(), written_.end(), false);
    std::fill(altered_.begin(), altered_.end(), false);
    return ok(length);
}

CommandResult SimDrive::stageImage(std::uint32_t offset, std::uint32_t length,
                                   const std::uint8_t* data, bool corrupt) {
    const std::uint64_t end = std::uint64_t{offset} + length;
    if (end > StagingLimit) {
        return fail(sense::InvalidFieldInCdb);
    }
    if (length == 0) {
        return ok();
    }
    if (staging_.size() < end) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(
            (end + StagingGrain - 1) / StagingGrain * StagingGrain, StagingLimit));
        // Room for the expected image at once: staging it block by block never
        // moves it. Beyond it (a longer image than the drive expects) the room
        // doubles, so a long image is not copied once per block.
        if (staging_.capacity() < size) {
            const std::size_t expected = std::min(spec_.imageSize, StagingLimit);
            const std::size_t doubled =
                std::min<std::size_t>(2 * staging_.capacity(), StagingLimit);
            staging_.reserve(std::max({size, expected, doubled}));
        }
        staging_.resize(size, 0);
        written_.resize(size / Sector, false);
        altered_.resize(size / Sector, false);
    }
    std::memcpy(staging_.data() + offset, data, length);
    if (corrupt) {
        staging_[offset + length / 2] ^= 0x5A;
    }
    // Whole sectors count as written; an altered write taints every sector it touched.
    const std::uint32_t firstWhole = (offset + Sector - 1) / Sector;
    const std::uint32_t endWhole = static_cast<std::uint32_t>(end / Sector);
    if (firstWhole < endWhole) {
        std::fill(written_.begin() + firstWhole, written_.begin() + endWhole, true);
        std::fill(altered_.begin() + firstWhole, altered_.begin() + endWhole, false);
    }
    if (corrupt) {
        std::fill(altered_.begin() + offset / Sector,
                  altered_.begin() + static_cast<std::ptrdiff_t>((end + Sector - 1) / Sector),
                  true);
    }
    return ok(length);
}

std::string SimDrive::judgeCommit() const {
    if (spec_.requireProfile && !profileAccepted_) {
        return "no fitting flash profile was accepted before the commit";
    }
    const std::uint32_t sectors = (spec_.imageSize + Sector - 1) / Sector;
    for (std::uint32_t s = 0; s < sectors; ++s) {
        if (s >= written_.size() || !written_[s]) {
            const std::uint32_t at = s * Sector;
            const std::string where = "bytes from " + hex6(at) + " (block " +
                                      std::to_string(at / ImageBlock) + ") were not written";
            // Written from the start up to here and nothing after: the image
            // sent is shorter than the one this drive takes.
            const bool restUnwritten =
                s >= written_.size() ||
                std::none_of(written_.begin() + s, written_.end(), [](bool w) { return w; });
            if (at > 0 && restUnwritten) {
                return "the drive expects " + std::to_string(spec_.imageSize) +
                       " bytes (image_size of the scenario), the update sent " +
                       std::to_string(at) + " (the size of the package's bin): " + where;
            }
            return "image incomplete: " + where;
        }
    }
    for (std::uint32_t s = 0; s < sectors; ++s) {
        if (altered_[s]) {
            const std::uint32_t at = s * Sector;
            return "staged bytes at " + hex6(at) + " (block " + std::to_string(at / ImageBlock) +
                   ") differ from those sent";
        }
    }
    const auto staged = std::span(staging_).first(spec_.imageSize);
    if (!spec_.expectedImage.empty()) {
        const std::size_t n = std::min(staged.size(), spec_.expectedImage.size());
        const bool same = spec_.expectedImage.size() == staged.size() &&
                          std::memcmp(staged.data(), spec_.expectedImage.data(), n) == 0;
        if (!same) {
            const auto mismatch =
                std::mismatch(staged.begin(), staged.begin() + n, spec_.expectedImage.begin());
            const auto at = static_cast<std::uint32_t>(mismatch.first - staged.begin());
            return "staged image differs from the expected image at " + hex6(at) + " (block " +
                   std::to_string(at / ImageBlock) + ")";
        }
    }
    if (spec_.expectedCrc32) {
        const std::uint32_t crc = crc32(staged);
        if (crc != *spec_.expectedCrc32) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "staged image has CRC-32 0x%08X instead of the expected 0x%08X", crc,
                          *spec_.expectedCrc32);
            return text;
        }
    }
    return {};
}

CommandResult SimDrive::commit(std::uint8_t code) {
    CommitRecord record;
    record.code = code;
    record.why = judgeCommit();
    record.good = record.why.empty();
    commits_.push_back(record);
    if (!record.good) {
        bricked_ = true;
        brickReason_ = record.why;
    } else if (spec_.newRevision) {
        revision_ = *spec_.newRevision;
    }
    // The drive restarts from its new (or broken) firmware; one that keeps
    // its restart to itself answers on at once, with no attention.
    if (spec_.restartAttention) {
        attention_ = sense::PowerOnReset;
        becomingReady_ = spec_.restartPolls;
    }
    clearStaging();
    return ok();
}

void SimDrive::copyStaged(std::uint64_t offset, std::size_t length, std::uint8_t* to) const {
    // Bytes past the staged end read as zeros.
    const std::size_t staged =
        offset < staging_.size()
            ? std::min<std::size_t>(length, staging_.size() - static_cast<std::size_t>(offset))
            : 0;
    if (staged > 0) {
        std::memcpy(to, staging_.data() + offset, staged);
    }
    if (length > staged) {
        std::memset(to + staged, 0, length - staged);
    }
}

void SimDrive::clearStaging() {
    staging_.clear();
    written_.clear();
    altered_.clear();
    profileAccepted_ = false;
}

std::vector<CommandRecord> SimDrive::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::uint64_t SimDrive::commandCount() const {
    std::lock_guard lock(mutex_);
    return commandCount_;
}

std::vector<std::uint8_t> SimDrive::stagedBytes(std::uint32_t offset, std::uint32_t length) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> bytes(length);
    copyStaged(offset, length, bytes.data());
    return bytes;
}

std::vector<ProfileRecord> SimDrive::profiles() const {
    std::lock_guard lock(mutex_);
    return profiles_;
}

std::vector<CommitRecord> SimDrive::commits() const {
    std::lock_guard lock(mutex_);
    return commits_;
}

bool SimDrive::bricked() const {
    std::lock_guard lock(mutex_);
    return bricked_;
}

std::string SimDrive::brickReason() const {
    std::lock_guard lock(mutex_);
    return brickReason_;
}

bool SimDrive::vanished() const {
    std::lock_guard lock(mutex_);
    return vanished_;
}

std::array<std::uint8_t, 4> SimDrive::currentRevision() const {
    std::lock_guard lock(mutex_);
    return revision_;
}

std::string SimDrive::currentRevisionText() const {
    const auto revision = currentRevision();
    return std::string(revision.begin(), revision.end());
}

bool SimDrive::trayOpen() const {
    std::lock_guard lock(mutex_);
    return trayOpen_;
}

bool SimDrive::mediumPresent() const {
    std::lock_guard lock(mutex_);
    return medium_;
}

bool SimDrive::trayLocked() const {
    std::lock_guard lock(mutex_);
    return trayLocked_;
}

bool SimDrive::unitAttentionPending() const {
    std::lock_guard lock(mutex_);
    return attention_.has_value();
}

void SimDrive::insertMedium() {
    std::lock_guard lock(mutex_);
    if (!medium_) {
        medium_ = true;
        if (!trayOpen_) {
            attention_ = sense::MediumChanged;
        }
        mediaEvent_ = MediaEventNewMedia;
    }
}

void SimDrive::removeMedium() {
    std::lock_guard lock(mutex_);
    if (medium_) {
        medium_ = false;
        mediaEvent_ = MediaEventRemoval;
    }
}

void SimDrive::setTrayOpen(bool open) {
    std::lock_guard lock(mutex_);
    if (trayOpen_ != open && !open && medium_) {
        attention_ = sense::MediumChanged;
        mediaEvent_ = MediaEventNewMedia;
    }
    trayOpen_ = open;
}

void SimDrive::setTrayLocked(bool locked) {
    std::lock_guard lock(mutex_);
    trayLocked_ = locked;
}

void SimDrive::vanish() {
    std::lock_guard lock(mutex_);
    vanished_ = true;
}

void SimDrive::addFault(const FaultRule& rule) {
    std::lock_guard lock(mutex_);
    faults_.push_back({rule, 0, 0, std::mt19937_64(rule.seed)});
}

}  // namespace zorbel::sim
