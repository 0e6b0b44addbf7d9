// Whether the operating system belongs to the NT family; set at construction.
#pragma once

#include <cstdint>

namespace zorbel {

class OSInfo {
  public:
    OSInfo();
    bool IsNT() const { return isNT_ != 0; }

  private:
    std::uint8_t isNT_ = 0;
};

}  // namespace zorbel
