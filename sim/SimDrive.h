// SimDrive: a model of an ATAPI DVD-RW drive that speaks the command protocol
// the program uses (TEST UNIT READY, INQUIRY, START STOP UNIT, GET EVENT STATUS
// NOTIFICATION, the flash identification 0xDF, READ BUFFER / WRITE BUFFER with
// the profile frames, image staging and the commit). It keeps state, answers
// with real sense data and fails on purpose when its fault rules say so.
//
// A drive is described by a DriveSpec, owned by the simulated computer
// (SimHost), and reached through the host interface by drive letter
// (pass-through) or ASPI address. Tests inspect what it saw through the
// accessors below; every accessor returns a copy taken under the drive's lock,
// so tests may read while worker threads send commands.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorbel::sim {

class VirtualClock;

// Sense key, additional sense code and qualifier.
struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    friend bool operator==(const Sense&, const Sense&) = default;
};

// Sense values the model answers with.
namespace sense {
inline constexpr Sense None{0x00, 0x00, 0x00};
inline constexpr Sense BecomingReady{0x02, 0x04, 0x01};
inline constexpr Sense NoMedium{0x02, 0x3A, 0x00};
inline constexpr Sense TrayOpen{0x02, 0x3A, 0x02};
inline constexpr Sense PowerOnReset{0x06, 0x29, 0x00};
inline constexpr Sense MediumChanged{0x06, 0x28, 0x00};
inline constexpr Sense InvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense InvalidFieldInCdb{0x05, 0x24, 0x00};
inline constexpr Sense InvalidFieldInParameters{0x05, 0x26, 0x00};
inline constexpr Sense RemovalPrevented{0x05, 0x53, 0x02};
inline constexpr Sense InternalFailure{0x04, 0x44, 0x00};
}  // namespace sense

// Standard INQUIRY identity fields, raw bytes (any bytes, blanks and zeros included).
struct Identity {
    std::array<std::uint8_t, 8> vendor{};
    std::array<std::uint8_t, 16> product{};
    std::array<std::uint8_t, 4> revision{};
    std::array<std::uint8_t, 16> vendorSpecific{};

    // Texts padded with blanks to their field; longer texts are cut.
    static Identity fromText(std::string_view vendor, std::string_view product,
                             std::string_view revision, std::string_view vendorSpecific = {});
};

// Fills a field with a text padded with blanks (cut when longer).
template <std::size_t N>
std::array<std::uint8_t, N> padded(std::string_view text) {
    std::array<std::uint8_t, N> field{};
    field.fill(' ');
    for (std::size_t i = 0; i < N && i < text.size(); ++i) {
        field[i] = static_cast<std::uint8_t>(text[i]);
    }
    return field;
}

// The flash chip identification a drive reports: maker, device, byte 2, platform.
using ChipId = std::array<std::uint8_t, 4>;

// What a fault does to the command it strikes.
enum class FaultKind {
    Transport,        // the call fails, no sense data
    Sense,            // the drive answers CHECK CONDITION with the rule's sense
    Timeout,          // the command outlasts the host's time-out; the call fails
    WriteCorruption,  // WRITE BUFFER data is staged altered (the call succeeds)
    ReadCorruption,   // READ BUFFER returns altered bytes; staging stays intact
    Vanish,           // this and every later command and open fail
    LostReply,        // the drive carries the command out; the host sees the call fail
};

// A fault rule. A command matches when it has the rule's opcode (if any) and,
// for WRITE BUFFER, the rule's vendor code (if any). Matching commands are
// counted per drive from 1; the rule strikes matching command number nth and
// later ones (nth 0 = from the first), at most `times` times (default: once
// when nth is given, without limit otherwise), each with the given
// probability drawn from a generator seeded with `seed`.
struct FaultRule {
    FaultKind kind = FaultKind::Transport;
    std::optional<std::uint8_t> opcode{};
    std::optional<std::uint8_t> bufferCode{};
    std::uint64_t nth = 0;
    std::optional<std::uint64_t> times{};  // 0 = without limit
    double probability = 1.0;
    std::uint64_t seed = 1;
    Sense sense = sense::InternalFailure;  // for FaultKind::Sense
};

// Time a command takes: a fixed part and a part per data byte moved.
struct Latency {
    std::chrono::nanoseconds perCommand{0};
    std::chrono::nanoseconds perByte{0};
    std::chrono::nanoseconds commit{0};  // added to a commit (the drive writing its flash)
};

