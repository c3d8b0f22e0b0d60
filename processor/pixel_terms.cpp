#include "pixel_terms.h"

#include "failure.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

// GCC on x86-64 also builds an AVX-512 loop of its own (below), chosen when
// the program runs on a processor that has the unit.
#if defined(__x86_64__) && !defined(__clang__)
#define AVX512_LOOP 1
#include <immintrin.h>
#endif

// The vectorised loops are built once for each vector unit an x86-64
// processor may have and chosen when the program starts. Clang cannot clone
// function templates, and other processors have other units: there, one
// build for the target.
#if defined(__x86_64__) && !defined(__clang__)
#define VECTOR_UNIT_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define VECTOR_UNIT_CLONES
#endif

// The band vectors never cross a call between units built for different
// vector units (the loops below are leaves and their helpers are inlined),
// so GCC's note that such calls pass wide vectors differently does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace talvex {

namespace {

// Keys are counts of steps; the decimal exponent of each step, for the text
// of a quantised value.
constexpr int AEROSOL_DEPTH_STEP_EXPONENT = -3;

std::string shortest(float value)
{
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

struct QuantityRule {
    double step;
    int stepExponent; // the step is 10^stepExponent
    float minimum;
    float maximum;
    const char* unit; // after a value in messages, with its space
};

QuantityRule ruleOf(MapQuantity quantity)
{
    if (quantity == MapQuantity::elevation) {
        return {MAP_ELEVATION_STEP_METRES, 0, MAP_MIN_ELEVATION_METRES, MAP_MAX_ELEVATION_METRES,
                " m"};
    }
    return {MAP_AEROSOL_DEPTH_STEP, AEROSOL_DEPTH_STEP_EXPONENT, MAP_MIN_AEROSOL_OPTICAL_DEPTH,
            MAP_MAX_AEROSOL_OPTICAL_DEPTH, ""};
}

Failure outOfRange(MapQuantity quantity, float value)
{
    const QuantityRule rule = ruleOf(quantity);
    const std::string name = mapQuantityName(quantity);
    return makeFailure(FailureKind::parameters, name + " map",
                       "Error in the " + name + " map: a value of " + shortest(value) + rule.unit
                           + " is outside the accepted range, " + shortest(rule.minimum) + " to "
                           + shortest(rule.maximum) + rule.unit
                           + "; mark pixels without a value as no data.\n");
}

// Steps from 0 to the nearest multiple of the step, halves away from zero,
// for an accepted value. Adding a half and truncating is exact except where
// the sum rounds up to the next whole number from below its half, which the
// check finds and the library's rounding settles.
std::int64_t keyOf(const QuantityRule& rule, float value)
{
    const double steps = static_cast<double>(value) / rule.step;
    const auto key = static_cast<std::int64_t>(steps + std::copysign(0.5, steps));
    if (std::fabs(steps - static_cast<double>(key)) >= 0.5) {
        return std::llround(steps);
    }
    return key;
}

// 10^-exponent of the step, exactly: 1 / step in whole numbers.
double stepsPerUnit(const QuantityRule& rule)
{
    static_assert(MAP_ELEVATION_STEP_METRES >= MAP_AEROSOL_DEPTH_STEP, "steps of 1 or below");
    double steps = 1.0;
    for (int exponent = rule.stepExponent; exponent < 0; ++exponent) {
        steps *= 10.0;
    }
    return steps;
}

bool accepted(const QuantityRule& rule, float value)
{
    return value >= rule.minimum && value <= rule.maximum;
}

float valueOfKey(const QuantityRule& rule, std::int64_t key)
{
    // The decimal "<key>e<exponent>" read as the parameter stream reads it.
    const std::string text = std::to_string(key) + "e" + std::to_string(rule.stepExponent);
    return std::strtof(text.c_str(), nullptr);
}

std::int64_t firstKey(MapQuantity quantity)
{
    const QuantityRule rule = ruleOf(quantity);
    return keyOf(rule, rule.minimum);
}

std::size_t slotCount(MapQuantity quantity)
{
    const QuantityRule rule = ruleOf(quantity);
    return static_cast<std::size_t>(keyOf(rule, rule.maximum) - keyOf(rule, rule.minimum)) + 2;
}

// The terms of every band at one value of one quantity, into slot `slot`,
// from the model's own terms at that value.
void fillSlot(PixelTermTables& tables, MapQuantity quantity, float value, std::size_t slot)
{
    RunParameters p = tables.scene;
    if (quantity == MapQuantity::elevation) {
        p.elevationMetres = value;
        for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
            const std::size_t i = bandIndex(band);
            const RayleighPart r = rayleighPart(band, p, tables.geometry);
            tables.elevationTerms[slot - MAP_NO_DATA_SLOT].rayleighPathPart[i] =
                rayleighPathPart(r.rayleighReflectance, r.rayleighResidual);
        }
        return;
    }
    p.aerosolOpticalDepth = value;
    AerosolSlotTerms& terms = tables.aerosolTerms[slot - MAP_NO_DATA_SLOT];
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t i = bandIndex(band);
        const AerosolPart a = aerosolPart(band, p, tables.geometry);
        terms.aerosolReflectance[i] = static_cast<double>(a.aerosolReflectance);
        terms.aerosolResidual[i] = static_cast<double>(a.aerosolResidual);
        terms.transmission[i] =
            inversionTransmission(a.downTransmission, a.upTransmission, tables.gasTransmittance[i]);
        terms.sphericalAlbedo[i] = static_cast<double>(a.sphericalAlbedo);
    }
}

