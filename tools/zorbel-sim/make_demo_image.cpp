// Writes the demo firmware image: 1,048,576 bytes that look like a drive
// firmware (a header naming the model and revision, then code-like bytes from
// a fixed pseudo-random sequence), the same bytes on every build.
//
//   zorbel-demo-image OUT [SIZE]
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t DefaultSize = 1'048'576;
// Begins with the demonstration mark, by which zorbel-pack refuses the image
// for any program but the simulated computer's.
constexpr std::string_view Header =
    "ZORBEL DEMONSTRATION IMAGE - MERIDOX DX-4410S firmware 1.10, not for real drives";

std::vector<std::uint8_t> demoImage(std::size_t size) {
    std::vector<std::uint8_t> image(size);
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;  // xorshift64*, fixed seed
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        image[i] = static_cast<std::uint8_t>((state * 0x2545F4914F6CDD1DULL) >> 56);
    }
    for (std::size_t i = 0; i < Header.size() && i < size; ++i) {
        image[i] = static_cast<std::uint8_t>(Header[i]);
    }
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: zorbel-demo-image OUT [SIZE]\n";
        return 2;
    }
    std::size_t size = DefaultSize;
    if (argc == 3) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(argv[2], &end, 10);
        if (*end != '\0' || value == 0 || value > 16ULL * 1024 * 1024) {
            std::cerr << "zorbel-demo-image: bad size '" << argv[2] << "'\n";
            return 2;
        }
        size = static_cast<std::size_t>(value);
    }
    const std::vector<std::uint8_t> image = demoImage(size);
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    if (!out) {
        std::cerr << "zorbel-demo-image: cannot write " << argv[1] << "\n";
        return 1;
    }
    return 0;
}
