#include "tools/zorbel-sim/Person.h"

#include <utility>

namespace zorbel::simtool {

namespace {

constexpr std::string_view RemoveDisc = "Please remove the disc.";
constexpr std::string_view RemoveDiscManually = "Please remove the disc manually.";
constexpr std::string_view PushTrayIn = "Please push the tray in.";

bool endsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

}  // namespace

DialogAnswer Person::messageDialog(DialogKind kind, std::string_view text) {
    const DialogAnswer answer = front_.messageDialog(kind, text);
    act(text);
    return answer;
}

void Person::act(std::string_view text) {
    const bool removeFromOpenTray = text == RemoveDisc;
    const bool removeManually = endsWith(text, RemoveDiscManually);
    const bool pushTrays = text == PushTrayIn;
    if (!removeFromOpenTray && !removeManually && !pushTrays) {
        return;
    }
    for (std::size_t i = 0; i < computer_.driveCount(); ++i) {
        sim::SimDrive& drive = computer_.drive(i);
        if (drive.vanished()) {
            continue;
        }
        if (removeFromOpenTray && drive.trayOpen() && drive.mediumPresent()) {
            drive.removeMedium();
            record("takes the disc out of the open tray of drive " + drive.id());
        } else if (removeManually && drive.mediumPresent()) {
            // Through the emergency eject: the disc comes out, a lock stays.
            drive.removeMedium();
            record("takes the disc out of drive " + drive.id() + " by hand");
        } else if (pushTrays && drive.trayOpen()) {
            drive.setTrayOpen(false);
            record("pushes the tray of drive " + drive.id() + " in");
        }
    }
}

}  // namespace zorbel::simtool

namespace zorbel::simtool {

void Person::record(std::string what) {
    if (narration_ != nullptr) {
        *narration_ << "(the person " << what << ")\n";
        narration_->flush();
    }
    acts_.push_back(std::move(what));
}

}  // namespace zorbel::simtool