// Marks a value whose slot the quick pass leaves to the exact rule.
constexpr std::int32_t SLOT_LOOK_AGAIN = std::numeric_limits<std::int32_t>::min();

// The slots (1 + key - first key) of accepted values whose key keyOf() gives
// without its fix-up, by a branch-free loop the compiler vectorises;
// MAP_NO_DATA_SLOT for NaN; SLOT_LOOK_AGAIN for any other value (outside
// the range, or one the fix-up would settle). Returns the least and the
// greatest slot written (SLOT_LOOK_AGAIN is the least of all).
//
// The steps are value x 10^-exponent rather than value / step: a float has
// 24 significant bits and 10^-exponent (1 or 1000) at most 7, so the product
// is exact, while the quotient by the double nearest the step lies at most
// one unit in the last place below it. The two round to different keys
// only where the product is a half exactly, which the check sends to the
// exact rule, unless the step is 1 (`halvesSettled`): the quotient is then
// the product, and the product plus a half is exact, so the quick key is
// the exact rule's for every value.
struct SlotRange {
    std::int32_t least;
    std::int32_t greatest;
};
VECTOR_UNIT_CLONES SlotRange quickSlots(double stepsPerUnit, bool halvesSettled, float minimum,
                                        float maximum, std::int32_t firstKey,
                                        const float* __restrict values,
                                        std::int32_t* __restrict slots, std::size_t count)
{
    std::int32_t least = std::numeric_limits<std::int32_t>::max();
    std::int32_t greatest = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const float value = values[k];
        const std::int32_t inRange = (value >= minimum) & (value <= maximum); // 0 for NaN
        const double steps = static_cast<double>(inRange ? value : minimum) * stepsPerUnit;
        const auto key = static_cast<std::int32_t>(steps + std::copysign(0.5, steps));
        const double distance = std::fabs(steps - static_cast<double>(key));
        const std::int32_t exact = (distance < 0.5) | (halvesSettled & (distance == 0.5));
        // Selected by masks rather than a conditional, which GCC does not vectorise.
        const std::int32_t ok = -(inRange & exact);
        const std::int32_t noData = -static_cast<std::int32_t>(value != value); // NaN
        const std::int32_t slot = ((key - firstKey + 1) & ok) | (MAP_NO_DATA_SLOT & noData)
                                  | (SLOT_LOOK_AGAIN & ~ok & ~noData);
        slots[k] = slot;
        least = std::min(least, slot);
        greatest = std::max(greatest, slot);
    }
    return {least, greatest};
}

// met[slot] = 1 for the slot of each value; a no-data slot (the only
// negative one) marks slot 0, which is always filled.
void markMet(const std::int32_t* __restrict slots, std::size_t count, std::uint8_t* __restrict met)
{
    for (std::size_t k = 0; k < count; ++k) {
        const std::int32_t slot = slots[k];
        met[static_cast<std::size_t>(slot & ~(slot >> 31))] = 1;
    }
}

