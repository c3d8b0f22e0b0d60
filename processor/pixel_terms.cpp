#include "pixel_terms.h"

#include "failure.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

// The vectorised loops are built once for each vector unit an x86-64
// processor may have and chosen when the program starts. Clang cannot clone
// function templates, and other processors have other units: there, one
// build for the target.
#if defined(__x86_64__) && !defined(__clang__)
#define VECTOR_UNIT_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
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
            tables.elevationTerms[slot].rayleighPathPart[i] =
                rayleighPathPart(r.rayleighReflectance, r.rayleighResidual);
        }
        return;
    }
    p.aerosolOpticalDepth = value;
    AerosolSlotTerms& terms = tables.aerosolTerms[slot];
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
// Branch-free, so that the compiler vectorises it: a pixel without a value
// (DN 0, a no-data slot) goes through slot 0 and its result is then cleared.
// The slot arrays of a quantity without a map are not read (slot 0).
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
        std::int32_t e = WITH_ELEVATION ? elevationSlots[k] : 0;
        std::int32_t a = WITH_AEROSOL ? aerosolSlots[k] : 0;
        const std::uint32_t value = dn[k];
        // All ones for a pixel with a value, else all zeros.
        const std::int32_t keep = -static_cast<std::int32_t>((value != 0) & (e >= 0) & (a >= 0));
        e &= keep;
        a &= keep;
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

// The four bands of a pixel go through the inversion as one vector, with
// its terms loaded once as vectors of the four bands; four pixels at a time,
// whose values are loaded and stored band by band (GCC vectors of four
// pixels of one band).
constexpr std::size_t PIXELS_AT_ONCE = 4;
using PixelBits = std::int32_t __attribute__((vector_size(PIXELS_AT_ONCE * sizeof(std::int32_t))));
using PixelSingles = float __attribute__((vector_size(PIXELS_AT_ONCE * sizeof(float))));
using PixelDns = std::uint16_t __attribute__((vector_size(PIXELS_AT_ONCE * sizeof(std::uint16_t))));

// The DNs of four pixels of a band, widened.
inline PixelBits pixelDns(const std::uint16_t* dn)
{
    PixelDns values;
    std::memcpy(&values, dn, sizeof values);
    return __builtin_convertvector(values, PixelBits);
}

// The transpose of four vectors of four: out[j][i] = in_i[j].
template <typename In, typename Out>
inline void transposed(const In& in0, const In& in1, const In& in2, const In& in3, Out (&out)[4])
{
    const In low01 = __builtin_shufflevector(in0, in1, 0, 4, 1, 5);
    const In high01 = __builtin_shufflevector(in0, in1, 2, 6, 3, 7);
    const In low23 = __builtin_shufflevector(in2, in3, 0, 4, 1, 5);
    const In high23 = __builtin_shufflevector(in2, in3, 2, 6, 3, 7);
    out[0] = std::bit_cast<Out>(__builtin_shufflevector(low01, low23, 0, 1, 4, 5));
    out[1] = std::bit_cast<Out>(__builtin_shufflevector(low01, low23, 2, 3, 6, 7));
    out[2] = std::bit_cast<Out>(__builtin_shufflevector(high01, high23, 0, 1, 4, 5));
    out[3] = std::bit_cast<Out>(__builtin_shufflevector(high01, high23, 2, 3, 6, 7));
}

// Four values stored where `keep` is all ones, 0 where it is 0.
inline void storeKept(const PixelSingles& values, const PixelBits& keep, float* out)
{
    const PixelBits bits = std::bit_cast<PixelBits>(values) & keep;
    std::memcpy(out, &bits, sizeof bits);
}

// The band-sequential pointers of one block.
struct BandPointers {
    const float* toa[BAND_COUNT];
    const std::uint16_t* dn[BAND_COUNT];
    float* out[BAND_COUNT];
};

// Four pixels, from k on: their DNs and TOA reflectances are loaded band by
// band, turned into one vector of four bands per pixel for the inversion,
// and the results turned back and stored band by band.
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
[[gnu::always_inline]] inline void
invertFourPixels(const ElevationSlotTerms* __restrict elevationTerms,
                 const AerosolSlotTerms* __restrict aerosolTerms,
                 const BandDoubles& gasTransmittance, const BandPointers& p,
                 const std::int32_t* __restrict elevationSlots,
                 const std::int32_t* __restrict aerosolSlots, std::size_t k)
{
    static_assert(BAND_COUNT == PIXELS_AT_ONCE, "four bands by four pixels");
    PixelBits e{};
    PixelBits a{};
    if constexpr (WITH_ELEVATION) {
        std::memcpy(&e, elevationSlots + k, sizeof e);
    }
    if constexpr (WITH_AEROSOL) {
        std::memcpy(&a, aerosolSlots + k, sizeof a);
    }
    // All ones for a pixel whose maps have values, else all zeros.
    const PixelBits keepPixel = (e >= 0) & (a >= 0);
    // The DNs, as vectors for the masks; read again one by one as indices,
    // which costs less than taking them out of the vectors.
    PixelBits value[BAND_COUNT];
    PixelSingles toaOfBand[BAND_COUNT];
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        value[i] = pixelDns(p.dn[i] + k);
        const float* __restrict table = p.toa[i];
        const std::uint16_t* __restrict dn = p.dn[i] + k;
        toaOfBand[i] = PixelSingles{table[dn[0]], table[dn[1]], table[dn[2]], table[dn[3]]};
    }
    BandSingles toa[PIXELS_AT_ONCE];
    transposed(toaOfBand[0], toaOfBand[1], toaOfBand[2], toaOfBand[3], toa);
    BandSingles reflectance[PIXELS_AT_ONCE];
    for (std::size_t j = 0; j < PIXELS_AT_ONCE; ++j) {
        // A pixel without map values goes through slot 0; it is cleared below.
        const std::int32_t eOfPixel = WITH_ELEVATION ? elevationSlots[k + j] : 0;
        const std::int32_t aOfPixel = WITH_AEROSOL ? aerosolSlots[k + j] : 0;
        const std::int32_t keep = -static_cast<std::int32_t>((eOfPixel >= 0) & (aOfPixel >= 0));
        const AerosolSlotTerms& aerosol = aerosolTerms[aOfPixel & keep];
        reflectance[j] = surfaceReflectanceOf(
            toa[j],
            pathReflectanceOf<BandSingles>(elevationTerms[eOfPixel & keep].rayleighPathPart,
                                           aerosol.aerosolReflectance, aerosol.aerosolResidual),
            gasTransmittance, aerosol.transmission, aerosol.sphericalAlbedo);
    }
    PixelSingles byBand[BAND_COUNT];
    transposed(reflectance[0], reflectance[1], reflectance[2], reflectance[3], byBand);
    // A band with DN 0, or every band of a pixel without map values, is 0.
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        storeKept(byBand[i], (value[i] != 0) & keepPixel, p.out[i] + k);
    }
}

