#include "sim/Scenario.h"

#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <sstream>

namespace zorbel::sim {

namespace {

// The targets an ASPI scan asks on each adapter.
constexpr std::int64_t AspiTargetCount = 16;

std::string message(const std::string& file, std::uint32_t line, const std::string& key,
                    const std::string& what) {
    std::string text = file;
    if (line > 0) {
        text += ":" + std::to_string(line);
    }
    text += ": ";
    if (!key.empty()) {
        text += key + ": ";
    }
    return text + what;
}

std::uint32_t lineOf(const toml::node* node) {
    return node != nullptr ? static_cast<std::uint32_t>(node->source().begin.line) : 0;
}

// One table of the file, read key by key; keys it does not know are refused.
class Section {
  public:
    Section(const std::string& file, const toml::table& table, std::string path)
        : file_(file), table_(table), path_(std::move(path)) {}

    [[noreturn]] void fail(std::string_view key, const std::string& what) const {
        const toml::node* node = table_.get(key);
        const std::string name = qualified(key);
        throw ScenarioError(file_, lineOf(node != nullptr ? node : &table_), name,
                            message(file_, lineOf(node != nullptr ? node : &table_), name, what));
    }

    std::string qualified(std::string_view key) const {
        return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
    }

    const toml::node* node(std::string_view key) {
        known_.insert(std::string(key));
        return table_.get(key);
    }

    // Refuses every key that no reader asked for.
    void refuseUnknown() const {
        for (const auto& [key, value] : table_) {
            if (known_.count(std::string(key.str())) == 0) {
                const std::string name = qualified(key.str());
                throw ScenarioError(file_, lineOf(&value), name,
                                    message(file_, lineOf(&value), name, "unknown key"));
            }
        }
    }

    bool flag(std::string_view key, bool fallback) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return fallback;
        }
        if (!n->is_boolean()) {
            fail(key, "expected true or false");
        }
        return n->as_boolean()->get();
    }