// The loop of applyPixelTerms, built for the vector units the processor has.
// Branch-free: the terms of any slot are read, the no-data slot's included,
// and the result of a pixel without a value (DN 0, a no-data slot) is then
// cleared. The slot arrays of a quantity without a map are not read (slot 0).
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
VECTOR_UNIT_CLONES void
invertPixels(const ElevationSlotTerms* __restrict elevationTerms,
             const AerosolSlotTerms* __restrict aerosolTerms, std::size_t band,
             double gasTransmittance, const float* __restrict toaTable,
             const std::uint16_t* __restrict dn, const std::int32_t* __restrict elevationSlots,
             const std::int32_t* __restrict aerosolSlots, float* __restrict out, std::size_t count)
{
    static_assert(MAP_NO_DATA_SLOT < 0, "a no-data slot is told by its sign");
    for (std::size_t k = 0; k < count; ++k) {
        const std::int32_t e = WITH_ELEVATION ? elevationSlots[k] : 0;
        const std::int32_t a = WITH_AEROSOL ? aerosolSlots[k] : 0;
        const std::uint32_t value = dn[k];
        // All ones for a pixel with a value, else all zeros.
        const std::int32_t keep = -static_cast<std::int32_t>((value != 0) & (e >= 0) & (a >= 0));
        const AerosolSlotTerms& aerosol = aerosolTerms[a];
        const float reflectance = surfaceReflectance(
            toaTable[value],
            pathReflectance(elevationTerms[e].rayleighPathPart[band],
                            aerosol.aerosolReflectance[band], aerosol.aerosolResidual[band]),
            gasTransmittance, aerosol.transmission[band], aerosol.sphericalAlbedo[band]);
        std::uint32_t bits;
        std::memcpy(&bits, &reflectance, sizeof bits);
        bits &= static_cast<std::uint32_t>(keep);
        std::memcpy(&out[k], &bits, sizeof bits);
    }
}

// The four bands of two pixels go through the inversion as one vector of
// eight (element 4 j + i is band i of pixel j), whose terms are the four-
// band vectors of the two pixels' slots side by side. Four pixels at a
// time: the DNs of each band are read as one word of four, and the results
// are stored band by band.
constexpr std::size_t PIXELS_AT_ONCE = 4;
constexpr std::size_t PAIR_LANES = 2 * BAND_COUNT;
using PairDoubles = double
    __attribute__((vector_size(PAIR_LANES * sizeof(double)), aligned(PAIR_LANES * sizeof(double))));
using PairSingles = float
    __attribute__((vector_size(PAIR_LANES * sizeof(float)), aligned(PAIR_LANES * sizeof(float))));
using PixelBits = std::int32_t __attribute__((vector_size(PIXELS_AT_ONCE * sizeof(std::int32_t))));
using PixelSingles = float __attribute__((vector_size(PIXELS_AT_ONCE * sizeof(float))));
using PixelDns = std::uint16_t __attribute__((vector_size(PIXELS_AT_ONCE * sizeof(std::uint16_t))));
using DnWord = std::uint64_t;
static_assert(sizeof(DnWord) == sizeof(PixelDns), "a word holds the DNs of four pixels");

// The four-band vectors of two pixels, side by side.
[[gnu::always_inline]] inline PairDoubles joined(const BandDoubles& first,
                                                 const BandDoubles& second)
{
    return __builtin_shufflevector(first, second, 0, 1, 2, 3, 4, 5, 6, 7);
}

// The DN of pixel j (0 to 3) of a word of four DNs of one band.
inline std::uint32_t dnOf(DnWord word, std::size_t j)
{
    if constexpr (std::endian::native == std::endian::little) {
        constexpr unsigned DN_BITS = 16;
        return static_cast<std::uint16_t>(word >> (DN_BITS * j));
    } else {
        PixelDns values;
        std::memcpy(&values, &word, sizeof values);
        return values[j];
    }
}

// A block of band-sequential pixels: band i (0 to 3) of pixel k is
// dn[i * dnBandStride + k] and out[i * outBandStride + k], and its TOA table
// starts at toaTables + i * DN_VALUES.
struct BandBlock {
    const float* toaTables;
    const std::uint16_t* dn;
    std::size_t dnBandStride;
    float* out;
    std::size_t outBandStride;
};

