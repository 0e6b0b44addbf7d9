// zorbel-probe: lists the optical drives of this Linux computer as the update
// program sees them, without changing anything, and can write a zorbel-sim
// scenario that replicates them for a rehearsal.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "device/AtapiDevice.h"
#include "device/ExternalPower.h"
#include "device/Host.h"
#include "device/host_linux.h"
#include "tools/common/ToolConventions.h"
#include "tools/zorbel-probe/Probe.h"
#include "tools/zorbel-probe/Report.h"
#include "tools/zorbel-probe/ReportJson.h"

namespace {

namespace fs = std::filesystem;
using namespace zorbel;
using namespace zorbel::probe;

constexpr const char* Summary =
    "zorbel-probe: list the optical drives as the update program sees them, without changing "
    "anything";

constexpr const char* Usage = "zorbel-probe [--flash-id] [--scenario FILE] [--json]";

constexpr const char* Footer = R"(
DESCRIPTION
    Lists every optical drive of this computer without changing anything: its
    node (/dev/srN) and SCSI generic node, its SCSI address
    (host:channel:target:lun), the line the update program's drive list shows
    for it, the exact INQUIRY vendor (8 bytes), product (16 bytes) and revision
    (4 bytes) in quotes and in hex, so that trailing blanks can be copied into
    a package's constraints, whether a disc is in and the tray open, and which
    node opens for this user and what access is missing for an update.

    It sends only TEST UNIT READY, INQUIRY and GET EVENT STATUS NOTIFICATION,
    and the vendor command 0xDF (flash chip identification) only with
    --flash-id. It never ejects, loads, locks or writes anything.

    With --json the same findings are printed as one JSON document on standard
    output (schema "zorbel-probe", version 1; the fields are described in
    tools/zorbel-probe/README.md), and nothing else is printed there.

FILES
    The scenario written with --scenario is a zorbel-sim scenario (reference:
    sim/SCENARIOS.md): each drive with its identity, chip, disc and tray, at a
    drive letter from D: on, with its address. Fill the package into a copy of
    zorbel-sim (zorbel-pack fill ... --stand-in-profiles) and run it with
    --scenario FILE to rehearse the update on a replica of this computer.

EXIT STATUS
    0 when the drives were listed (also when there are none), 1 when the
    scenario file could not be written, 2 for a usage error (an unknown option
    or argument).

EXAMPLES
    zorbel-probe
    zorbel-probe --json
    sudo zorbel-probe --flash-id --scenario this-computer.toml)";

std::string errorText(int error) {
    return error == 0 ? "opens" : std::strerror(error);
}

// One line per node: what opens, and what an update would lack.
std::vector<std::string> accessLines(const linuxhost::OpticalDrive& drive,
                                     const linuxhost::DriveAccess& access) {
    std::vector<std::string> lines;
    if (!access.heldLock.empty()) {
        return {"left alone: another zorbel program is updating it (it holds " + access.heldLock +
                "); nothing was sent to it"};
    }
    const std::string group = access.group.empty() || access.group == "root"
                                  ? ""
                                  : " or a member of group " + access.group;
    if (!access.genericNode.empty()) {
        lines.push_back(access.genericNode + ": " +
                        (access.genericError == 0
                             ? "opens for reading and writing: an update can go through it"
                             : errorText(access.genericError) +
                                   ": an update needs read and write access to it (root" + group +
                                   ")"));
    } else {
        lines.push_back("no SCSI generic node (load the sg module)");
    }
    std::string block = access.blockNode + ": ";
    if (access.blockError != 0) {
        block += errorText(access.blockError);
    } else if (access.rawIo) {
        block += "opens; firmware commands pass (CAP_SYS_RAWIO)";
    } else {
        block += "opens, but passes firmware commands only with CAP_SYS_RAWIO (root)";
    }
    lines.push_back(block);
    if (access.usableNode().empty()) {
        lines.push_back("no node of " + drive.srName + " would carry an update for this user");
    }
    return lines;
}

