// Baseline for the benchmark, not part of the product: the straightforward
// processor that makes one stdio read and one stdio write per pixel and
// computes every pixel from scratch with the library's model functions.
// Its outputs must equal TALVEX-V1's bit for bit.
//
// Usage: per_pixel_baseline < stream   (the same stream as TALVEX-V1)
#include "correction_model.h"
#include "failure.h"
#include "radiometry.h"
#include "run_parameters.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

namespace {

using namespace talvex;

bool pass(std::FILE* in, std::FILE* out, const RunParameters& p, bool correct)
{
    const float d = earthSunFactor(p.dayOfYear);
    const long long pixels = p.lineCount > 0 && p.sampleCount > 0
                                 ? static_cast<long long>(p.lineCount) * p.sampleCount
                                 : 0;
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t b = bandIndex(band);
        const BandTerms terms = correct ? bandTerms(band, p) : BandTerms{};
        for (long long i = 0; i < pixels; ++i) {
            unsigned char bytes[2];
            if (std::fread(bytes, 1, 2, in) != 2) {
                return false;
            }
            const auto dn = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
            const ToaCalibration c = toaCalibration(p.lmin[b], p.lmax[b], bandSolarIrradiance(band),
                                                    d, p.solarZenithDeg, radianceFullScale());
            float value = dnToToaReflectance(dn, c).toaReflectance;
            if (correct && dn != 0) {
                value = surfaceReflectance(value, terms);
            }
            if (std::fwrite(&value, 4, 1, out) != 1) {
                return false;
            }
        }
    }
    return true;
}

} // namespace

int main()
{
    RunParameters p;
    try {
        p = readRunParameters(std::cin);
    } catch (const Failure& failure) {
        std::fputs(failure.message.c_str(), stderr);
        return failure.status;
    }
    std::FILE* in = std::fopen(p.inputImagePath.c_str(), "rb");
    std::FILE* toa = std::fopen((p.outputBaseName + "-TOA-Ref-bands-2345").c_str(), "wb");
    std::FILE* surface = std::fopen((p.outputBaseName + "-Atm-Corr-Ref-bands-2345").c_str(), "wb");
    if (in == nullptr || toa == nullptr || surface == nullptr) {
        std::fputs("per_pixel_baseline: cannot open the files\n", stderr);
        return 3;
    }
    const bool ok =
        pass(in, toa, p, false) && std::fseek(in, 0, SEEK_SET) == 0 && pass(in, surface, p, true);
    const bool closed = std::fclose(toa) == 0 && std::fclose(surface) == 0;
    std::fclose(in);
    return ok && closed ? 0 : 4;
}