// The TOA reflectances of pixels j and j + 1 of four, from the words of
// their DNs, band by band.
[[gnu::always_inline]] inline PairSingles
toaOfPair(const float* __restrict toaTables, const DnWord (&words)[BAND_COUNT], std::size_t j)
{
    const auto toa = [&](std::size_t band, std::size_t pixel) {
        return toaTables[band * DN_VALUES + dnOf(words[band], pixel)];
    };
    return PairSingles{toa(0, j),     toa(1, j),     toa(2, j),     toa(3, j),
                       toa(0, j + 1), toa(1, j + 1), toa(2, j + 1), toa(3, j + 1)};
}

// The inversion of two pixels' four bands through the terms of their slots.
[[gnu::always_inline]] inline PairSingles
invertPair(const ElevationSlotTerms* __restrict elevationTerms,
           const AerosolSlotTerms* __restrict aerosolTerms, const PairDoubles& gasTransmittance,
           const std::int32_t (&e)[2], const std::int32_t (&a)[2], const PairSingles& toa)
{
    const AerosolSlotTerms& first = aerosolTerms[a[0]];
    const AerosolSlotTerms& second = aerosolTerms[a[1]];
    const PairSingles path = pathReflectanceOf<PairSingles>(
        joined(elevationTerms[e[0]].rayleighPathPart, elevationTerms[e[1]].rayleighPathPart),
        joined(first.aerosolReflectance, second.aerosolReflectance),
        joined(first.aerosolResidual, second.aerosolResidual));
    return surfaceReflectanceOf(toa, path, gasTransmittance,
                                joined(first.transmission, second.transmission),
                                joined(first.sphericalAlbedo, second.sphericalAlbedo));
}

// Sixteen values of four pixels, band by band: element 4 i + j is band i
// of pixel j, from the results of pixels 0 and 1 and of pixels 2 and 3.
using BlockSingles =
    float __attribute__((vector_size(PIXELS_AT_ONCE * BAND_COUNT * sizeof(float))));
[[gnu::always_inline]] inline BlockSingles byBand(const PairSingles& pixels01,
                                                  const PairSingles& pixels23)
{
    return __builtin_shufflevector(pixels01, pixels23, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7,
                                   11, 15);
}

// Band i of four pixels, from their values band by band.
template <std::size_t BAND>
[[gnu::always_inline]] inline PixelSingles bandOf(const BlockSingles& values)
{
    constexpr std::size_t first = BAND * PIXELS_AT_ONCE;
    return __builtin_shufflevector(values, values, first, first + 1, first + 2, first + 3);
}

// Four values stored where `keep` is all ones, 0 where it is 0.
inline void storeKept(const PixelSingles& values, const PixelBits& keep, float* out)
{
    const PixelBits bits = std::bit_cast<PixelBits>(values) & keep;
    std::memcpy(out, &bits, sizeof bits);
}

// The surface reflectances of four pixels from k on, band by band (element
// 4 i + j is band i of pixel j), from the words of each band's DNs. Slot 0
// for a quantity without a map; the no-data slot's terms are read like any
// other's, and its pixels cleared by the caller.
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
[[gnu::always_inline]] inline BlockSingles
invertedFour(const ElevationSlotTerms* __restrict elevationTerms,
             const AerosolSlotTerms* __restrict aerosolTerms, const PairDoubles& gasTransmittance,
             const float* __restrict toaTables, const DnWord (&words)[BAND_COUNT],
             const std::int32_t* __restrict elevationSlots,
             const std::int32_t* __restrict aerosolSlots, std::size_t k)
{
    std::int32_t e[PIXELS_AT_ONCE] = {};
    std::int32_t a[PIXELS_AT_ONCE] = {};
    if constexpr (WITH_ELEVATION) {
        std::copy_n(elevationSlots + k, PIXELS_AT_ONCE, e);
    }
    if constexpr (WITH_AEROSOL) {
        std::copy_n(aerosolSlots + k, PIXELS_AT_ONCE, a);
    }
    const PairSingles pixels01 =
        invertPair(elevationTerms, aerosolTerms, gasTransmittance, {e[0], e[1]}, {a[0], a[1]},
                   toaOfPair(toaTables, words, 0));
    const PairSingles pixels23 =
        invertPair(elevationTerms, aerosolTerms, gasTransmittance, {e[2], e[3]}, {a[2], a[3]},
                   toaOfPair(toaTables, words, 2));
    return byBand(pixels01, pixels23);
}

