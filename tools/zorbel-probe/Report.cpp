#include "tools/zorbel-probe/Report.h"

#include <cstdio>
#include <sstream>

#include "engine/ChipTable.h"

namespace zorbel::probe {

namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    char byte[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02X", b);
        out += (out.empty() ? "" : " ") + std::string(byte);
    }
    return out;
}

std::string senseText(const Sense& sense) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X/%02X/%02X", sense.key, sense.asc, sense.ascq);
    return text;
}

// The text of a field up to its first NUL, as the program's fixed fields read.
template <std::size_t N>
std::string fieldText(const std::array<std::uint8_t, N>& field) {
    std::string text;
    for (const std::uint8_t b : field) {
        if (b == 0) {
            break;
        }
        text.push_back(static_cast<char>(b));
    }
    return text;
}

// A scenario identity field: a text when every byte is printable (the drive
// pads with blanks), else the exact bytes as an array.
template <std::size_t N>
std::string scenarioField(const std::array<std::uint8_t, N>& field) {
    bool text = true;
    for (const std::uint8_t b : field) {
        text = text && b >= 0x20 && b < 0x7F && b != '"' && b != '\\';
    }
    if (text) {
        return "\"" + std::string(field.begin(), field.end()) + "\"";
    }
    std::string array = "[";
    char byte[8];
    for (const std::uint8_t b : field) {
        std::snprintf(byte, sizeof byte, "0x%02X", b);
        array += (array.size() == 1 ? "" : ", ") + std::string(byte);
    }
    return array + "]";
}

std::string discText(const DriveReport& d) {
    std::string text;
    switch (d.disc) {
        case Disc::Present:
            text = "a disc is in";
            break;
        case Disc::Absent:
            text = "no disc";
            break;
        case Disc::Unknown:
            text = "disc unknown";
            break;
    }
    switch (d.tray) {
        case Tray::Open:
            text += ", tray open";
            break;
        case Tray::Closed:
            text += ", tray closed";
            break;
        case Tray::Unknown:
            text += ", tray unknown";
            break;
    }
    if (!d.unitReadyAnswered) {
        text += " (TEST UNIT READY not answered)";
    } else if (d.unitReady) {
        text += " (TEST UNIT READY: sense " + senseText(*d.unitReady) + ")";
    } else {
        text += " (ready)";
    }
    if (!d.eventStatus) {
        text += "; GET EVENT STATUS NOTIFICATION not answered";
    }
    return text;
}

}  // namespace

std::string visibleBytes(std::span<const std::uint8_t> bytes) {
    std::string quoted = "\"";
    char escaped[8];
    for (const std::uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            quoted.push_back(static_cast<char>(b));
        } else {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
            quoted += escaped;
        }
    }
    return quoted + "\" (" + hex(bytes) + ")";
}

std::string listLine(const DriveReport& d, const std::string& label) {
    const std::string name = fieldText(d.vendor).size() == d.vendor.size()
                                 ? fieldText(d.vendor) + fieldText(d.product)
                                 : fieldText(d.vendor);
    // As the program's list: a node name is parted from the vendor by a blank.
    const std::string column = label.empty() || label.back() == ':' ? label : label + " ";
    char line[160];
    std::snprintf(line, sizeof line, "%2d-%d-%d-%d %s%24s %4s", d.hasAddress ? d.host : -1,
                  d.hasAddress ? d.channel : -1, d.hasAddress ? d.target : -1,
                  d.hasAddress ? d.lun : -1, column.c_str(), name.c_str(),
                  fieldText(d.revision).c_str());
    return line;
}

int chipRow(const DriveReport& d) {
    if (!d.flashAsked || !d.flashAnswered) {
        return NoChipEntry;
    }
    return FindChipEntry(d.chip[0], d.chip[1], d.chip[2], d.chip[3]);
}

std::string chipText(const DriveReport& d) {
    if (!d.flashAsked) {
        return "not asked (--flash-id sends the vendor command 0xDF)";
    }
    if (!d.flashAnswered) {
        return d.flashRefusal ? "not answered (sense " + senseText(*d.flashRefusal) + ")"
                              : "not answered";
    }
    std::string text = hex(d.chip) + ": ";
    const int row = FindChipEntry(d.chip[0], d.chip[1], d.chip[2], d.chip[3]);
    if (row == NoChipEntry) {
        return text + "not in the table (no flash profile would be sent)";
    }
    char platform[8];
    std::snprintf(platform, sizeof platform, "%02X", d.chip[3]);
    return text + "table row " + std::to_string(row) + " (" +
           std::string(ChipNames[static_cast<std::size_t>(row)]) + ", platform " + platform +
           "), profile " + std::to_string(ProfileGroupTable[static_cast<std::size_t>(row)]) +
           " of " + std::to_string(ProfileLength(row)) + " bytes";
}

