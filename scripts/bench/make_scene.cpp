// Writes a benchmark scene: LINES x SAMPLES x 4 bands of 16-bit DNs in the
// 12-bit range of real data, with a border of DN 0, from a fixed
// pseudo-random sequence so that every run measures the same bytes.
//
// Usage: make_scene LINES SAMPLES OUTPUT_FILE
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_scene LINES SAMPLES OUTPUT_FILE\n");
        return 2;
    }
    const long lines = std::atol(argv[1]);
    const long samples = std::atol(argv[2]);
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr || lines <= 0 || samples <= 0) {
        std::perror(argv[3]);
        return 1;
    }
    std::uint32_t state = 12345u;
    std::vector<unsigned char> row(static_cast<std::size_t>(samples) * 2);
    for (long band = 0; band < 4; ++band) {
        for (long line = 0; line < lines; ++line) {
            for (long s = 0; s < samples; ++s) {
                state = state * 1664525u + 1013904223u;
                const bool border = line < 4 || s < 4 || line >= lines - 4 || s >= samples - 4;
                const std::uint16_t dn = border ? 0 : static_cast<std::uint16_t>(1 + (state >> 20));
                row[static_cast<std::size_t>(2 * s)] = static_cast<unsigned char>(dn & 0xFF);
                row[static_cast<std::size_t>(2 * s + 1)] = static_cast<unsigned char>(dn >> 8);
            }
            if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) {
                std::perror(argv[3]);
                return 1;
            }
        }
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