// Four pixels, from k on. Terms are read through any slot, the no-data
// slot included (whose terms are there but unused): a pixel without map
// values, or a band with DN 0, is stored as 0.
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
[[gnu::always_inline]] inline void
invertFourPixels(const ElevationSlotTerms* __restrict elevationTerms,
                 const AerosolSlotTerms* __restrict aerosolTerms,
                 const PairDoubles& gasTransmittance, const BandBlock& block,
                 const std::int32_t* __restrict elevationSlots,
                 const std::int32_t* __restrict aerosolSlots, std::size_t k)
{
    static_assert(BAND_COUNT == PIXELS_AT_ONCE, "four bands by four pixels");
    PixelDns dns[BAND_COUNT];
    DnWord words[BAND_COUNT];
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        std::memcpy(&dns[i], block.dn + i * block.dnBandStride + k, sizeof dns[i]);
        words[i] = std::bit_cast<DnWord>(dns[i]);
    }
    const BlockSingles values = invertedFour<WITH_ELEVATION, WITH_AEROSOL>(
        elevationTerms, aerosolTerms, gasTransmittance, block.toaTables, words, elevationSlots,
        aerosolSlots, k);
    // All ones for a pixel whose maps have values, else all zeros.
    PixelBits eSlots{};
    PixelBits aSlots{};
    if constexpr (WITH_ELEVATION) {
        std::memcpy(&eSlots, elevationSlots + k, sizeof eSlots);
    }
    if constexpr (WITH_AEROSOL) {
        std::memcpy(&aSlots, aerosolSlots + k, sizeof aSlots);
    }
    const PixelBits keepPixel = (eSlots >= 0) & (aSlots >= 0);
    const auto store = [&](std::size_t band, const PixelSingles& bandValues) {
        storeKept(bandValues, __builtin_convertvector(dns[band] != 0, PixelBits) & keepPixel,
                  block.out + band * block.outBandStride + k);
    };
    store(0, bandOf<0>(values));
    store(1, bandOf<1>(values));
    store(2, bandOf<2>(values));
    store(3, bandOf<3>(values));
}

// The loop of applyPixelTermsToBands, built for the vector units the
// processor has. The last pixels (fewer than four) go through the same
// code from padded copies: DN 0 and slot 0 in the padding.
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
VECTOR_UNIT_CLONES void
invertPixelBands(const ElevationSlotTerms* __restrict elevationTerms,
                 const AerosolSlotTerms* __restrict aerosolTerms,
                 const BandDoubles& gasTransmittance, const BandBlock& block,
                 const std::int32_t* __restrict elevationSlots,
                 const std::int32_t* __restrict aerosolSlots, std::size_t count)
{
    const auto invert = invertFourPixels<WITH_ELEVATION, WITH_AEROSOL>;
    const PairDoubles gas = joined(gasTransmittance, gasTransmittance);
    // The block's fields in locals, which the stores cannot change.
    const BandBlock local = block;
    std::size_t k = 0;
    for (; k + PIXELS_AT_ONCE <= count; k += PIXELS_AT_ONCE) {
        invert(elevationTerms, aerosolTerms, gas, local, elevationSlots, aerosolSlots, k);
    }
    const std::size_t left = count - k;
    if (left == 0) {
        return;
    }
    std::int32_t elevationTail[PIXELS_AT_ONCE] = {};
    std::int32_t aerosolTail[PIXELS_AT_ONCE] = {};
    std::uint16_t dnTail[BAND_COUNT][PIXELS_AT_ONCE] = {};
    float outTail[BAND_COUNT][PIXELS_AT_ONCE] = {};
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        std::copy_n(block.dn + i * block.dnBandStride + k, left, dnTail[i]);
    }
    if (WITH_ELEVATION) {
        std::copy_n(elevationSlots + k, left, elevationTail);
    }
    if (WITH_AEROSOL) {
        std::copy_n(aerosolSlots + k, left, aerosolTail);
    }
    const BandBlock tail{block.toaTables, dnTail[0], PIXELS_AT_ONCE, outTail[0], PIXELS_AT_ONCE};
    invert(elevationTerms, aerosolTerms, gas, tail, elevationTail, aerosolTail, 0);
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        std::copy_n(outTail[i], left, block.out + i * block.outBandStride + k);
    }
}

