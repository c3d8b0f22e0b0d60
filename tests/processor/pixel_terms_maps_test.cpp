// Surface reflectance with per-pixel elevation and aerosol optical depth:
// every pixel against a whole-scene run at its quantised values, and a few
// pixels against stored bit patterns.
#include "band_tables.h"
#include "failure.h"
#include "pixel_terms.h"
#include "printed_value.h"
#include "reference_scenes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <tuple>
#include <utility>
#include <vector>

namespace talvex {
namespace {

using testing::bitsOf;
using testing::exampleScene;

std::vector<float> toaTable(int band, const RunParameters& p)
{
    std::vector<float> table(DN_VALUES);
    fillBandTable(Reflectance::topOfAtmosphere, band, p, radiometricSetup(p),
                  DnTable(table.data(), DN_VALUES));
    return table;
}

// What a whole-scene run with these scene values writes for `dn` in `band`;
// the tables of the scene values already met are kept.
float sceneRunValue(const RunParameters& scene, int band, float elevationMetres,
                    float aerosolOpticalDepth, std::uint16_t dn)
{
    static std::map<std::tuple<int, float, float>, std::vector<float>> tables;
    std::vector<float>& table = tables[{band, elevationMetres, aerosolOpticalDepth}];
    if (table.empty()) {
        RunParameters p = scene;
        p.elevationMetres = elevationMetres;
        p.aerosolOpticalDepth = aerosolOpticalDepth;
        table.resize(DN_VALUES);
        fillBandTable(Reflectance::surface, band, p, radiometricSetup(p),
                      DnTable(table.data(), DN_VALUES));
    }
    return table[dn];
}

struct MapBlock {
    std::vector<std::uint16_t> dn;
    std::vector<float> elevation;
    std::vector<float> aerosol;
};

// Pixels over hills and haze, values between the steps and on the half steps.
MapBlock hillyBlock()
{
    MapBlock block;
    const std::vector<float> elevations = {-430.2f, 0.0f,    0.5f,    54.49f,
                                           1234.5f, 2999.7f, 8848.9f, -0.5f};
    const std::vector<float> depths = {0.0f,  0.0004f, 0.0005f, 0.1234f,
                                       0.25f, 0.8765f, 3.0f,    9.9995f};
    for (std::size_t e = 0; e < elevations.size(); ++e) {
        for (std::size_t a = 0; a < depths.size(); ++a) {
            for (std::uint16_t dn : {1, 77, 950, 2047, 4095, 65535}) {
                block.dn.push_back(static_cast<std::uint16_t>(dn + e + a));
                block.elevation.push_back(elevations[e]);
                block.aerosol.push_back(depths[a]);
            }
        }
    }
    return block;
}

TEST(PixelTermsMaps, EveryPixelEqualsASceneRunAtItsQuantisedValues)
{
    const RunParameters scene = exampleScene();
    PixelTermTables tables = pixelTermTables(scene);
    const MapBlock block = hillyBlock();
    const std::size_t n = block.dn.size();
    std::vector<std::int32_t> elevationSlots(n);
    std::vector<std::int32_t> aerosolSlots(n);
    mapSlots(tables, MapQuantity::elevation, block.elevation.data(), nullptr, elevationSlots.data(),
             n);
    mapSlots(tables, MapQuantity::aerosolOpticalDepth, block.aerosol.data(), nullptr,
             aerosolSlots.data(), n);
    EXPECT_EQ(tables.distinctElevations, 8u);
    EXPECT_EQ(tables.distinctAerosolDepths, 7u); // 0.0004 quantises to 0

    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::vector<float> toa = toaTable(band, scene);
        std::vector<float> out(n);
        applyPixelTerms(tables, band, std::span<const float, DN_VALUES>(toa.data(), DN_VALUES),
                        block.dn.data(), {elevationSlots.data(), aerosolSlots.data()}, out.data(),
                        n);
        for (std::size_t k = 0; k < n; ++k) {
            const float elevation = quantisedMapValue(MapQuantity::elevation, block.elevation[k]);
            const float aerosol =
                quantisedMapValue(MapQuantity::aerosolOpticalDepth, block.aerosol[k]);
            ASSERT_EQ(bitsOf(out[k]),
                      bitsOf(sceneRunValue(scene, band, elevation, aerosol, block.dn[k])))
                << "band " << band << ", pixel " << k << ": elevation " << block.elevation[k]
                << ", depth " << block.aerosol[k] << ", DN " << block.dn[k];
        }
    }
}

TEST(PixelTermsMaps, WithoutMapsTheSceneValuesGiveTheConstantTable)
{
    RunParameters scene = exampleScene();
    scene.elevationMetres = 55.3f; // not on a step: the scene value is used as it is
    const PixelTermTables tables = pixelTermTables(scene);
    std::vector<std::uint16_t> dn(DN_VALUES);
    for (std::size_t k = 0; k < dn.size(); ++k) {
        dn[k] = static_cast<std::uint16_t>(k);
    }
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::vector<float> toa = toaTable(band, scene);
        std::vector<float> constant(DN_VALUES);
        fillBandTable(Reflectance::surface, band, scene, radiometricSetup(scene),
                      DnTable(constant.data(), DN_VALUES));
        std::vector<float> out(DN_VALUES);
        applyPixelTerms(tables, band, std::span<const float, DN_VALUES>(toa.data(), DN_VALUES),
                        dn.data(), {}, out.data(), dn.size());
        for (std::size_t k = 0; k < DN_VALUES; ++k) {
            ASSERT_EQ(bitsOf(out[k]), bitsOf(constant[k])) << "band " << band << ", DN " << k;
        }
    }
}