    std::int64_t integer(std::string_view key, std::int64_t fallback, std::int64_t min,
                         std::int64_t max) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return fallback;
        }
        if (!n->is_integer()) {
            fail(key, "expected an integer");
        }
        const std::int64_t value = n->as_integer()->get();
        if (value < min || value > max) {
            fail(key, "expected an integer from " + std::to_string(min) + " to " +
                          std::to_string(max) + ", not " + std::to_string(value));
        }
        return value;
    }

    double number(std::string_view key, double fallback, double min, double max) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return fallback;
        }
        double value = 0;
        if (n->is_integer()) {
            value = static_cast<double>(n->as_integer()->get());
        } else if (n->is_floating_point()) {
            value = n->as_floating_point()->get();
        } else {
            fail(key, "expected a number");
        }
        if (!(value >= min && value <= max)) {
            std::ostringstream range;
            range << "expected a number from " << min << " to " << max;
            fail(key, range.str());
        }
        return value;
    }

    std::optional<std::string> text(std::string_view key) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return std::nullopt;
        }
        if (!n->is_string()) {
            fail(key, "expected a string");
        }
        return std::string(n->as_string()->get());
    }

    // A word out of a fixed set.
    template <typename T>
    T choice(std::string_view key, T fallback,
             std::initializer_list<std::pair<std::string_view, T>> words) {
        const auto word = text(key);
        if (!word) {
            return fallback;
        }
        std::string allowed;
        for (const auto& [name, value] : words) {
            if (*word == name) {
                return value;
            }
            allowed += (allowed.empty() ? "\"" : ", \"") + std::string(name) + "\"";
        }
        fail(key, "expected one of " + allowed + ", not \"" + *word + "\"");
    }

    // Raw bytes: an array of integers 0-255, or a string of hexadecimal byte
    // pairs separated by blanks ("BF D6 00 02").
    std::optional<std::vector<std::uint8_t>> hexBytes(std::string_view key) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> bytes;
        if (const toml::array* array = n->as_array()) {
            for (const toml::node& element : *array) {
                if (!element.is_integer() || element.as_integer()->get() < 0 ||
                    element.as_integer()->get() > 255) {
                    fail(key, "expected bytes (integers from 0 to 255)");
                }
                bytes.push_back(static_cast<std::uint8_t>(element.as_integer()->get()));
            }
            return bytes;
        }
        if (!n->is_string()) {
            fail(key, "expected an array of bytes or a string of hexadecimal bytes");
        }
        std::istringstream in{std::string(n->as_string()->get())};
        std::string part;
        while (in >> part) {
            if (part.size() != 2 || !std::isxdigit(static_cast<unsigned char>(part[0])) ||
                !std::isxdigit(static_cast<unsigned char>(part[1]))) {
                fail(key, "\"" + part + "\" is not a hexadecimal byte");
            }
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(part, nullptr, 16)));
        }
        return bytes;
    }

    // An identity field: a text padded with blanks, or raw bytes padded with zeros.
    template <std::size_t N>
    std::optional<std::array<std::uint8_t, N>> field(std::string_view key) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return std::nullopt;
        }
        if (n->is_string()) {
            const std::string_view value = n->as_string()->get();
            if (value.size() > N) {
                fail(key, "text longer than " + std::to_string(N) + " characters");
            }
            return padded<N>(value);
        }
        const auto bytes = hexBytes(key);
        if (bytes->size() > N) {
            fail(key, "more than " + std::to_string(N) + " bytes");
        }
        std::array<std::uint8_t, N> result{};
        std::copy(bytes->begin(), bytes->end(), result.begin());
        return result;
    }

    Sense senseValue(std::string_view key, Sense fallback) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return fallback;
        }
        std::vector<std::uint8_t> bytes;
        if (n->is_string()) {
            const std::string value(n->as_string()->get());
            unsigned k = 0, a = 0, q = 0;
            char s1 = 0, s2 = 0;
            std::istringstream in(value);
            in >> std::hex >> k >> s1 >> a >> s2 >> q;
            if (!in || s1 != '/' || s2 != '/' || k > 0x0F || a > 0xFF || q > 0xFF ||
                in.peek() != std::char_traits<char>::eof()) {
                fail(key, "expected sense as \"KK/AA/QQ\" in hexadecimal");
            }
            return {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(a),
                    static_cast<std::uint8_t>(q)};
        }
        bytes = *hexBytes(key);
        if (bytes.size() != 3 || bytes[0] > 0x0F) {
            fail(key, "expected sense as [key, asc, ascq]");
        }
        return {bytes[0], bytes[1], bytes[2]};
    }

    const toml::table* subtable(std::string_view key) {
        const toml::node* n = node(key);
        if (n == nullptr) {
            return nullptr;
        }
        if (!n->is_table()) {
            fail(key, "expected a table");
        }
        return n->as_table();
    }

    // An array of tables ([[key]]); empty when absent.
    std::vector<const toml::table*> tables(std::string_view key) {
        std::vector<const toml::table*> result;
        const toml::node* n = node(key);
        if (n == nullptr) {
            return result;
        }
        const toml::array* array = n->as_array();
        if (array == nullptr) {
            fail(key, "expected an array of tables ([[" + qualified(key) + "]])");
        }
        for (const toml::node& element : *array) {
            if (!element.is_table()) {
                fail(key, "expected an array of tables ([[" + qualified(key) + "]])");
            }
            result.push_back(element.as_table());
        }
        return result;
    }

    const std::string& path() const { return path_; }
    const std::string& file() const { return file_; }

  private:
    const std::string& file_;
    const toml::table& table_;
    std::string path_;
    std::set<std::string> known_;
};

std::string indexed(const std::string& path, std::string_view key, std::size_t i) {
    return (path.empty() ? "" : path + ".") + std::string(key) + "[" + std::to_string(i) + "]";
}

// The file's bytes; `reason` says what the system said when it cannot be read.
std::vector<std::uint8_t> readFile(const std::filesystem::path& path, bool& ok,
                                   std::string& reason) {
    ok = false;
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        reason = std::strerror(EISDIR);
        return {};
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::strerror(errno != 0 ? errno : ENOENT);
        return {};
    }
    std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>{});
    ok = !in.bad();
    if (!ok) {
        reason = std::strerror(errno != 0 ? errno : EIO);
    }
    return bytes;
}