// Everything a scenario says about one drive.
struct DriveSpec {
    std::string id{};  // scenario name, used to attach the drive to letters and ASPI devices
    Identity identity = Identity::fromText("ZORBEL", "SIM DVD-RW", "1.00");
    std::optional<std::array<std::uint8_t, 4>> newRevision{};  // after a commit; default unchanged

    // Flash identification (0xDF 0x11): the 128-byte answer starts with the
    // chip id, then flashIdTail; all zeros when chip is zero. Without support
    // the drive rejects the opcode with 05/20/00.
    bool flashIdSupported = true;
    ChipId chip{0xBF, 0xD6, 0x00, 0x02};
    std::vector<std::uint8_t> flashIdTail{};
    // Length of the profile the drive's chip needs; default from the drive's
    // own chip table (0 when the chip stands in no row: no frame fits).
    std::optional<std::uint16_t> profileLength{};

    // The most bytes the drive sends of each answer (a drive that answers
    // short, as some bridges and old drives do); unset: the whole answer.
    struct AnswerLengths {
        std::optional<std::uint32_t> inquiry{};
        std::optional<std::uint32_t> eventStatus{};
        std::optional<std::uint32_t> flashId{};
        std::optional<std::uint32_t> readBuffer{};
    } answerLengths{};

    bool medium = true;
    bool trayOpen = false;
    bool trayLocked = false;
    bool eventStatusSupported = true;
    bool powerOnAttention = true;         // unit attention 06/29/00 pending at power-on
    std::int64_t becomingReadyPolls = 0;  // answers 02/04/01 this many times; -1: forever
    std::int64_t restartPolls = 3;        // becoming ready after a commit
    // False: a commit shows no restart (no unit attention, no becoming ready),
    // as a drive that acknowledges it and writes its flash only later.
    bool restartAttention = true;
    std::int64_t loadPolls = 2;  // becoming ready after the tray closes on a disc

    // The image the drive expects: a commit is good only when every byte of
    // [0, imageSize) was written since the last accepted profile or commit,
    // nothing was staged altered, and (when given) the staged bytes equal
    // expectedImage or have the CRC-32 expectedCrc32.
    std::uint32_t imageSize = 1'048'576;
    std::vector<std::uint8_t> expectedImage{};
    std::optional<std::uint32_t> expectedCrc32{};
    bool requireProfile = false;  // a commit without an accepted profile bricks too

    Latency latency{};
    std::vector<FaultRule> faults{};
};

// Outcome of one command as the drive ended it.
enum class Outcome { Ok, Sense, Transport, Timeout };

// Data direction as the host requested it.
enum class Direction { Out = 0, In = 1, None = 2 };

// One command the drive received.
struct CommandRecord {
    std::array<std::uint8_t, 12> packet{};
    Direction direction = Direction::None;
    std::uint32_t length = 0;  // requested transfer length
    std::uint32_t moved = 0;   // bytes actually transferred
    Outcome outcome = Outcome::Ok;
    Sense sense{};
    std::chrono::nanoseconds duration{0};
    bool viaAspi = false;
};

// A profile frame the drive received.
struct ProfileRecord {
    bool legacy = false;  // code 0x00 at 0x080000 (else code 0x7F at offset 0)
    std::uint32_t offset = 0;
    std::uint8_t code = 0;
    std::vector<std::uint8_t> frame{};  // the bytes as they arrived
    bool fits = false;                  // header and length fit the drive's own chip
    std::string why;                    // why it did not fit (empty when it fits)
};

// A commit the drive received.
struct CommitRecord {
    std::uint8_t code = 0;  // 0x80 or 0xA0
    bool good = false;      // false: the drive is bricked by it
    std::string why;        // why it bricked (empty when good)
};

// Profile form a chip needs, from the drive's own table.
struct ProfileForm {
    bool known = false;
    bool legacy = false;
    std::uint16_t length = 0;          // stored profile length
    std::uint32_t transferLength = 0;  // bytes the drive expects in the frame
};
ProfileForm profileFormForChip(const ChipId& chip, std::optional<std::uint16_t> lengthOverride);

// CRC-32 (IEEE 802.3, as zip and `crc32` compute it).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);

// The result of executing one command on the drive.
struct CommandResult {
    Outcome outcome = Outcome::Ok;
    Sense sense{};
    std::uint32_t moved = 0;
    std::chrono::nanoseconds duration{0};
};

class SimDrive {
  public:
    SimDrive(DriveSpec spec, VirtualClock& clock, bool recordCommands = true);
    SimDrive(const SimDrive&) = delete;
    SimDrive& operator=(const SimDrive&) = delete;

