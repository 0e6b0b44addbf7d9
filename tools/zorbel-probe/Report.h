// What zorbel-probe found out about one optical drive, and the texts it makes
// of it: the description it prints, the drive-list line the update program
// would show, and a zorbel-sim scenario that replicates the drives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zorbel::probe {

enum class Disc { Unknown, Present, Absent };
enum class Tray { Unknown, Closed, Open };

struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
};

struct DriveReport {
    std::string node;         // "sr0"
    std::string genericNode;  // "sg0"; empty when the drive has none
    bool hasAddress = false;  // host:channel:target:lun of the SCSI device
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;

    bool opened = false;      // the probe could open the drive and send commands
    bool identified = false;  // INQUIRY answered
    std::array<std::uint8_t, 8> vendor{};
    std::array<std::uint8_t, 16> product{};
    std::array<std::uint8_t, 4> revision{};
    std::array<std::uint8_t, 16> vendorSpecific{};

    std::optional<Sense> unitReady;  // TEST UNIT READY: none when good
    bool unitReadyAnswered = false;
    Disc disc = Disc::Unknown;
    Tray tray = Tray::Unknown;
    bool eventStatus = false;  // GET EVENT STATUS NOTIFICATION answered

    std::vector<std::string> access;  // one line per node: what opens, what is missing
    // The same as data: the nodes, the reason each did not open ("" when it
    // did), whether commands pass the block node, and the node an update
    // would go through ("" when none would).
    std::string genericAccessNode;  // "/dev/sg0"; "" when the drive has none
    std::string genericAccessError;
    std::string blockAccessNode;  // "/dev/sr0"
    std::string blockAccessError;
    bool rawIo = false;
    std::string updateNode;
    std::string group;  // a member of which may open the node; "" when only root

    bool flashAsked = false;  // --flash-id
    bool flashAnswered = false;
    std::optional<Sense> flashRefusal;   // the sense of a refused identification
    std::array<std::uint8_t, 4> chip{};  // maker, device, byte 2, platform
};

// `bytes` made visible: in quotes, printable characters as they are and every
// other byte as \xNN, then the bytes in hex: "QEMU    " (51 45 4D 55 20 20 20 20).
std::string visibleBytes(std::span<const std::uint8_t> bytes);

// The line the update program's drive list shows for the drive, with `label`
// in the drive-letter column ("sr0" on Linux, "D:" on the simulated computer).
std::string listLine(const DriveReport& drive, const std::string& label);

// The chip identification and the chip table row and profile it selects, or
// that it is not in the table.
std::string chipText(const DriveReport& drive);

// The whole description of one drive, several lines, each ending in '\n'.
std::string describe(const DriveReport& drive);

// The flash chip's table row, or NoChipEntry (none asked, answered or found).
int chipRow(const DriveReport& drive);

// A zorbel-sim scenario with every drive at a drive letter from D: on.
std::string scenarioText(const std::vector<DriveReport>& drives);

// The drive letter the scenario gives the drive at `position` (0: "D").
std::string scenarioLetter(std::size_t position);

}  // namespace zorbel::probe
