// The dialog answers of zorbel-sim's window, whichever toolkit draws it.
#include <deque>
#include <iostream>
#include <memory>

#include "tools/zorbel-sim/Fronts.h"

namespace zorbel::simtool {

WindowDialogScript windowDialogScript(const FrontSettings& settings, bool pictures) {
    auto answers = std::make_shared<std::deque<console::ScriptStep>>();
    for (const console::ScriptStep& step : settings.script) {
        if (step.isAnswer()) {
            answers->push_back(step);
        } else {
            std::cerr << "zorbel-sim: the window takes no scripted actions; ignoring one\n";
        }
    }
    if (answers->empty() && !pictures) {
        return {};
    }
    return [answers, pictures](DialogKind kind, std::string_view) -> std::optional<DialogAnswer> {
        const bool yesNo = dialogAsksYesNo(kind);
        if (answers->empty()) {
            if (!pictures) {
                return std::nullopt;
            }
            return yesNo ? DialogAnswer::Yes : DialogAnswer::Ok;
        }
        const console::ScriptStep step = answers->front();
        answers->pop_front();
        if (!yesNo) {
            return DialogAnswer::Ok;
        }
        // No and Escape answer No; OK on a question takes its default, Yes.
        return step.kind == console::ScriptStep::Kind::No ||
                       step.kind == console::ScriptStep::Kind::Escape
                   ? DialogAnswer::No
                   : DialogAnswer::Yes;
    };
}

}  // namespace zorbel::simtool