    // Executes one packet (the first bytes of cdb, up to 16) with the data
    // buffer of the given direction and length, advancing the calling thread's
    // clock by the command's duration. timeoutSeconds is the host's time-out
    // (a time-out fault runs one second past it); without one the host waits
    // for the command itself and a time-out takes no time here. Thread-safe.
    CommandResult execute(std::span<const std::uint8_t> cdb, Direction direction,
                          std::uint32_t length, std::uint8_t* data,
                          std::optional<std::uint32_t> timeoutSeconds, bool viaAspi);

    const DriveSpec& spec() const { return spec_; }
    const std::string& id() const { return spec_.id; }

    // ---- what the drive saw ----
    std::vector<CommandRecord> commands() const;
    std::uint64_t commandCount() const;
    std::vector<std::uint8_t> stagedBytes(std::uint32_t offset, std::uint32_t length) const;
    std::vector<ProfileRecord> profiles() const;
    std::vector<CommitRecord> commits() const;
    bool bricked() const;
    std::string brickReason() const;
    bool vanished() const;
    std::array<std::uint8_t, 4> currentRevision() const;
    std::string currentRevisionText() const;
    bool trayOpen() const;
    bool mediumPresent() const;
    bool trayLocked() const;
    bool unitAttentionPending() const;

    // ---- acting on the drive while it runs ----
    void insertMedium();  // medium in, unit attention 06/28/00
    void removeMedium();
    void setTrayOpen(bool open);
    void setTrayLocked(bool locked);
    void vanish();
    // A rule added while the drive runs counts matching commands from now on.
    void addFault(const FaultRule& rule);

  private:
    struct FaultState {
        FaultRule rule;
        std::uint64_t matched = 0;
        std::uint64_t fired = 0;
        std::mt19937_64 random;
    };
    struct Injected {
        bool writeCorruption = false;
        bool readCorruption = false;
    };

    CommandResult run(std::span<const std::uint8_t> cdb, Direction direction, std::uint32_t length,
                      std::uint8_t* data, const Injected& injected,
                      std::chrono::nanoseconds& extra);
    CommandResult inquiry(std::span<const std::uint8_t> cdb, Direction direction,
                          std::uint32_t length, std::uint8_t* data);
    CommandResult startStop(std::span<const std::uint8_t> cdb);
    CommandResult eventStatus(std::span<const std::uint8_t> cdb, Direction direction,
                              std::uint32_t length, std::uint8_t* data);
    CommandResult flashId(std::span<const std::uint8_t> cdb, Direction direction,
                          std::uint32_t length, std::uint8_t* data);
    CommandResult readBuffer(std::span<const std::uint8_t> cdb, Direction direction,
                             std::uint32_t length, std::uint8_t* data, bool corrupt);
    CommandResult writeBuffer(std::span<const std::uint8_t> cdb, Direction direction,
                              std::uint32_t length, const std::uint8_t* data, bool corrupt,
                              std::chrono::nanoseconds& extra);
    CommandResult profileFrame(bool legacy, std::uint32_t offset, std::uint8_t code,
                               std::uint32_t length, const std::uint8_t* data);
    CommandResult stageImage(std::uint32_t offset, std::uint32_t length, const std::uint8_t* data,
                             bool corrupt);
    CommandResult commit(std::uint8_t code);
    std::string judgeCommit() const;
    void clearStaging();
    // Copies staged bytes from offset on; past the staged end, zeros.
    void copyStaged(std::uint64_t offset, std::size_t length, std::uint8_t* to) const;

    DriveSpec spec_;
    VirtualClock& clock_;
    const bool recordCommands_;
    mutable std::mutex mutex_;

    std::vector<FaultState> faults_{};
    std::vector<CommandRecord> commands_{};
    std::uint64_t commandCount_ = 0;
    std::array<std::uint8_t, 4> revision_{};
    bool medium_ = true;
    bool trayOpen_ = false;
    bool trayLocked_ = false;
    std::optional<Sense> attention_{};
    std::int64_t becomingReady_ = 0;
    bool bricked_ = false;
    std::string brickReason_{};
    bool vanished_ = false;
    std::uint8_t mediaEvent_ = 0;  // GET EVENT STATUS media event code pending

    // Image staging: grown on demand, a block at a time, up to 16 MiB. Coverage and alteration
    // are kept per 512-byte sector.
    std::vector<std::uint8_t> staging_{};
    std::vector<bool> written_{};
    std::vector<bool> altered_{};
    bool profileAccepted_ = false;
    std::vector<ProfileRecord> profiles_{};
    std::vector<CommitRecord> commits_{};
};

}  // namespace zorbel::sim