std::string describe(const DriveReport& d) {
    std::ostringstream out;
    out << d.node;
    if (d.hasAddress) {
        out << "  address " << d.host << ":" << d.channel << ":" << d.target << ":" << d.lun;
    } else {
        out << "  no SCSI address";
    }
    out << "  generic node " << (d.genericNode.empty() ? "none" : d.genericNode) << "\n";
    if (d.identified) {
        out << "  list line  \"" << listLine(d, d.node) << "\"\n";
        out << "  vendor     " << visibleBytes(d.vendor) << "\n";
        out << "  product    " << visibleBytes(d.product) << "\n";
        out << "  revision   " << visibleBytes(d.revision) << "\n";
    } else {
        out << "  identity   not read (" << (d.opened ? "INQUIRY not answered" : "did not open")
            << ")\n";
    }
    if (d.opened) {
        out << "  disc       " << discText(d) << "\n";
        out << "  flash chip " << chipText(d) << "\n";
    }
    for (std::size_t i = 0; i < d.access.size(); ++i) {
        out << (i == 0 ? "  access     " : "             ") << d.access[i] << "\n";
    }
    return out.str();
}

std::string scenarioLetter(std::size_t position) {
    return std::string(1, static_cast<char>('D' + position));
}

std::string scenarioText(const std::vector<DriveReport>& drives) {
    std::ostringstream out;
    out << "# A replica of this computer's optical drives, written by zorbel-probe.\n"
           "# Each drive stands at a drive letter from D: on; the drive list shows that\n"
           "# letter where zorbel shows the node name. Before a rehearsal, set each\n"
           "# drive's new_revision (what it reports after a good update) and image_size\n"
           "# (the size of the package's image for it). Reference: sim/SCENARIOS.md.\n"
           "platform = \"nt\"\n";
    for (std::size_t i = 0; i < drives.size() && i < 23; ++i) {
        const DriveReport& d = drives[i];
        out << "\n[[drives]]\nid = \"" << d.node << "\"\n";
        if (d.identified) {
            out << "vendor = " << scenarioField(d.vendor) << "\n";
            out << "product = " << scenarioField(d.product) << "\n";
            out << "revision = " << scenarioField(d.revision) << "\n";
            out << "vendor_specific = " << scenarioField(d.vendorSpecific) << "\n";
        } else {
            out << "# identity not read: the drive did not open or answer INQUIRY\n";
        }
        out << "# new_revision = \"" << fieldText(d.revision) << "\"\n";
        out << "# image_size = 1048576\n";
        if (d.flashAsked && d.flashAnswered) {
            out << "chip = \"" << hex(d.chip) << "\"\n";
        } else if (d.flashAsked) {
            out << "flash_id = false   # the drive did not answer the chip identification\n";
        } else {
            out << "flash_id = false   # chip not read: zorbel-probe --flash-id reads it\n";
        }
        if (d.disc != Disc::Unknown) {
            out << "medium = " << (d.disc == Disc::Present ? "true" : "false") << "\n";
        }
        if (d.tray != Tray::Unknown) {
            out << "tray_open = " << (d.tray == Tray::Open ? "true" : "false") << "\n";
        }
        if (d.opened && !d.eventStatus) {
            out << "event_status = false\n";
        }
    }
    if (drives.empty()) {
        // Nothing to copy: one drive to fill in by hand, as zorbel-probe
        // shows it on the computer where the drive is.
        out << "\n# No optical drive was found here: fill in the drive to rehearse with,\n"
               "# its identity exactly as INQUIRY reports it (vendor 8 characters,\n"
               "# product 16, revision 4, trailing blanks kept).\n"
               "[[drives]]\nid = \"drive\"\nvendor = \"VENDOR  \"\nproduct = \"PRODUCT         \"\n"
               "revision = \"0000\"\nnew_revision = \"0000\"\nimage_size = 1048576\n"
               "flash_id = false\nmedium = false\n"
               "\n[[letters]]\nletter = \"D\"\ntype = \"cdrom\"\ndrive = \"drive\"\n";
    }
    for (std::size_t i = 0; i < drives.size() && i < 23; ++i) {
        const DriveReport& d = drives[i];
        out << "\n[[letters]]\nletter = \"" << scenarioLetter(i) << "\"   # " << d.node
            << "\ntype = \"cdrom\"\ndrive = \"" << d.node << "\"\n";
        if (d.hasAddress) {
            out << "address = { port = " << d.host << ", path = " << d.channel
                << ", target = " << d.target << ", lun = " << d.lun << " }\n";
        } else {
            out << "address = \"fails\"\n";
        }
    }
    return out.str();
}

}  // namespace zorbel::probe
