// The exception of a failed programming run: one 8-bit error code, copied by
// value when thrown. The program raises only FlashFailure (42), inside the
// worker thread, which catches it.
#pragma once

#include <cstdint>

namespace zorbel {

class ErrCodeException {
  public:
    explicit ErrCodeException(std::uint8_t code) : ErrCode(code) {}

    std::uint8_t ErrCode;
};

}  // namespace zorbel