// The loop of applyPixelTermsToBands, built for the vector units the
// processor has. The last pixels (fewer than four) go through the same
// code from padded copies: DN 0 and slot 0 in the padding.
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
VECTOR_UNIT_CLONES void
invertPixelBands(const ElevationSlotTerms* __restrict elevationTerms,
                 const AerosolSlotTerms* __restrict aerosolTerms,
                 const BandDoubles& gasTransmittance, const BandPointers& block,
                 const std::int32_t* __restrict elevationSlots,
                 const std::int32_t* __restrict aerosolSlots, std::size_t count)
{
    const auto invert = invertFourPixels<WITH_ELEVATION, WITH_AEROSOL>;
    std::size_t k = 0;
    for (; k + PIXELS_AT_ONCE <= count; k += PIXELS_AT_ONCE) {
        invert(elevationTerms, aerosolTerms, gasTransmittance, block, elevationSlots, aerosolSlots,
               k);
    }
    const std::size_t left = count - k;
    if (left == 0) {
        return;
    }
    std::int32_t elevationTail[PIXELS_AT_ONCE] = {};
    std::int32_t aerosolTail[PIXELS_AT_ONCE] = {};
    std::uint16_t dnTail[BAND_COUNT][PIXELS_AT_ONCE] = {};
    float outTail[BAND_COUNT][PIXELS_AT_ONCE] = {};
    BandPointers tail{};
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        std::copy_n(block.dn[i] + k, left, dnTail[i]);
        tail.toa[i] = block.toa[i];
        tail.dn[i] = dnTail[i];
        tail.out[i] = outTail[i];
    }
    if (WITH_ELEVATION) {
        std::copy_n(elevationSlots + k, left, elevationTail);
    }
    if (WITH_AEROSOL) {
        std::copy_n(aerosolSlots + k, left, aerosolTail);
    }
    invert(elevationTerms, aerosolTerms, gasTransmittance, tail, elevationTail, aerosolTail, 0);
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        std::copy_n(outTail[i], left, block.out[i] + k);
    }
}

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
    tables.elevationTerms.resize(tables.elevationFilled.size());
    tables.aerosolTerms.resize(tables.aerosolFilled.size());
    fillSlot(tables, MapQuantity::elevation, scene.elevationMetres, 0);
    fillSlot(tables, MapQuantity::aerosolOpticalDepth, scene.aerosolOpticalDepth, 0);
    tables.elevationFilled[0] = 1;
    tables.aerosolFilled[0] = 1;
    tables.elevationMet.assign(tables.elevationFilled.size(), 0);
    tables.aerosolMet.assign(tables.aerosolFilled.size(), 0);
    return tables;
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
    invert(tables.elevationTerms.data(), tables.aerosolTerms.data(), i, tables.gasTransmittance[i],
           toaTable.data(), dn, slots.elevation, slots.aerosolOpticalDepth, out, count);
}

void applyPixelTermsToBands(const PixelTermTables& tables, const float* toaTables,
                            const std::uint16_t* dn, std::size_t dnBandStride,
                            const MapBlockSlots& slots, float* out, std::size_t outBandStride,
                            std::size_t count)
{
    const auto invert =
        slots.elevation != nullptr
            ? (slots.aerosolOpticalDepth != nullptr ? invertPixelBands<true, true>
                                                    : invertPixelBands<true, false>)
            : (slots.aerosolOpticalDepth != nullptr ? invertPixelBands<false, true>
                                                    : invertPixelBands<false, false>);
    BandPointers block{};
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        block.toa[i] = toaTables + i * DN_VALUES;
        block.dn[i] = dn + i * dnBandStride;
        block.out[i] = out + i * outBandStride;
    }
    invert(tables.elevationTerms.data(), tables.aerosolTerms.data(), tables.gasTransmittance, block,
           slots.elevation, slots.aerosolOpticalDepth, count);
}

} // namespace talvex