// Stored bit patterns: the example scene at a few DNs, elevations and optical
// depths, as TALVEX-V1 wrote them with the quantised values (0, 1000, 3000,
// 431, 8849 m; 0.25, 0.05, 0.123, 4) in its parameter stream.
TEST(PixelTermsMaps, StoredValues)
{
    struct Stored {
        int band;
        std::uint16_t dn;
        float elevation;
        float aerosol;
        float expected;
    };
    const Stored stored[] = {
        {2, 800, 0.0f, 0.25f, 0x1.b8e50ap-3f},      {2, 800, 1000.2f, 0.25f, 0x1.c2237ep-3f},
        {2, 800, 2999.6f, 0.0504f, 0x1.c55912p-3f}, {3, 1500, 431.0f, 0.1234f, 0x1.95b33ap-2f},
        {5, 3000, 8848.9f, 4.0f, 0x1.1e2778p+1f},
    };
    const RunParameters scene = exampleScene();
    PixelTermTables tables = pixelTermTables(scene);
    for (const Stored& s : stored) {
        std::int32_t elevationSlot = 0;
        std::int32_t aerosolSlot = 0;
        mapSlots(tables, MapQuantity::elevation, &s.elevation, nullptr, &elevationSlot, 1);
        mapSlots(tables, MapQuantity::aerosolOpticalDepth, &s.aerosol, nullptr, &aerosolSlot, 1);
        const std::vector<float> toa = toaTable(s.band, scene);
        float out = 0.0f;
        applyPixelTerms(tables, s.band, std::span<const float, DN_VALUES>(toa.data(), DN_VALUES),
                        &s.dn, {&elevationSlot, &aerosolSlot}, &out, 1);
        EXPECT_EQ(bitsOf(out), bitsOf(s.expected))
            << "band " << s.band << ", DN " << s.dn << ": " << std::hexfloat << out;
    }
}