class Loader {
  public:
    Loader(std::string file, std::filesystem::path baseDir)
        : file_(std::move(file)), baseDir_(std::move(baseDir)) {}

    ComputerSpec load(const toml::table& root) {
        ComputerSpec spec;
        Section top(file_, root, "");
        spec.platform = top.choice<Platform>("platform", Platform::Nt,
                                             {{"nt", Platform::Nt}, {"9x", Platform::Win9x}});
        spec.clock = top.choice<ClockMode>(
            "clock", ClockMode::Virtual,
            {{"virtual", ClockMode::Virtual}, {"realtime", ClockMode::RealTime}});
        spec.performanceCounter = top.flag("performance_counter", true);
        spec.restartAccepted = top.flag("restart_accepted", true);
        spec.recordCommands = top.flag("record_commands", true);

        // Drives first, so that letters and ASPI devices can name them.
        const auto drives = top.tables("drives");
        for (std::size_t i = 0; i < drives.size(); ++i) {
            Section section(file_, *drives[i], indexed("", "drives", i));
            spec.drives.push_back(drive(section));
            if (!ids_.insert(spec.drives.back().id).second) {
                section.fail("id", "drive id \"" + spec.drives.back().id + "\" is used twice");
            }
        }
        if (const toml::table* powerTable = top.subtable("power")) {
            Section section(file_, *powerTable, "power");
            spec.power = power(section);
        }
        if (const toml::table* aspiTable = top.subtable("aspi")) {
            Section section(file_, *aspiTable, "aspi");
            spec.aspi = aspi(section);
        }
        const auto letters = top.tables("letters");
        std::set<char> seen;
        std::vector<bool> addressGiven;
        for (std::size_t i = 0; i < letters.size(); ++i) {
            Section section(file_, *letters[i], indexed("", "letters", i));
            addressGiven.push_back(section.node("address") != nullptr);
            spec.letters.push_back(letter(section));
            const char key = static_cast<char>(
                std::toupper(static_cast<unsigned char>(spec.letters.back().root[0])));
            if (!seen.insert(key).second) {
                section.fail(section.node("root") != nullptr ? "root" : "letter",
                             "drive letter " + std::string(1, key) + " is listed twice");
            }
        }
        top.refuseUnknown();
        addressLetters(spec, addressGiven);
        try {
            spec.validate();
        } catch (const std::invalid_argument& e) {
            throw ScenarioError(file_, 0, "", message(file_, 0, "", e.what()));
        }
        return spec;
    }

  private:
    // A CD-ROM letter without an address of its own answers the next free
    // one on port 1 (targets 0, 1, ...), since one address is one drive to
    // the program; letters that share one, as given, are named on a line.
    void addressLetters(ComputerSpec& spec, const std::vector<bool>& given) {
        const auto key = [](const ScsiAddress& a) {
            return std::array<int, 4>{a.portNumber, a.pathId, a.targetId, a.lun};
        };
        const auto answers = [](const LetterSpec& l) {
            return l.type == zorbel::DriveType::Cdrom && l.addressQuery == AddressQuery::Address;
        };
        std::set<std::array<int, 4>> taken;
        for (std::size_t i = 0; i < spec.letters.size(); ++i) {
            if (given[i] && answers(spec.letters[i])) {
                taken.insert(key(spec.letters[i].address));
            }
        }
        int target = 0;
        for (std::size_t i = 0; i < spec.letters.size(); ++i) {
            if (given[i] || !answers(spec.letters[i])) {
                continue;
            }
            ScsiAddress next{8, 1, 0, 0, 0};
            do {
                next.targetId = static_cast<std::uint8_t>(target++);
            } while (taken.count(key(next)) != 0 && target < 256);
            spec.letters[i].address = next;
            taken.insert(key(next));
        }
        std::map<std::array<int, 4>, std::string> first;
        for (const LetterSpec& l : spec.letters) {
            if (!answers(l)) {
                continue;
            }
            const std::string name = l.root.substr(0, 2);
            const auto [at, isNew] = first.emplace(key(l.address), name);
            if (!isNew) {
                const ScsiAddress& a = l.address;
                spec.warnings.push_back(
                    file_ + ": letters " + at->second + " and " + name + " share the address " +
                    std::to_string(a.portNumber) + "-" + std::to_string(a.pathId) + "-" +
                    std::to_string(a.targetId) + "-" + std::to_string(a.lun) +
                    ", so the program lists them as one drive, under " + at->second +
                    " (give each letter an address of its own to list both)");
            }
        }
    }

