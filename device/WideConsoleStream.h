// An output stream for UTF-8 text that a console shows whatever its code
// page: each line (and whatever is flushed) goes to the console's wide output
// (WriteConsoleW). For a standard stream that is a console; elsewhere (a
// file, a pipe) the program writes the UTF-8 bytes as they are.
#pragma once

#include <windows.h>

#include <ostream>
#include <streambuf>
#include <string>

namespace zorbel::winhost {

class WideConsoleStream : public std::ostream {
  public:
    // stream: 1 output, 2 error.
    explicit WideConsoleStream(int stream);
    ~WideConsoleStream() override;

  private:
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(HANDLE console) : console_(console) {}
        void flushWhole();

      protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* text, std::streamsize count) override;
        int sync() override;

      private:
        HANDLE console_;
        std::string pending_;  // UTF-8 not written yet (a sequence may be cut)
    };
    Buffer buffer_;
};

}  // namespace zorbel::winhost
