#include "device/WideConsoleStream.h"

#include <io.h>

namespace zorbel::winhost {

WideConsoleStream::WideConsoleStream(int stream)
    : std::ostream(nullptr), buffer_(reinterpret_cast<HANDLE>(_get_osfhandle(stream))) {
    rdbuf(&buffer_);
}

WideConsoleStream::~WideConsoleStream() {
    buffer_.flushWhole();
}

void WideConsoleStream::Buffer::flushWhole() {
    // Up to the last whole UTF-8 sequence: a sequence cut by the flush waits
    // for its other bytes.
    std::size_t end = pending_.size();
    const auto byte = [this](std::size_t at) { return static_cast<unsigned char>(pending_[at]); };
    std::size_t start = end;  // the last sequence's first continuation byte
    while (start > 0 && end - start < 3 && (byte(start - 1) & 0xC0) == 0x80) {
        --start;
    }
    if (start > 0) {
        const unsigned char lead = byte(start - 1);
        const std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (end - (start - 1) < needed) {
            end = start - 1;
        }
    }
    if (end == 0) {
        return;
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(end), wide.data(), size);
    DWORD written = 0;
    WriteConsoleW(console_, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    pending_.erase(0, end);
}

WideConsoleStream::Buffer::int_type WideConsoleStream::Buffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    pending_ += traits_type::to_char_type(c);
    if (c == '\n') {
        flushWhole();
    }
    return c;
}

std::streamsize WideConsoleStream::Buffer::xsputn(const char* text, std::streamsize count) {
    pending_.append(text, static_cast<std::size_t>(count));
    if (pending_.find('\n') != std::string::npos) {
        flushWhole();
    }
    return count;
}

int WideConsoleStream::Buffer::sync() {
    flushWhole();
    return 0;
}

}  // namespace zorbel::winhost