    std::string driveRef(Section& section, std::string_view key) {
        const auto id = section.text(key);
        if (!id) {
            return {};
        }
        if (ids_.count(*id) == 0) {
            section.fail(key, "no drive has the id \"" + *id + "\"");
        }
        return *id;
    }

    // `replaced_by = { drive = "id", after_commands = N }` of a letter or an ASPI device.
    std::optional<Replacement> replacement(Section& s) {
        const toml::node* node = s.node("replaced_by");
        if (node == nullptr) {
            return std::nullopt;
        }
        const toml::table* table = node->as_table();
        if (table == nullptr) {
            s.fail("replaced_by", "expected { drive, after_commands }");
        }
        Section r(s.file(), *table, s.qualified("replaced_by"));
        Replacement replacement;
        replacement.drive = driveRef(r, "drive");
        if (replacement.drive.empty()) {
            r.fail("drive", "a replacement needs the id of the drive that takes the place");
        }
        replacement.afterCommands = static_cast<std::uint64_t>(
            r.integer("after_commands", 0, 0, std::numeric_limits<std::int64_t>::max()));
        r.refuseUnknown();
        return replacement;
    }

    DriveSpec drive(Section& s) {
        DriveSpec d;
        const auto id = s.text("id");
        if (!id || id->empty()) {
            s.fail("id", "every drive needs an id");
        }
        d.id = *id;
        if (auto v = s.field<8>("vendor")) {
            d.identity.vendor = *v;
        }
        if (auto v = s.field<16>("product")) {
            d.identity.product = *v;
        }
        if (auto v = s.field<4>("revision")) {
            d.identity.revision = *v;
        }
        if (auto v = s.field<16>("vendor_specific")) {
            d.identity.vendorSpecific = *v;
        }
        d.newRevision = s.field<4>("new_revision");
        d.flashIdSupported = s.flag("flash_id", true);
        if (auto chip = s.hexBytes("chip")) {
            if (chip->size() != 4) {
                s.fail("chip", "expected 4 bytes (maker, device, byte 2, platform)");
            }
            std::copy(chip->begin(), chip->end(), d.chip.begin());
        }
        if (auto tail = s.hexBytes("flash_id_tail")) {
            if (tail->size() > 124) {
                s.fail("flash_id_tail", "more than 124 bytes");
            }
            d.flashIdTail = *tail;
        }
        if (s.node("profile_length") != nullptr) {
            d.profileLength = static_cast<std::uint16_t>(s.integer("profile_length", 0, 1, 65535));
        }
        if (const toml::table* lengths = s.subtable("answer_lengths")) {
            Section a(s.file(), *lengths, s.qualified("answer_lengths"));
            const auto length = [&a](std::string_view key, std::optional<std::uint32_t>& field) {
                if (a.node(key) != nullptr) {
                    field = static_cast<std::uint32_t>(a.integer(key, 0, 0, 65536));
                }
            };
            length("inquiry", d.answerLengths.inquiry);
            length("event_status", d.answerLengths.eventStatus);
            length("flash_id", d.answerLengths.flashId);
            length("read_buffer", d.answerLengths.readBuffer);
            a.refuseUnknown();
        }
        d.medium = s.flag("medium", d.medium);
        d.trayOpen = s.flag("tray_open", d.trayOpen);
        d.trayLocked = s.flag("tray_locked", d.trayLocked);
        d.eventStatusSupported = s.flag("event_status", d.eventStatusSupported);
        d.powerOnAttention = s.flag("power_on_attention", d.powerOnAttention);
        d.becomingReadyPolls =
            s.integer("becoming_ready_polls", d.becomingReadyPolls, -1, 1'000'000);
        d.restartPolls = s.integer("restart_polls", d.restartPolls, -1, 1'000'000);
        d.restartAttention = s.flag("restart_attention", d.restartAttention);
        d.loadPolls = s.integer("load_polls", d.loadPolls, -1, 1'000'000);
        const bool sizeGiven = s.node("image_size") != nullptr;
        d.imageSize = static_cast<std::uint32_t>(s.integer("image_size", d.imageSize, 1, 16 << 20));
        if (const auto image = s.text("image_file")) {
            const std::filesystem::path path = baseDir_ / *image;
            bool ok = false;
            std::string reason;
            d.expectedImage = readFile(path, ok, reason);
            if (!ok) {
                s.fail("image_file", "cannot read " + path.string() + ": " + reason);
            }
            if (d.expectedImage.empty() || d.expectedImage.size() > (16u << 20)) {
                s.fail("image_file", path.string() + " must hold 1 byte to 16 MiB");
            }
            if (sizeGiven && d.expectedImage.size() != d.imageSize) {
                s.fail("image_size", "differs from the size of image_file (" +
                                         std::to_string(d.expectedImage.size()) + " bytes)");
            }
            d.imageSize = static_cast<std::uint32_t>(d.expectedImage.size());
        }
        if (s.node("image_crc32") != nullptr) {
            d.expectedCrc32 =
                static_cast<std::uint32_t>(s.integer("image_crc32", 0, 0, 0xFFFFFFFFLL));
        }
        d.requireProfile = s.flag("require_profile", d.requireProfile);
        if (const toml::table* latency = s.subtable("latency")) {
            Section l(s.file(), *latency, s.qualified("latency"));
            const auto ns = [](double value) {
                return std::chrono::nanoseconds(static_cast<std::int64_t>(value));
            };
            d.latency.perCommand = ns(l.number("command_ms", 0, 0, 1e9) * 1e6);
            d.latency.perByte = ns(l.number("per_byte_ns", 0, 0, 1e9));
            d.latency.commit = ns(l.number("commit_ms", 0, 0, 1e9) * 1e6);
            l.refuseUnknown();
        }
        const auto faults = s.tables("faults");
        for (std::size_t i = 0; i < faults.size(); ++i) {
            Section f(s.file(), *faults[i], indexed(s.path(), "faults", i));
            d.faults.push_back(fault(f));
        }
        s.refuseUnknown();
        return d;
    }

