// Flash chip identification and profile upload, members of the drive object.
#include <algorithm>
#include <cstddef>

#include "device/AtapiDevice.h"
#include "engine/ChipTable.h"

namespace zorbel {

namespace {
// The part of OutBuffer cleared before an upload: room for any frame.
constexpr std::size_t ProfileFrameArea = 32768;
static_assert(ProfileFrameArea <= TransferBufferSize);
static_assert(ProfileStoreSize <= ProfileFrameArea);
}  // namespace

bool AtapiDevice::LoadProfile(int row) {
    const int length = ProfileLength(row);
    std::uint8_t* out = OutBuffer();
    if (length <= 0 || out == nullptr) {
        return false;
    }
    const auto store = ProfileStore();
    std::copy_n(store.begin() + ProfileStart(row), length, out);
    return true;
}

bool AtapiDevice::UploadFlashProfile() {
    std::uint8_t* out = OutBuffer();
    std::uint8_t* in = InBuffer();
    if (out == nullptr || in == nullptr) {
        return false;
    }
    std::fill_n(out, ProfileFrameArea, std::uint8_t{0});

    if (!ReadFlashId()) {
        return false;
    }
    const int row = FindChipEntry(in[0], in[1], in[2], in[3]);
    if (row == NoChipEntry) {
        return false;
    }
    LoadProfile(row);
    const int length = ProfileLength(row);
    if (length <= 0) {
        return false;
    }

    // Move the profile behind the header, through InBuffer as scratch space,
    // then write the header from the row's bytes.
    const std::size_t header = ProfileHeaderSize(row);
    const auto count = static_cast<std::size_t>(length);
    std::copy_n(out, count, in);
    std::copy_n(in, count, out + header);
    const ChipIdRow& id = ChipIdTable[static_cast<std::size_t>(row)];
    std::copy_n(id.begin(), header, out);
    if (count % 2 != 0) {
        out[header + count] = 0;  // the pad byte of an odd length
    }

    return WriteDriveBuffer(ProfileFrameOffset(row), ProfileTransferLength(row),
                            ProfileFrameCode(row));
}

}  // namespace zorbel