#ifdef AVX512_LOOP
// The same loop written for AVX-512 (F, VL, BW and DQ) directly: two pixels
// per vector of eight doubles, the DNs of four pixels of a band as one word,
// and the results stored band by band under the DN and slot masks. What
// GCC makes of the portable loop for AVX-512 spills registers and runs
// about a fifth slower. The formulas are the model's own, on these vectors.
#define AVX512_UNIT __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq")))

bool hasAvx512()
{
    __builtin_cpu_init(); // at once if done, and needed in a library loaded late
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")
           && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
}

// Four values of a band stored where the pixel is kept and its DN is not 0,
// else 0.
[[gnu::always_inline]] AVX512_UNIT inline void
storeKeptAvx512(float* out, const PixelSingles& values, __mmask8 keepPixel, __m128i dns)
{
    const __mmask8 keep = keepPixel & _mm_cmpneq_epi16_mask(dns, _mm_setzero_si128());
    _mm_storeu_ps(out, _mm_maskz_mov_ps(keep, std::bit_cast<__m128>(values)));
}

template <bool WITH_ELEVATION, bool WITH_AEROSOL>
AVX512_UNIT void invertPixelBandsAvx512(const ElevationSlotTerms* __restrict elevationTerms,
                                        const AerosolSlotTerms* __restrict aerosolTerms,
                                        const BandDoubles& gasTransmittance, const BandBlock& block,
                                        const std::int32_t* __restrict elevationSlots,
                                        const std::int32_t* __restrict aerosolSlots,
                                        std::size_t count)
{
    const PairDoubles gas = joined(gasTransmittance, gasTransmittance);
    const float* __restrict toaTables = block.toaTables;
    const std::uint16_t* __restrict dn0 = block.dn;
    const std::uint16_t* __restrict dn1 = block.dn + block.dnBandStride;
    const std::size_t dnTwoBands = 2 * block.dnBandStride;
    float* __restrict out0 = block.out;
    float* __restrict out1 = block.out + block.outBandStride;
    const std::size_t outTwoBands = 2 * block.outBandStride;
    const __m128i zero = _mm_setzero_si128();
    std::size_t k = 0;
    for (; k + PIXELS_AT_ONCE <= count; k += PIXELS_AT_ONCE) {
        const __m128i dns[BAND_COUNT] = {
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dn0 + k)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dn1 + k)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dn0 + dnTwoBands + k)),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dn1 + dnTwoBands + k))};
        const DnWord words[BAND_COUNT] = {static_cast<DnWord>(_mm_cvtsi128_si64(dns[0])),
                                          static_cast<DnWord>(_mm_cvtsi128_si64(dns[1])),
                                          static_cast<DnWord>(_mm_cvtsi128_si64(dns[2])),
                                          static_cast<DnWord>(_mm_cvtsi128_si64(dns[3]))};
        const BlockSingles values = invertedFour<WITH_ELEVATION, WITH_AEROSOL>(
            elevationTerms, aerosolTerms, gas, toaTables, words, elevationSlots, aerosolSlots, k);
        // A band with DN 0, or every band of a pixel without map values, is 0.
        __mmask8 keepPixel = 0xF;
        if constexpr (WITH_ELEVATION) {
            keepPixel &= _mm_cmpge_epi32_mask(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(elevationSlots + k)), zero);
        }
        if constexpr (WITH_AEROSOL) {
            keepPixel &= _mm_cmpge_epi32_mask(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(aerosolSlots + k)), zero);
        }
        storeKeptAvx512(out0 + k, bandOf<0>(values), keepPixel, dns[0]);
        storeKeptAvx512(out1 + k, bandOf<1>(values), keepPixel, dns[1]);
        storeKeptAvx512(out0 + outTwoBands + k, bandOf<2>(values), keepPixel, dns[2]);
        storeKeptAvx512(out1 + outTwoBands + k, bandOf<3>(values), keepPixel, dns[3]);
    }
    // The last pixels (fewer than four) through the portable loop.
    if (k < count) {
        const BandBlock rest{toaTables, block.dn + k, block.dnBandStride, block.out + k,
                             block.outBandStride};
        invertPixelBands<WITH_ELEVATION, WITH_AEROSOL>(
            elevationTerms, aerosolTerms, gasTransmittance, rest,
            WITH_ELEVATION ? elevationSlots + k : nullptr,
            WITH_AEROSOL ? aerosolSlots + k : nullptr, count - k);
    }
}
#endif

} // namespace

