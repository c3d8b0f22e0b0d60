// Writes the bundled example scene: a small, deterministic four-band DN
// image (bands 2 green, 3 red, 4 near-infrared, 5 short-wave infrared;
// 16-bit little-endian, band-sequential) with water, vegetation, bare soil,
// built-up land, a cloud and a border of DN 0 (no data).
//
// DNs are made from target reflectances with the calibration and geometry of
// example-parameters.txt, so the processor gives back plausible values.
//
// Usage: make_example_scene OUTPUT_FILE
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int LINES = 320;
constexpr int SAMPLES = 320;
constexpr int BORDER = 6;
constexpr int FULL_SCALE = 4095;
constexpr int FIELD_COUNT = 60;

// Calibration lmax of bands 2-5 (lmin is 0) and the scene's geometry.
constexpr std::array<double, 4> LMAX = {52.5, 40.8, 33.6, 7.2};
constexpr std::array<double, 4> IRRADIANCE = {185.376, 158.978, 109.479, 23.703};
constexpr double SOLAR_ZENITH_DEG = 38.6;
constexpr double EARTH_SUN = 0.987;
constexpr double PI = 3.14159265358979;

// Target TOA reflectance of each cover in bands 2, 3, 4, 5.
using Spectrum = std::array<double, 4>;
constexpr Spectrum WATER = {0.085, 0.055, 0.025, 0.012};
constexpr Spectrum VEGETATION = {0.075, 0.050, 0.340, 0.170};
constexpr Spectrum DRY_GRASS = {0.100, 0.110, 0.250, 0.240};
constexpr Spectrum SOIL = {0.140, 0.180, 0.240, 0.310};
constexpr Spectrum BUILT_UP = {0.165, 0.175, 0.200, 0.230};
constexpr Spectrum ROAD = {0.120, 0.125, 0.130, 0.150};
constexpr Spectrum CLOUD = {0.620, 0.610, 0.600, 0.420};

// A repeatable pseudo-random value in [0, 1) for a pixel and a channel.
double noise(int line, int sample, int channel)
{
    std::uint32_t h = static_cast<std::uint32_t>(line) * 73856093u
                      ^ static_cast<std::uint32_t>(sample) * 19349663u
                      ^ static_cast<std::uint32_t>(channel) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<double>(h & 0xFFFFFFu) / static_cast<double>(0x1000000u);
}

Spectrum mix(const Spectrum& a, const Spectrum& b, double weightOfB)
{
    Spectrum m{};
    for (std::size_t i = 0; i < m.size(); ++i) {
        m[i] = a[i] * (1.0 - weightOfB) + b[i] * weightOfB;
    }
    return m;
}

// The land cover of a pixel, as a spectrum.
Spectrum surface(int line, int sample)
{
    const double x = sample;
    const double y = line;
    // A river winding from the top to the bottom of the scene.
    const double riverCentre = 90.0 + 28.0 * std::sin(y / 37.0) + 10.0 * std::sin(y / 11.0);
    if (std::fabs(x - riverCentre) < 7.0 + 2.0 * std::sin(y / 23.0)) {
        return WATER;
    }
    // A lake in the lower left.
    if (std::hypot(x - 60.0, y - 260.0) < 28.0) {
        return WATER;
    }
    // A town in the upper right with a street grid.
    if (x > 200.0 && x < 290.0 && y > 30.0 && y < 120.0) {
        const bool street = static_cast<int>(x) % 15 < 2 || static_cast<int>(y) % 15 < 2;
        return street ? ROAD : BUILT_UP;
    }
    // Irregular parcels (the nearest of a fixed set of field centres), each
    // with its own cover: crops of varying vigour, dry grass or bare soil.
    int nearest = 0;
    double nearestDistance = 1e9;
    for (int i = 0; i < FIELD_COUNT; ++i) {
        const double cx = 320.0 * noise(i, 0, 11);
        const double cy = 320.0 * noise(i, 0, 12);
        const double distance = std::hypot(x - cx, (y - cy) * 1.3);
        if (distance < nearestDistance) {
            nearestDistance = distance;
            nearest = i;
        }
    }
    const double cover = noise(nearest, 1, 13);
    if (cover < 0.55) {
        return mix(VEGETATION, DRY_GRASS, cover / 0.55 * 0.6);
    }
    if (cover < 0.8) {
        return mix(DRY_GRASS, SOIL, (cover - 0.55) / 0.25 * 0.5);
    }
    return SOIL;
}

// Cloud cover between 0 and 1: a soft-edged blob in the lower right.
double cloudCover(int line, int sample)
{
    const double r = std::hypot((sample - 235.0) / 48.0, (line - 225.0) / 34.0)
                     + 0.15 * std::sin(sample / 7.0) * std::sin(line / 9.0);
    return std::clamp(1.6 - 1.6 * r, 0.0, 1.0);
}

std::uint16_t toDn(double reflectance, std::size_t bandIndex)
{
    const double cosZenith = std::cos(SOLAR_ZENITH_DEG * PI / 180.0);
    const double radiance =
        reflectance * IRRADIANCE[bandIndex] * cosZenith / (PI * EARTH_SUN * EARTH_SUN);
    const double dn = std::round(radiance / LMAX[bandIndex] * FULL_SCALE);
    return static_cast<std::uint16_t>(std::clamp(dn, 1.0, static_cast<double>(FULL_SCALE)));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_example_scene OUTPUT_FILE\n");
        return 2;
    }
    std::vector<unsigned char> bytes;
    bytes.reserve(static_cast<std::size_t>(4 * LINES * SAMPLES * 2));
    for (std::size_t band = 0; band < 4; ++band) {
        for (int line = 0; line < LINES; ++line) {
            for (int sample = 0; sample < SAMPLES; ++sample) {
                const bool border = line < BORDER || sample < BORDER || line >= LINES - BORDER
                                    || sample >= SAMPLES - BORDER;
                std::uint16_t dn = 0;
                if (!border) {
                    // The cloud, and its shadow cast towards the upper left.
                    const double shadow = 1.0 - 0.55 * cloudCover(line + 30, sample + 40);
                    Spectrum ground = surface(line, sample);
                    for (double& r : ground) {
                        r *= shadow;
                    }
                    const Spectrum s = mix(ground, CLOUD, cloudCover(line, sample));
                    const double texture =
                        1.0 + 0.06 * (noise(line, sample, static_cast<int>(band)) - 0.5);
                    dn = toDn(s[band] * texture, band);
                }
                bytes.push_back(static_cast<unsigned char>(dn & 0xFF));
                bytes.push_back(static_cast<unsigned char>(dn >> 8));
            }
        }
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