TEST(PixelTermsMaps, QuantisationIsTheDecimalStepAsTheStreamReadsIt)
{
    EXPECT_EQ(quantisedMapValue(MapQuantity::elevation, 1234.5f), 1235.0f);
    EXPECT_EQ(quantisedMapValue(MapQuantity::elevation, 1234.49f), 1234.0f);
    EXPECT_EQ(quantisedMapValue(MapQuantity::elevation, -0.4f), 0.0f);
    EXPECT_EQ(quantisedMapValue(MapQuantity::elevation, -430.5f), -431.0f);
    EXPECT_EQ(bitsOf(quantisedMapValue(MapQuantity::aerosolOpticalDepth, 0.1234f)),
              bitsOf(std::strtof("0.123", nullptr)));
    EXPECT_EQ(bitsOf(quantisedMapValue(MapQuantity::aerosolOpticalDepth, 0.3f)), bitsOf(0.3f));
    EXPECT_EQ(quantisedMapValue(MapQuantity::aerosolOpticalDepth, 0.0004f), 0.0f);
    EXPECT_EQ(bitsOf(quantisedMapValue(MapQuantity::aerosolOpticalDepth, 10.0f)), bitsOf(10.0f));
    EXPECT_EQ(mapQuantisationText(MapQuantity::elevation), "1 m");
    EXPECT_EQ(mapQuantisationText(MapQuantity::aerosolOpticalDepth), "0.001");
}

TEST(PixelTermsMaps, NoDataAndDnZeroGiveZero)
{
    const RunParameters scene = exampleScene();
    PixelTermTables tables = pixelTermTables(scene);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> elevation = {100.0f, nan, 100.0f, 100.0f};
    const std::vector<float> aerosol = {0.2f, 0.2f, 0.2f, 0.2f};
    const std::vector<std::uint8_t> aerosolValid = {255, 255, 0, 255};
    const std::vector<std::uint16_t> dn = {900, 900, 900, 0};
    std::vector<std::int32_t> elevationSlots(4);
    std::vector<std::int32_t> aerosolSlots(4);
    mapSlots(tables, MapQuantity::elevation, elevation.data(), nullptr, elevationSlots.data(), 4);
    mapSlots(tables, MapQuantity::aerosolOpticalDepth, aerosol.data(), aerosolValid.data(),
             aerosolSlots.data(), 4);
    EXPECT_EQ(elevationSlots[1], MAP_NO_DATA_SLOT);
    EXPECT_EQ(aerosolSlots[2], MAP_NO_DATA_SLOT);
    const std::vector<float> toa = toaTable(2, scene);
    std::vector<float> out(4, -1.0f);
    applyPixelTerms(tables, 2, std::span<const float, DN_VALUES>(toa.data(), DN_VALUES), dn.data(),
                    {elevationSlots.data(), aerosolSlots.data()}, out.data(), 4);
    EXPECT_GT(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    EXPECT_EQ(out[2], 0.0f);
    EXPECT_EQ(out[3], 0.0f);
}

// A long block (the vector lanes of the loops and their remainder) gives
// every pixel what that pixel alone gives: holes, DN 0, half steps and values
// next to them land in any lane.
TEST(PixelTermsMaps, LongBlocksEqualPixelByPixel)
{
    const RunParameters scene = exampleScene();
    PixelTermTables blockTables = pixelTermTables(scene);
    PixelTermTables pixelTables = pixelTermTables(scene);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr std::size_t n = 1003;
    std::vector<float> elevation(n);
    std::vector<float> aerosol(n);
    std::vector<std::uint8_t> valid(n, 1);
    std::vector<std::uint16_t> dn(n);
    for (std::size_t k = 0; k < n; ++k) {
        elevation[k] = k % 37 == 5 ? nan
                                   : std::nextafter(-999.5f + 7.0f * static_cast<float>(k),
                                                    k % 2 ? 1e4f : -1e4f);
        elevation[k] = k % 11 == 3 ? static_cast<float>(k) + 0.5f : elevation[k];
        aerosol[k] = k % 29 == 7 ? nan : 0.0005f * static_cast<float>(k % 400);
        valid[k] = k % 23 == 4 ? 0 : 1;
        dn[k] = static_cast<std::uint16_t>(k % 19 == 2 ? 0 : (k * 37) % 4096);
    }
    std::vector<std::int32_t> elevationSlots(n);
    std::vector<std::int32_t> aerosolSlots(n);
    mapSlots(blockTables, MapQuantity::elevation, elevation.data(), nullptr, elevationSlots.data(),
             n);
    mapSlots(blockTables, MapQuantity::aerosolOpticalDepth, aerosol.data(), valid.data(),
             aerosolSlots.data(), n);
    for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
        const std::vector<float> toa = toaTable(band, scene);
        const std::span<const float, DN_VALUES> table(toa.data(), DN_VALUES);
        std::vector<float> out(n, -1.0f);
        applyPixelTerms(blockTables, band, table, dn.data(),
                        {elevationSlots.data(), aerosolSlots.data()}, out.data(), n);
        for (std::size_t k = 0; k < n; ++k) {
            std::int32_t e = 0;
            std::int32_t a = 0;
            mapSlots(pixelTables, MapQuantity::elevation, &elevation[k], nullptr, &e, 1);
            mapSlots(pixelTables, MapQuantity::aerosolOpticalDepth, &aerosol[k], &valid[k], &a, 1);
            float alone = -1.0f;
            applyPixelTerms(pixelTables, band, table, &dn[k], {&e, &a}, &alone, 1);
            ASSERT_EQ(bitsOf(out[k]), bitsOf(alone)) << "band " << band << ", pixel " << k;
            const bool hole =
                std::isnan(elevation[k]) || std::isnan(aerosol[k]) || valid[k] == 0 || dn[k] == 0;
            ASSERT_EQ(hole, out[k] == 0.0f) << "pixel " << k;
            if (!hole && k % 16 == 0) { // whole-scene tables are slow to make
                ASSERT_EQ(
                    bitsOf(out[k]),
                    bitsOf(sceneRunValue(
                        scene, band, quantisedMapValue(MapQuantity::elevation, elevation[k]),
                        quantisedMapValue(MapQuantity::aerosolOpticalDepth, aerosol[k]), dn[k])))
                    << "pixel " << k;
            }
        }
    }
}