const char* mapQuantityName(MapQuantity quantity)
{
    return quantity == MapQuantity::elevation ? "elevation" : "aerosol optical depth";
}

float quantisedMapValue(MapQuantity quantity, float value)
{
    const QuantityRule rule = ruleOf(quantity);
    if (!accepted(rule, value)) {
        throw outOfRange(quantity, value);
    }
    return valueOfKey(rule, keyOf(rule, value));
}

std::string mapQuantisationText(MapQuantity quantity)
{
    const QuantityRule rule = ruleOf(quantity);
    return shortest(valueOfKey(rule, 1)) + rule.unit;
}

PixelTermTables pixelTermTables(const RunParameters& scene)
{
    PixelTermTables tables;
    tables.scene = scene;
    tables.geometry = sceneGeometry(scene);
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        tables.gasTransmittance[bandIndex(band)] =
            static_cast<double>(gasTransmittance(band, scene.solarZenithDeg, scene.viewZenithDeg,
                                                 scene.waterVapourColumn, scene.ozoneColumn)
                                    .gasTransmittance);
    }
    tables.firstElevationKey = firstKey(MapQuantity::elevation);
    tables.firstAerosolKey = firstKey(MapQuantity::aerosolOpticalDepth);
    tables.elevationFilled.assign(slotCount(MapQuantity::elevation), 0);
    tables.aerosolFilled.assign(slotCount(MapQuantity::aerosolOpticalDepth), 0);
    tables.elevationTerms.resize(tables.elevationFilled.size() - MAP_NO_DATA_SLOT);
    tables.aerosolTerms.resize(tables.aerosolFilled.size() - MAP_NO_DATA_SLOT);
    fillSlot(tables, MapQuantity::elevation, scene.elevationMetres, 0);
    fillSlot(tables, MapQuantity::aerosolOpticalDepth, scene.aerosolOpticalDepth, 0);
    tables.elevationFilled[0] = 1;
    tables.aerosolFilled[0] = 1;
    tables.elevationMet.assign(tables.elevationFilled.size(), 0);
    tables.aerosolMet.assign(tables.aerosolFilled.size(), 0);
    return tables;
}

void mergeFilledSlots(PixelTermTables& tables, const PixelTermTables& from)
{
    const auto merge = [](std::vector<std::uint8_t>& filled, auto& terms, std::size_t& distinct,
                          const std::vector<std::uint8_t>& fromFilled, const auto& fromTerms) {
        for (std::size_t slot = 0; slot < filled.size(); ++slot) {
            if (fromFilled[slot] && !filled[slot]) {
                const std::size_t entry = slot - MAP_NO_DATA_SLOT;
                terms[entry] = fromTerms[entry];
                filled[slot] = 1;
                ++distinct;
            }
        }
    };
    merge(tables.elevationFilled, tables.elevationTerms, tables.distinctElevations,
          from.elevationFilled, from.elevationTerms);
    merge(tables.aerosolFilled, tables.aerosolTerms, tables.distinctAerosolDepths,
          from.aerosolFilled, from.aerosolTerms);
}