// The access lines' facts as data, for --json.
void noteAccess(const linuxhost::DriveAccess& access, DriveReport& report) {
    report.genericAccessNode = access.genericNode;
    report.genericAccessError = access.genericNode.empty() || access.genericError == 0
                                    ? ""
                                    : errorText(access.genericError);
    report.blockAccessNode = access.blockNode;
    report.blockAccessError = access.blockError == 0 ? "" : errorText(access.blockError);
    report.rawIo = access.rawIo;
    report.updateNode = access.usableNode();
    report.group = access.group == "root" ? "" : access.group;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{Summary};
    app.footer(Footer);
    bool flashId = false;
    bool json = false;
    std::string scenario;
    app.add_flag("--flash-id", flashId,
                 "also ask each drive for its flash chip identification (vendor command 0xDF) "
                 "and show the chip table row and flash profile it selects");
    app.add_option("--scenario", scenario,
                   "write a zorbel-sim scenario replicating these drives to FILE")
        ->type_name("FILE");
    app.add_flag("--json", json,
                 "print the findings as one JSON document (schema zorbel-probe, version 1)");
    if (const auto status = tools::readCommandLine(app, argc, argv, "zorbel-probe", Usage)) {
        return *status;
    }

    linuxhost::LinuxHost host;
    host.setProgramName("zorbel-probe");
    setCurrentHost(&host);
    // Access problems are shown per drive below, not as message boxes.
    host.setMessageSink([](std::string_view, std::string_view) {});

    const std::vector<linuxhost::OpticalDrive> found = linuxhost::findOpticalDrives("/sys");
    std::vector<DriveReport> reports;
    {
        AtapiDevice device(false);
        device.ListDrives();  // lists only the drives it can open; sysfs shows them all
        for (const linuxhost::OpticalDrive& drive : found) {
            if (linuxhost::rootForIndex(drive.index).empty()) {
                continue;  // the update program lists sr0 to sr99 only
            }
            DriveReport report;
            report.node = drive.srName;
            report.genericNode = drive.sgName;
            report.hasAddress = drive.hasAddress;
            report.host = drive.host;
            report.channel = drive.channel;
            report.target = drive.target;
            report.lun = drive.lun;
            const linuxhost::DriveAccess access = host.accessOf(drive);
            report.access = accessLines(drive, access);
            noteAccess(access, report);
            for (std::int16_t i = 0; i < MaxDrives; ++i) {
                const DriveEntry* entry = device.GetDrive(static_cast<unsigned>(i));
                if (entry != nullptr && linuxhost::indexForRoot(entry->rootPath) == drive.index) {
                    probeDrive(device, i, flashId, report);
                    break;
                }
            }
            reports.push_back(std::move(report));
        }
    }
    setCurrentHost(nullptr);

    const PowerState power = host.powerState();
    if (json) {
        std::cout << reportJson(reports, flashId, power).dump(2) << "\n";
    }
    if (reports.empty()) {
        // On standard error, so that --json stays one document.
        std::cerr << "zorbel-probe: no optical drive found; check that the drive is connected "
                     "and the kernel's sr and sg modules are loaded (lsmod | grep -w -e sr_mod "
                     "-e sg; sudo modprobe sg), and that this user may open /dev/srN and "
                     "/dev/sgN (root, or a member of group cdrom)\n";
    }
    for (const DriveReport& report : reports) {
        if (!json) {
            std::cout << describe(report);
        }
    }
    if (!json) {
        std::cout << "power: " << ExternalPower::describe(power)
                  << (ExternalPower::allowsUpdate(power)
                          ? "\n"
                          : "; zorbel starts no update until the AC adapter is connected\n");
    }
    if (!scenario.empty()) {
        const fs::path target(scenario);
        const fs::path temporary = target.string() + ".zorbel-probe";
        {
            errno = 0;
            std::ofstream out(temporary, std::ios::trunc);
            out << scenarioText(reports);
            if (!out.flush()) {
                const std::string reason = tools::systemReason(errno != 0 ? errno : EIO);
                out.close();
                std::error_code ec;
                fs::remove(temporary, ec);
                std::cerr << "zorbel-probe: cannot write " << target.string() << ": " << reason
                          << "\n";
                return tools::ExitFailed;
            }
        }
        std::error_code ec;
        fs::rename(temporary, target, ec);
        if (ec) {
            const std::string reason = ec.message();
            fs::remove(temporary, ec);
            std::cerr << "zorbel-probe: cannot write " << target.string() << ": " << reason << "\n";
            return tools::ExitFailed;
        }
        (json ? std::cerr : std::cout)
            << "scenario written to " << target.string() << " ("
            << (reports.empty()
                    ? std::string("no drive found: one to fill in")
                    : std::to_string(reports.size()) + (reports.size() == 1 ? " drive" : " drives"))
            << ")\n";
    }
    return 0;
}