    FaultRule fault(Section& f) {
        FaultRule rule;
        if (f.node("kind") == nullptr) {
            f.fail("kind", "every fault needs a kind");
        }
        rule.kind = f.choice<FaultKind>("kind", FaultKind::Transport,
                                        {{"transport", FaultKind::Transport},
                                         {"sense", FaultKind::Sense},
                                         {"timeout", FaultKind::Timeout},
                                         {"write_corruption", FaultKind::WriteCorruption},
                                         {"read_corruption", FaultKind::ReadCorruption},
                                         {"vanish", FaultKind::Vanish},
                                         {"lost_reply", FaultKind::LostReply}});
        if (f.node("opcode") != nullptr) {
            rule.opcode = static_cast<std::uint8_t>(f.integer("opcode", 0, 0, 255));
        }
        if (f.node("code") != nullptr) {
            rule.bufferCode = static_cast<std::uint8_t>(f.integer("code", 0, 0, 255));
        }
        rule.nth = static_cast<std::uint64_t>(f.integer("nth", 0, 0, INT64_MAX));
        if (f.node("times") != nullptr) {
            rule.times = static_cast<std::uint64_t>(f.integer("times", 0, 0, INT64_MAX));
        }
        rule.probability = f.number("probability", 1.0, 0.0, 1.0);
        rule.seed = static_cast<std::uint64_t>(f.integer("seed", 1, 0, INT64_MAX));
        const bool senseGiven = f.node("sense") != nullptr;
        rule.sense = f.senseValue("sense", rule.sense);
        if (rule.kind == FaultKind::Sense && !senseGiven) {
            f.fail("sense", "a sense fault needs its sense (\"KK/AA/QQ\")");
        }
        if (rule.kind != FaultKind::Sense && senseGiven) {
            f.fail("sense", "only a fault of kind \"sense\" carries sense data");
        }
        f.refuseUnknown();
        return rule;
    }