void mapSlots(PixelTermTables& tables, MapQuantity quantity, const float* values,
              const std::uint8_t* valid, std::int32_t* slots, std::size_t count)
{
    const QuantityRule rule = ruleOf(quantity);
    const bool elevation = quantity == MapQuantity::elevation;
    std::vector<std::uint8_t>& filled = elevation ? tables.elevationFilled : tables.aerosolFilled;
    std::vector<std::uint8_t>& met = elevation ? tables.elevationMet : tables.aerosolMet;
    std::size_t& distinct = elevation ? tables.distinctElevations : tables.distinctAerosolDepths;
    const std::int64_t first = elevation ? tables.firstElevationKey : tables.firstAerosolKey;
    // Slots first, by the quick pass.
    const double perUnit = stepsPerUnit(rule);
    const SlotRange range = quickSlots(perUnit, perUnit == 1.0, rule.minimum, rule.maximum,
                                       static_cast<std::int32_t>(first), values, slots, count);
    const auto fill = [&](std::int32_t slot) {
        const std::int64_t key = slot - 1 + first;
        fillSlot(tables, quantity, valueOfKey(rule, key), static_cast<std::size_t>(slot));
        ++distinct;
    };
    if (valid == nullptr && range.least != SLOT_LOOK_AGAIN) {
        // It settled every value. Where every slot of its range is filled
        // already (most blocks of a smooth map), that is all.
        const auto least = static_cast<std::size_t>(std::max(range.least, 0));
        const auto greatest = static_cast<std::size_t>(range.greatest);
        if (std::all_of(filled.begin() + static_cast<std::ptrdiff_t>(least),
                        filled.begin() + static_cast<std::ptrdiff_t>(greatest) + 1,
                        [](std::uint8_t isFilled) { return isFilled != 0; })) {
            return;
        }
        // Otherwise mark the slots the block meets (a no-data slot marks
        // slot 0, which is always filled), then walk the range once,
        // filling the slots met for the first time.
        markMet(slots, count, met.data());
        for (std::size_t slot = least; slot <= greatest; ++slot) {
            if (met[slot] && !filled[slot]) {
                fill(static_cast<std::int32_t>(slot));
                filled[slot] = 1;
            }
            met[slot] = 0;
        }
        met[0] = 0;
        return;
    }
    // Otherwise one value at a time: the values it left, and the slots not
    // met before.
    for (std::size_t k = 0; k < count; ++k) {
        std::int32_t slot = slots[k];
        if (valid != nullptr && valid[k] == 0) {
            slots[k] = MAP_NO_DATA_SLOT;
            continue;
        }
        if (slot == MAP_NO_DATA_SLOT) {
            continue;
        }
        if (slot == SLOT_LOOK_AGAIN) {
            const float value = values[k];
            if (!accepted(rule, value)) {
                throw outOfRange(quantity, value);
            }
            slot = static_cast<std::int32_t>(keyOf(rule, value) - first) + 1;
            slots[k] = slot;
        }
        if (!filled[static_cast<std::size_t>(slot)]) {
            fill(slot);
            filled[static_cast<std::size_t>(slot)] = 1;
        }
    }
}

void applyPixelTerms(const PixelTermTables& tables, int band,
                     std::span<const float, DN_VALUES> toaTable, const std::uint16_t* dn,
                     const MapBlockSlots& slots, float* out, std::size_t count)
{
    const std::size_t i = bandIndex(band);
    const auto invert = slots.elevation != nullptr
                            ? (slots.aerosolOpticalDepth != nullptr ? invertPixels<true, true>
                                                                    : invertPixels<true, false>)
                            : (slots.aerosolOpticalDepth != nullptr ? invertPixels<false, true>
                                                                    : invertPixels<false, false>);
    invert(slotTerms(tables.elevationTerms), slotTerms(tables.aerosolTerms), i,
           tables.gasTransmittance[i], toaTable.data(), dn, slots.elevation,
           slots.aerosolOpticalDepth, out, count);
}

void applyPixelTermsToBands(const PixelTermTables& tables, const float* toaTables,
                            const std::uint16_t* dn, std::size_t dnBandStride,
                            const MapBlockSlots& slots, float* out, std::size_t outBandStride,
                            std::size_t count)
{
    const bool withElevation = slots.elevation != nullptr;
    const bool withAerosol = slots.aerosolOpticalDepth != nullptr;
    auto invert =
        withElevation
            ? (withAerosol ? invertPixelBands<true, true> : invertPixelBands<true, false>)
            : (withAerosol ? invertPixelBands<false, true> : invertPixelBands<false, false>);
#ifdef AVX512_LOOP
    if (hasAvx512()) {
        invert = withElevation ? (withAerosol ? invertPixelBandsAvx512<true, true>
                                              : invertPixelBandsAvx512<true, false>)
                               : (withAerosol ? invertPixelBandsAvx512<false, true>
                                              : invertPixelBandsAvx512<false, false>);
    }
#endif
    const BandBlock block{toaTables, dn, dnBandStride, out, outBandStride};
    invert(slotTerms(tables.elevationTerms), slotTerms(tables.aerosolTerms),
           tables.gasTransmittance, block, slots.elevation, slots.aerosolOpticalDepth, count);
}

} // namespace talvex