TEST(PixelTermsMaps, ValuesOutsideTheRangeAreRefusedByName)
{
    PixelTermTables tables = pixelTermTables(exampleScene());
    const auto refusal = [&](MapQuantity quantity, float value) {
        std::int32_t slot = 0;
        try {
            mapSlots(tables, quantity, &value, nullptr, &slot, 1);
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.kind, FailureKind::parameters);
            return failure.message;
        }
        ADD_FAILURE() << "value " << value << " accepted";
        return std::string();
    };
    EXPECT_EQ(refusal(MapQuantity::elevation, -9999.0f),
              "Error in the elevation map: a value of -9999 m is outside the accepted range, -1000 "
              "to 9000 m; "
              "mark pixels without a value as no data.\n");
    EXPECT_NE(refusal(MapQuantity::elevation, 9000.6f).find("9000.6 m"), std::string::npos);
    EXPECT_NE(refusal(MapQuantity::elevation, std::numeric_limits<float>::infinity()).find("inf"),
              std::string::npos);
    EXPECT_EQ(refusal(MapQuantity::aerosolOpticalDepth, -0.01f),
              "Error in the aerosol optical depth map: a value of -0.01 is outside the accepted "
              "range, 0 to 10; "
              "mark pixels without a value as no data.\n");
    EXPECT_THROW(quantisedMapValue(MapQuantity::elevation, std::numeric_limits<float>::quiet_NaN()),
                 Failure);
}

// The slots of a block of both maps, without a validity mask (the quick way).
std::pair<std::vector<std::int32_t>, std::vector<std::int32_t>>
slotsOfBlock(PixelTermTables& tables, const std::vector<float>& elevation,
             const std::vector<float>& aerosol)
{
    std::vector<std::int32_t> elevationSlots(elevation.size());
    std::vector<std::int32_t> aerosolSlots(aerosol.size());
    mapSlots(tables, MapQuantity::elevation, elevation.data(), nullptr, elevationSlots.data(),
             elevation.size());
    mapSlots(tables, MapQuantity::aerosolOpticalDepth, aerosol.data(), nullptr, aerosolSlots.data(),
             aerosol.size());
    return {elevationSlots, aerosolSlots};
}

