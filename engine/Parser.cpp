#include "engine/Parser.h"

#include "engine/ErrCodeException.h"
#include "engine/ProgramFlash.h"

namespace zorbel {

Parser::Parser(const ParserParams& params, EndEventDispatcher* dispatcher)
    : WorkerThread(dispatcher), params_(params), drive_(params.drive) {
    FreeOnTerminate = true;
    // Started by the creator with Resume, once OnTerminate is attached.
}

void Parser::Execute() {
    if (drive_ == nullptr) {
        return;  // nowhere to record an outcome
    }
    drive_->SetFlashResult(0);
    bool ok = false;
    try {
        ok = Run();
    } catch (const ErrCodeException&) {
        ok = false;
    } catch (...) {
        // Whatever else leaves the run, the drive was not programmed as asked:
        // it must never read as success.
        ok = false;
    }
    if (!ok) {
        drive_->SetFlashResult(FlashFailure);
    }
}

bool Parser::Run() {
    if (drive_ == nullptr) {
        return false;
    }
    if (ProgramFlash(*drive_, params_.image, params_.size, params_.bootCode != 0)) {
        return true;
    }
    if (drive_->FlashPhase()) {
        throw ErrCodeException(FlashFailure);
    }
    return false;
}

}  // namespace zorbel