    PowerSpec power(Section& s) {
        PowerSpec p;
        p.source = s.choice<zorbel::PowerSource>("source", zorbel::PowerSource::External,
                                                 {{"external", zorbel::PowerSource::External},
                                                  {"battery", zorbel::PowerSource::Battery},
                                                  {"unknown", zorbel::PowerSource::Unknown}});
        p.batteryPresent = s.flag("battery", p.source == zorbel::PowerSource::Battery);
        p.batteryPercent = static_cast<int>(s.integer("battery_percent", -1, 0, 100));
        if (s.node("lost_after_commands") != nullptr) {
            p.lostAfterCommands = static_cast<std::uint64_t>(
                s.integer("lost_after_commands", 0, 0, std::numeric_limits<std::int32_t>::max()));
        }
        if (p.source == zorbel::PowerSource::Battery && !p.batteryPresent) {
            s.fail("battery", "a computer on its battery alone has a battery");
        }
        s.refuseUnknown();
        return p;
    }

    AspiSpec aspi(Section& s) {
        AspiSpec a;
        a.libraryPresent = s.flag("library", true);
        a.supportInfoEntry = s.flag("support_info_entry", true);
        a.sendCommandEntry = s.flag("send_command_entry", true);
        a.supportStatus = static_cast<std::uint8_t>(s.integer("status", 0x01, 0, 255));
        a.eventCreationFails = s.flag("event_creation_fails", false);
        a.completion = s.choice<AspiCompletion>(
            "completion", AspiCompletion::Immediate,
            {{"immediate", AspiCompletion::Immediate}, {"on_wait", AspiCompletion::OnWait}});
        const auto adapters = s.tables("adapters");
        for (std::size_t i = 0; i < adapters.size(); ++i) {
            Section h(s.file(), *adapters[i], indexed(s.path(), "adapters", i));
            AdapterSpec adapter;
            adapter.scsiId = static_cast<std::uint8_t>(h.integer("scsi_id", 7, 0, 255));
            if (auto identifier = h.text("identifier")) {
                if (identifier->size() > 16) {
                    h.fail("identifier", "text longer than 16 characters");
                }
                adapter.identifier = *identifier;
            }
            adapter.inquiryStatus =
                static_cast<std::uint8_t>(h.integer("inquiry_status", 0x01, 0, 255));
            const auto devices = h.tables("devices");
            std::set<std::pair<std::int64_t, std::int64_t>> places;
            std::vector<bool> targetGiven;
            for (std::size_t k = 0; k < devices.size(); ++k) {
                Section d(s.file(), *devices[k], indexed(h.path(), "devices", k));
                AspiDeviceSpec device;
                targetGiven.push_back(d.node("target") != nullptr);
                device.target = static_cast<std::uint8_t>(d.integer("target", 0, 0, 255));
                device.lun = static_cast<std::uint8_t>(d.integer("lun", 0, 0, 255));
                device.type = static_cast<std::uint8_t>(d.integer("type", 5, 0, 31));
                device.drive = driveRef(d, "drive");
                device.replacement = replacement(d);
                if (targetGiven.back() && !places.insert({device.target, device.lun}).second) {
                    d.fail("target", "two devices at target " + std::to_string(device.target) +
                                         " LUN " + std::to_string(device.lun));
                }
                d.refuseUnknown();
                adapter.devices.push_back(device);
            }
            // A device without a target takes the adapter's next free one.
            std::int64_t nextTarget = 0;
            for (std::size_t k = 0; k < adapter.devices.size(); ++k) {
                AspiDeviceSpec& device = adapter.devices[k];
                if (targetGiven[k]) {
                    continue;
                }
                while (places.count({nextTarget, device.lun}) != 0) {
                    ++nextTarget;
                }
                if (nextTarget >= AspiTargetCount) {
                    Section d(s.file(), *devices[k], indexed(h.path(), "devices", k));
                    d.fail("target", "no free target left on this adapter; give one");
                }
                device.target = static_cast<std::uint8_t>(nextTarget);
                places.insert({nextTarget, device.lun});
            }
            h.refuseUnknown();
            a.adapters.push_back(std::move(adapter));
        }
        s.refuseUnknown();
        return a;
    }

