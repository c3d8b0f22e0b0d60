#include "pixel_terms.h"

#include "failure.h"

#include <algorithm>
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
    } else {
        p.aerosolOpticalDepth = value;
    }
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::size_t i = bandIndex(band);
        const BandTerms t = bandTerms(band, p);
        if (quantity == MapQuantity::elevation) {
            tables.elevationTerms[i][slot] = {
                rayleighPathPart(t.rayleighReflectance, t.rayleighResidual)};
        } else {
            const double gas = static_cast<double>(t.gas.gasTransmittance);
            tables.aerosolTerms[i][slot] = {
                static_cast<double>(t.aerosolReflectance), static_cast<double>(t.aerosolResidual),
                inversionTransmission(t.downTransmission, t.upTransmission, gas),
                static_cast<double>(t.sphericalAlbedo)};
        }
        tables.gasTransmittance[i] = t.gas.gasTransmittance;
    }
}

// Marks a value whose key the quick pass leaves to the exact rule.
constexpr std::int32_t KEY_LOOK_AGAIN = std::numeric_limits<std::int32_t>::min();

// The keys of accepted values that keyOf() gives without its fix-up, by a
// branch-free loop the compiler vectorises; KEY_LOOK_AGAIN for any other
// value (NaN, outside the range, or one the fix-up would settle).
VECTOR_UNIT_CLONES void quickKeys(double step, float minimum, float maximum,
                                  const float* __restrict values, std::int32_t* __restrict keys,
                                  std::size_t count)
{
    for (std::size_t k = 0; k < count; ++k) {
        const float value = values[k];
        const bool inRange = value >= minimum && value <= maximum; // false for NaN
        const double steps = static_cast<double>(inRange ? value : minimum) / step;
        const auto key = static_cast<std::int32_t>(steps + std::copysign(0.5, steps));
        const bool exact = std::fabs(steps - static_cast<double>(key)) < 0.5;
        keys[k] = inRange && exact ? key : KEY_LOOK_AGAIN;
    }
}

// The loop of applyPixelTerms, built for the vector units the processor has.
// Branch-free, so that the compiler vectorises it: a pixel without a value
// (DN 0, a no-data slot) goes through slot 0 and its result is then cleared.
// The slot arrays of a quantity without a map are not read (slot 0).
template <bool WITH_ELEVATION, bool WITH_AEROSOL>
VECTOR_UNIT_CLONES void
invertPixels(const ElevationSlotTerms* __restrict elevationTerms,
             const AerosolSlotTerms* __restrict aerosolTerms, double gasTransmittance,
             const float* __restrict toaTable, const std::uint16_t* __restrict dn,
             const std::int32_t* __restrict elevationSlots,
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
        const float reflectance =
            surfaceReflectance(toaTable[value],
                               pathReflectance(elevationTerms[e].rayleighPathPart,
                                               aerosol.aerosolReflectance, aerosol.aerosolResidual),
                               gasTransmittance, aerosol.transmission, aerosol.sphericalAlbedo);
        std::uint32_t bits;
        std::memcpy(&bits, &reflectance, sizeof bits);
        bits &= static_cast<std::uint32_t>(keep);
        std::memcpy(&out[k], &bits, sizeof bits);
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
    tables.firstElevationKey = firstKey(MapQuantity::elevation);
    tables.firstAerosolKey = firstKey(MapQuantity::aerosolOpticalDepth);
    tables.elevationFilled.assign(slotCount(MapQuantity::elevation), 0);
    tables.aerosolFilled.assign(slotCount(MapQuantity::aerosolOpticalDepth), 0);
    for (std::size_t i = 0; i < BAND_COUNT; ++i) {
        tables.elevationTerms[i].resize(tables.elevationFilled.size());
        tables.aerosolTerms[i].resize(tables.aerosolFilled.size());
    }
    fillSlot(tables, MapQuantity::elevation, scene.elevationMetres, 0);
    fillSlot(tables, MapQuantity::aerosolOpticalDepth, scene.aerosolOpticalDepth, 0);
    tables.elevationFilled[0] = 1;
    tables.aerosolFilled[0] = 1;
    return tables;
}

void mapSlots(PixelTermTables& tables, MapQuantity quantity, const float* values,
              const std::uint8_t* valid, std::int32_t* slots, std::size_t count)
{
    const QuantityRule rule = ruleOf(quantity);
    const bool elevation = quantity == MapQuantity::elevation;
    std::vector<std::uint8_t>& filled = elevation ? tables.elevationFilled : tables.aerosolFilled;
    std::size_t& distinct = elevation ? tables.distinctElevations : tables.distinctAerosolDepths;
    const std::int64_t first = elevation ? tables.firstElevationKey : tables.firstAerosolKey;
    // Keys first, into `slots`, then each key to its slot.
    quickKeys(rule.step, rule.minimum, rule.maximum, values, slots, count);
    for (std::size_t k = 0; k < count; ++k) {
        std::int64_t key = slots[k];
        if (valid != nullptr && valid[k] == 0) {
            slots[k] = MAP_NO_DATA_SLOT;
            continue;
        }
        if (key == KEY_LOOK_AGAIN) {
            const float value = values[k];
            if (std::isnan(value)) {
                slots[k] = MAP_NO_DATA_SLOT;
                continue;
            }
            if (!accepted(rule, value)) {
                throw outOfRange(quantity, value);
            }
            key = keyOf(rule, value);
        }
        const auto slot = static_cast<std::size_t>(key - first) + 1;
        if (!filled[slot]) {
            fillSlot(tables, quantity, valueOfKey(rule, key), slot);
            filled[slot] = 1;
            ++distinct;
        }
        slots[k] = static_cast<std::int32_t>(slot);
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
    invert(tables.elevationTerms[i].data(), tables.aerosolTerms[i].data(),
           static_cast<double>(tables.gasTransmittance[i]), toaTable.data(), dn, slots.elevation,
           slots.aerosolOpticalDepth, out, count);
}

} // namespace talvex
