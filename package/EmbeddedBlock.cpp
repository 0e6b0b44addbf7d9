// The program's own package block: one contiguous object of initialised data
// that a packaging step overwrites in the finished program. The object is not
// const (so it lands in .data beside nothing it could be merged with), has
// external linkage and is marked used (so neither compiler nor linker drops
// it), and the program reads it only through a pointer the compiler cannot see
// through (so no placeholder value is folded into code).
#include <cstdint>

#include "package/BlockLayout.h"

namespace zorbel {

// An untouched constraint slot: "#FLSH", bin number and slot number, then "#"
// in each of the other three fields.
#define ZORBEL_EMPTY_SLOT(binSlot) \
    { "#FLSH" #binSlot, "#", "#", "#" }

// The contents of a block that no packaging step has touched. Title, bank and
// constraint slots hold the placeholders the program recognises; the options
// are a safe demonstration default (no restart, start-up notice on), bin 1
// spans the whole bank and its new revision reads "????".
extern "C" {
[[gnu::used]] block::Layout zorbel_package_block = {
    "[ZORBEL PACKAGE v2 ]",
    "v2.0.0",
    "ZORBEL-PACKAGE",
    "APP_TITLE_HERE",
    "YYYY/MM/DD",
    "N/A",
    "SUPPORTED_DRIVES_HERE",
    "FW_CONSTRAINTS=",
    {{ZORBEL_EMPTY_SLOT(11), ZORBEL_EMPTY_SLOT(12), ZORBEL_EMPTY_SLOT(13), ZORBEL_EMPTY_SLOT(14),
      ZORBEL_EMPTY_SLOT(15), ZORBEL_EMPTY_SLOT(16), ZORBEL_EMPTY_SLOT(17), ZORBEL_EMPTY_SLOT(18)},
     {ZORBEL_EMPTY_SLOT(21), ZORBEL_EMPTY_SLOT(22), ZORBEL_EMPTY_SLOT(23), ZORBEL_EMPTY_SLOT(24),
      ZORBEL_EMPTY_SLOT(25), ZORBEL_EMPTY_SLOT(26), ZORBEL_EMPTY_SLOT(27), ZORBEL_EMPTY_SLOT(28)},
     {ZORBEL_EMPTY_SLOT(31), ZORBEL_EMPTY_SLOT(32), ZORBEL_EMPTY_SLOT(33), ZORBEL_EMPTY_SLOT(34),
      ZORBEL_EMPTY_SLOT(35), ZORBEL_EMPTY_SLOT(36), ZORBEL_EMPTY_SLOT(37), ZORBEL_EMPTY_SLOT(38)},
     {ZORBEL_EMPTY_SLOT(41), ZORBEL_EMPTY_SLOT(42), ZORBEL_EMPTY_SLOT(43), ZORBEL_EMPTY_SLOT(44),
      ZORBEL_EMPTY_SLOT(45), ZORBEL_EMPTY_SLOT(46), ZORBEL_EMPTY_SLOT(47), ZORBEL_EMPTY_SLOT(48)}},
    "N2OMESSAGE=0",
    "CHKDISC=0",
    "BOOTCODE=1",
    "REBOOT=0",
    "AUTOMODE=0",
    "CLOSEAP=0",
    "WARNING=1",
    "NBWARNING=0",
    "HOW_MANY_BIN=1",
    {"BIN_START1=0000000000", "BIN_START2=0000000000", "BIN_START3=0000000000",
     "BIN_START4=0000000000"},
    {"BIN_SIZE1=0001048576", "BIN_SIZE2=0000000000", "BIN_SIZE3=0000000000",
     "BIN_SIZE4=0000000000"},
    {"NEW_FW1=????", "NEW_FW2=N/A ", "NEW_FW3=N/A ", "NEW_FW4=N/A "},
    "BANK_START_FROM_HERE",
};
}
#undef ZORBEL_EMPTY_SLOT

// The block's address, laundered through an empty assembler statement: the
// compiler must assume the pointer could point anywhere, so every read goes to
// the bytes in memory, which are the bytes of the program file.
const std::uint8_t* embeddedBlockBytes() {
    const void* address = &zorbel_package_block;
    asm volatile("" : "+r"(address));
    return static_cast<const std::uint8_t*>(address);
}

}  // namespace zorbel
