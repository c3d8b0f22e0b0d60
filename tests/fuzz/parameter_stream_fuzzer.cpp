// libFuzzer target: any bytes as the run parameter stream. The reader must
// never crash, read out of bounds or hit undefined behaviour; a stream it
// accepts must carry only finite numbers, and the model must then run on it.
#include "correction_model.h"
#include "failure.h"
#include "run_parameters.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    talvex::RunParameters p;
    try {
        p = talvex::readRunParameters(in);
    } catch (const talvex::Failure&) {
        return 0;
    }
    const float numbers[] = {p.lmin[0],        p.lmax[0],        p.lmin[3],         p.lmax[3],
                             p.solarZenithDeg, p.viewAzimuthDeg, p.elevationMetres, p.ozoneColumn};
    for (float value : numbers) {
        if (!std::isfinite(value)) {
            std::abort(); // the reader promised finite numbers
        }
    }
    try {
        talvex::checkPhysicalRange(p);
        talvex::checkImageSize(p);
    } catch (const talvex::Failure&) {
        return 0;
    }
    if (p.correctionOption == talvex::CORRECTION_ON) {
        for (int band = talvex::FIRST_BAND; band <= talvex::LAST_BAND; ++band) {
            const talvex::BandTerms terms = talvex::bandTerms(band, p);
            static_cast<void>(talvex::surfaceReflectance(0.1f, terms));
        }
    }
    return 0;
}