    LetterSpec letter(Section& s) {
        LetterSpec l;
        const auto root = s.text("root");
        const auto letter = s.text("letter");
        if (root && letter) {
            s.fail("letter", "give either root or letter, not both");
        }
        if (letter) {
            if (letter->size() != 1 || !std::isalpha(static_cast<unsigned char>((*letter)[0]))) {
                s.fail("letter", "expected one drive letter, like \"E\"");
            }
            l.root = *letter + ":\\";
        } else if (root) {
            if (root->size() != 3 || !std::isalpha(static_cast<unsigned char>((*root)[0])) ||
                (*root)[1] != ':' || (*root)[2] != '\\') {
                s.fail("root", "expected a drive letter, colon and backslash, like \"E:\\\\\"");
            }
            l.root = *root;
        } else {
            s.fail("letter", "every drive letter needs letter (or root)");
        }
        l.type = s.choice<zorbel::DriveType>("type", zorbel::DriveType::Cdrom,
                                             {{"unknown", zorbel::DriveType::Unknown},
                                              {"no_root", zorbel::DriveType::NoRootDir},
                                              {"removable", zorbel::DriveType::Removable},
                                              {"fixed", zorbel::DriveType::Fixed},
                                              {"remote", zorbel::DriveType::Remote},
                                              {"cdrom", zorbel::DriveType::Cdrom},
                                              {"ramdisk", zorbel::DriveType::RamDisk}});
        l.drive = driveRef(s, "drive");
        l.openFails = s.flag("open_fails", false);
        l.heldElsewhere = s.flag("held_elsewhere", false);
        l.replacement = replacement(s);
        if (const auto moved = s.text("moves_after_commit")) {
            if (moved->size() != 1 || !std::isalpha(static_cast<unsigned char>((*moved)[0]))) {
                s.fail("moves_after_commit", "expected a drive letter, like \"G\"");
            }
            l.movesAfterCommit = *moved + ":\\";
        }
        if (const toml::node* address = s.node("address")) {
            if (address->is_string()) {
                l.addressQuery = s.choice<AddressQuery>(
                    "address", AddressQuery::Address,
                    {{"fails", AddressQuery::Fails}, {"length0", AddressQuery::LengthZero}});
            } else if (const toml::table* table = address->as_table()) {
                Section a(s.file(), *table, s.qualified("address"));
                l.address.portNumber = static_cast<std::uint8_t>(a.integer("port", 0, 0, 255));
                l.address.pathId = static_cast<std::uint8_t>(a.integer("path", 0, 0, 255));
                l.address.targetId = static_cast<std::uint8_t>(a.integer("target", 0, 0, 255));
                l.address.lun = static_cast<std::uint8_t>(a.integer("lun", 0, 0, 255));
                a.refuseUnknown();
            } else {
                s.fail("address", "expected \"fails\", \"length0\" or { port, path, target, lun }");
            }
        }
        s.refuseUnknown();
        return l;
    }

    std::string file_;
    std::filesystem::path baseDir_;
    std::set<std::string> ids_;
};

}  // namespace

ScenarioError::ScenarioError(std::string file, std::uint32_t line, std::string key,
                             const std::string& what, bool unreadable)
    : std::runtime_error(what),
      file_(std::move(file)),
      line_(line),
      key_(std::move(key)),
      unreadable_(unreadable) {}

ComputerSpec parseScenario(std::string_view text, std::string_view sourceName,
                           const std::filesystem::path& baseDir) {
    const std::string file(sourceName);
    toml::table root;
    try {
        root = toml::parse(text, sourceName);
    } catch (const toml::parse_error& e) {
        const auto line = static_cast<std::uint32_t>(e.source().begin.line);
        throw ScenarioError(file, line, "", message(file, line, "", std::string(e.description())));
    }
    return Loader(file, baseDir).load(root);
}

ComputerSpec loadScenario(const std::filesystem::path& file) {
    bool ok = false;
    std::string reason;
    const std::vector<std::uint8_t> bytes = readFile(file, ok, reason);
    if (!ok) {
        throw ScenarioError(file.string(), 0, "",
                            file.string() + ": cannot read the scenario file: " + reason, true);
    }
    const std::string text(bytes.begin(), bytes.end());
    return parseScenario(text, file.string(), file.parent_path());
}

}  // namespace zorbel::sim