// The four bands of a pixel at once give what each band alone gives, with
// either map or both, DN 0 in some bands only, and holes in the maps.
TEST(PixelTermsMaps, FourBandsAtOnceEqualEachBandAlone)
{
    const RunParameters scene = exampleScene();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Whole groups of four pixels and a remainder; fewer than four.
    for (const std::size_t n : {std::size_t{517}, std::size_t{3}}) {
        PixelTermTables tables = pixelTermTables(scene);
        std::vector<float> elevation(n);
        std::vector<float> aerosol(n);
        std::vector<std::uint16_t> dn(BAND_COUNT * n);
        for (std::size_t k = 0; k < n; ++k) {
            elevation[k] = k % 31 == 4 ? nan : -200.0f + 9.5f * static_cast<float>(k);
            aerosol[k] = k % 43 == 6 ? nan : 0.003f * static_cast<float>(k % 300);
            for (std::size_t i = 0; i < BAND_COUNT; ++i) {
                dn[i * n + k] =
                    static_cast<std::uint16_t>((k + i) % 13 == 0 ? 0 : (k * 53 + i) % 4096);
            }
        }
        const auto [elevationSlots, aerosolSlots] = slotsOfBlock(tables, elevation, aerosol);
        std::vector<float> toaTables;
        for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
            const std::vector<float> toa = toaTable(band, scene);
            toaTables.insert(toaTables.end(), toa.begin(), toa.end());
        }
        const MapBlockSlots both{elevationSlots.data(), aerosolSlots.data()};
        for (const MapBlockSlots& slots : {both, MapBlockSlots{elevationSlots.data(), nullptr},
                                           MapBlockSlots{nullptr, aerosolSlots.data()}}) {
            std::vector<float> together(BAND_COUNT * n, -1.0f);
            applyPixelTermsToBands(tables, toaTables.data(), dn.data(), n, slots, together.data(),
                                   n, n);
            for (int band = FIRST_BAND; band <= LAST_BAND; ++band) {
                const std::size_t i = bandIndex(band);
                std::vector<float> alone(n, -1.0f);
                applyPixelTerms(
                    tables, band,
                    std::span<const float, DN_VALUES>(&toaTables[i * DN_VALUES], DN_VALUES),
                    &dn[i * n], slots, alone.data(), n);
                for (std::size_t k = 0; k < n; ++k) {
                    ASSERT_EQ(bitsOf(together[i * n + k]), bitsOf(alone[k]))
                        << "band " << band << ", pixel " << k;
                }
            }
        }
    }
}

