// The programming worker thread: one Parser per drive of an update runs
// ProgramFlash on its own drive object and leaves the outcome in the drive
// object's FlashResult (0 success, 42 failure) before its end event.
#pragma once

#include <cstdint>

#include "device/AtapiDevice.h"
#include "engine/WorkerThread.h"

namespace zorbel {

// The block that starts a programming run, filled by the update sequence.
struct ParserParams {
    AtapiDevice* drive = nullptr;         // the run object of this drive; the window owns it
    const std::uint8_t* image = nullptr;  // first byte of the image inside the package's bank
    std::int32_t size = 0;                // image size in bytes
    std::uint8_t bootCode = 0;            // non-zero: commit with the boot code
    void* window = nullptr;               // the window that started the run; the thread ignores it
};

class Parser : public WorkerThread {
  public:
    // Creates the thread suspended with a copy of the block, takes the drive
    // object from it and sets FreeOnTerminate. The creator attaches OnTerminate
    // and then calls Resume, so the run never starts before its end handler is
    // attached. Allocate with new: the thread frees itself at its end.
    explicit Parser(const ParserParams& params, EndEventDispatcher* dispatcher = nullptr);

    const ParserParams& Params() const { return params_; }
    AtapiDevice* Drive() const { return drive_; }

  protected:
    // FlashResult = 0; Run; FlashResult = 42 unless Run returned true. Every
    // exception that leaves Run counts as a failure.
    void Execute() override;
    // ProgramFlash; a failure in the flash phase raises ErrCodeException (42).
    bool Run();

  private:
    ParserParams params_;
    AtapiDevice* drive_;
};

}  // namespace zorbel