// Blocks without a validity mask take the quick way to their slots: values
// a block meets for the first time get their terms even between values met
// before, half steps round as the exact rule rounds them (away from zero;
// the optical depth 0.0625 is a float exactly on a half step), and every
// pixel equals a whole-scene run at its quantised values.
// Tables kept between runs gain what a copy met: after the merge they hold,
// bit for bit, the terms of one table that met every value, and a block of
// values met only by the copy is then settled without filling anything.
TEST(PixelTermsMaps, MergedTablesHoldWhatEachCopyMet)
{
    const RunParameters scene = exampleScene();
    const std::vector<float> firstElevations = {100.0f, 2999.7f, -0.5f};
    const std::vector<float> firstDepths = {0.25f, 0.0004f, 3.0f};
    const std::vector<float> laterElevations = {100.0f, 1234.5f, 8848.9f};
    const std::vector<float> laterDepths = {0.1234f, 0.25f, 9.9995f};
    PixelTermTables kept = pixelTermTables(scene);
    slotsOfBlock(kept, firstElevations, firstDepths);
    PixelTermTables copy = kept;
    slotsOfBlock(copy, laterElevations, laterDepths);
    mergeFilledSlots(kept, copy);
    mergeFilledSlots(kept, copy); // nothing new the second time
    PixelTermTables all = pixelTermTables(scene);
    slotsOfBlock(all, firstElevations, firstDepths);
    slotsOfBlock(all, laterElevations, laterDepths);
    EXPECT_EQ(kept.distinctElevations, all.distinctElevations);
    EXPECT_EQ(kept.distinctAerosolDepths, all.distinctAerosolDepths);
    EXPECT_EQ(kept.elevationFilled, all.elevationFilled);
    EXPECT_EQ(kept.aerosolFilled, all.aerosolFilled);
    const auto sameBits = [](const auto& a, const auto& b) {
        return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof a[0]) == 0;
    };
    EXPECT_TRUE(sameBits(kept.elevationTerms, all.elevationTerms));
    EXPECT_TRUE(sameBits(kept.aerosolTerms, all.aerosolTerms));
    const std::size_t distinct = kept.distinctElevations + kept.distinctAerosolDepths;
    slotsOfBlock(kept, laterElevations, laterDepths);
    EXPECT_EQ(kept.distinctElevations + kept.distinctAerosolDepths, distinct);
}

TEST(PixelTermsMaps, QuickSlotsAgreeWithTheExactRule)
{
    const RunParameters scene = exampleScene();
    PixelTermTables tables = pixelTermTables(scene);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::vector<float>> elevationBlocks = {
        {100.0f, 102.0f, 100.0f, 102.0f},
        {100.0f, 101.0f, 102.0f, 100.5f, -0.5f, 2999.5f, std::nextafter(2999.5f, 0.0f)},
        {nan, nan},
    };
    const std::vector<std::vector<float>> aerosolBlocks = {
        {0.25f, 0.25f, 0.0625f, 0.25f},
        {0.1875f, 0.0625f, std::nextafter(0.0625f, 1.0f), 0.3f, 0.25f, 0.0005f, 0.0015f},
        {0.25f, nan},
    };
    EXPECT_EQ(bitsOf(quantisedMapValue(MapQuantity::aerosolOpticalDepth, 0.0625f)),
              bitsOf(std::strtof("0.063", nullptr)));
    std::size_t pixelsChecked = 0;
    for (std::size_t b = 0; b < elevationBlocks.size(); ++b) {
        const std::vector<float>& elevation = elevationBlocks[b];
        const std::vector<float>& aerosol = aerosolBlocks[b];
        const std::size_t n = elevation.size();
        const auto [elevationSlots, aerosolSlots] = slotsOfBlock(tables, elevation, aerosol);
        const std::vector<std::uint16_t> dn(n, 1234);
        for (int band : {2, 5}) {
            const std::vector<float> toa = toaTable(band, scene);
            std::vector<float> out(n, -1.0f);
            applyPixelTerms(tables, band, std::span<const float, DN_VALUES>(toa.data(), DN_VALUES),
                            dn.data(), {elevationSlots.data(), aerosolSlots.data()}, out.data(), n);
            for (std::size_t k = 0; k < n; ++k) {
                if (std::isnan(elevation[k]) || std::isnan(aerosol[k])) {
                    EXPECT_EQ(out[k], 0.0f);
                    continue;
                }
                ++pixelsChecked;
                EXPECT_EQ(
                    bitsOf(out[k]),
                    bitsOf(sceneRunValue(
                        scene, band, quantisedMapValue(MapQuantity::elevation, elevation[k]),
                        quantisedMapValue(MapQuantity::aerosolOpticalDepth, aerosol[k]), dn[k])))
                    << "block " << b << ", pixel " << k << ", band " << band;
            }
        }
    }
    EXPECT_EQ(pixelsChecked, 2u * (4 + 7));
    // 100, 102, 101, 101 (100.5), -1 (-0.5), 3000, 2999.
    EXPECT_EQ(tables.distinctElevations, 6u);
}

} // namespace
} // namespace talvex
