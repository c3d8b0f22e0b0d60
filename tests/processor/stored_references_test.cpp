// Stored bit-exact references of the model: every band term as a hexadecimal
// float and a digest of the full DN tables of both reflectances, for three
// fixed scenes. They were frozen from outputs checked bit for bit against an
// independent implementation; a change of a single rounding step or of the
// order of an operation anywhere in the model changes them. Never regenerate
// them to make this test pass: a difference here is a changed result.
#include "reference_scenes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace talvex::testing {
namespace {

struct SceneReference {
    std::vector<std::string> bandTerms;
    std::string toaDigest;
    std::string surfaceDigest;
};

const SceneReference EXAMPLE_REFERENCE = {
    {
        "run fullScale 4095",
        "run earthSunFactor 0x1.f97a5ep-1",
        "run airMass 0x1.26d7ddb4c5e4bp+1",
        "band 2 toaDenominator 0x1.21d44b84595c5p+7",
        "band 2 rayleighPhaseExact 0x1.4c64c04bea49bp+0",
        "band 2 waterVapourTransmittance 0x1.f62896p-1",
        "band 2 ozoneTransmittance 0x1.eb2492p-1",
        "band 2 gasTransmittance 0x1.e1b3cap-1",
        "band 2 sphericalAlbedo 0x1.ff4598p-4",
        "band 2 downTransmission 0x1.bd2808p-1",
        "band 2 upTransmission 0x1.cdcc56p-1",
        "band 2 relativeAzimuthDeg 0x1.48p+5",
        "band 2 zenithSineProduct 0x1.144a2c1d66763p-3",
        "band 2 cosScattering -0x1.baea6ep-1",
        "band 2 scatteringAngleDeg 0x1.2bc806p+7",
        "band 2 rayleighOpticalDepth 0x1.6c9646p-4",
        "band 2 rayleighPhase 0x1.4c64cp+0",
        "band 2 rayleighReflectance 0x1.361f4cp-5",
        "band 2 aerosolOpticalDepthBand 0x1.f8f41cp-3",
        "band 2 aerosolPhase 0x1.9030b6p-3",
        "band 2 aerosolReflectance 0x1.0e269p-6",
        "band 2 rayleighResidual -0x1.71f984p-9",
        "band 2 aerosolResidual 0x1.0a4cb4p-11",
        "band 2 pathReflectance 0x1.d028fap-5",
        "band 3 toaDenominator 0x1.f11d1c88634b2p+6",
        "band 3 rayleighPhaseExact 0x1.4c64c04bea49bp+0",
        "band 3 waterVapourTransmittance 0x1.ef64fap-1",
        "band 3 ozoneTransmittance 0x1.f0de3ap-1",
        "band 3 gasTransmittance 0x1.e0c0d8p-1",
        "band 3 sphericalAlbedo 0x1.7a066cp-4",
        "band 3 downTransmission 0x1.ce6da2p-1",
        "band 3 upTransmission 0x1.db99ccp-1",
        "band 3 relativeAzimuthDeg 0x1.48p+5",
        "band 3 zenithSineProduct 0x1.144a2c1d66763p-3",
        "band 3 cosScattering -0x1.baea6ep-1",
        "band 3 scatteringAngleDeg 0x1.2bc806p+7",
        "band 3 rayleighOpticalDepth 0x1.87df5cp-5",
        "band 3 rayleighPhase 0x1.4c64cp+0",
        "band 3 rayleighReflectance 0x1.4d54e6p-6",
        "band 3 aerosolOpticalDepthBand 0x1.ac6242p-3",
        "band 3 aerosolPhase 0x1.93c84cp-3",
        "band 3 aerosolReflectance 0x1.c1dbcp-7",
        "band 3 rayleighResidual -0x1.3aded2p-10",
        "band 3 aerosolResidual -0x1.5bc29ep-9",
        "band 3 pathReflectance 0x1.36b484p-5",
        "band 4 toaDenominator 0x1.5655671f2dc11p+6",
        "band 4 rayleighPhaseExact 0x1.4c64c04bea49bp+0",
        "band 4 waterVapourTransmittance 0x1.bb9938p-1",
        "band 4 ozoneTransmittance 0x1.fff8f6p-1",
        "band 4 gasTransmittance 0x1.bb931ep-1",
        "band 4 sphericalAlbedo 0x1.f7c56cp-5",
        "band 4 downTransmission 0x1.dd1a12p-1",
        "band 4 upTransmission 0x1.e69c04p-1",
        "band 4 relativeAzimuthDeg 0x1.48p+5",
        "band 4 zenithSineProduct 0x1.144a2c1d66763p-3",
        "band 4 cosScattering -0x1.baea6ep-1",
        "band 4 scatteringAngleDeg 0x1.2bc806p+7",
        "band 4 rayleighOpticalDepth 0x1.3f52fcp-6",
        "band 4 rayleighPhase 0x1.4c64cp+0",
        "band 4 rayleighReflectance 0x1.0f9f02p-7",
        "band 4 aerosolOpticalDepthBand 0x1.49d496p-3",
        "band 4 aerosolPhase 0x1.b4f046p-3",
        "band 4 aerosolReflectance 0x1.5dba56p-7",
        "band 4 rayleighResidual -0x1.6e13d6p-12",
        "band 4 aerosolResidual 0x1.33fb34p-11",
        "band 4 pathReflectance 0x1.32c522p-6",
        "band 5 toaDenominator 0x1.28788a7cc581ap+4",
        "band 5 rayleighPhaseExact 0x1.4c64c04bea49bp+0",
        "band 5 waterVapourTransmittance 0x1.efb15cp-1",
        "band 5 ozoneTransmittance 0x1p+0",
        "band 5 gasTransmittance 0x1.efb15cp-1",
        "band 5 sphericalAlbedo 0x1.38fbaap-6",
        "band 5 downTransmission 0x1.f1dcd4p-1",
        "band 5 upTransmission 0x1.f56374p-1",
        "band 5 relativeAzimuthDeg 0x1.48p+5",
        "band 5 zenithSineProduct 0x1.144a2c1d66763p-3",
        "band 5 cosScattering -0x1.baea6ep-1",
        "band 5 scatteringAngleDeg 0x1.2bc806p+7",
        "band 5 rayleighOpticalDepth 0x1.39218ap-10",
        "band 5 rayleighPhase 0x1.4c64cp+0",
        "band 5 rayleighReflectance 0x1.0a5a68p-11",
        "band 5 aerosolOpticalDepthBand 0x1.1edd6cp-4",
        "band 5 aerosolPhase 0x1.949106p-3",
        "band 5 aerosolReflectance 0x1.f1df98p-9",
        "band 5 rayleighResidual -0x1.ea6f94p-13",
        "band 5 aerosolResidual 0x1.12dca6p-13",
        "band 5 pathReflectance 0x1.20f7bp-8",
    },
    "3cadf200cdd3560f16767c5f8e8c154a9b5562e3c0c1c0e490c6e730583267ea",
    "d36f690646cd6f8f738936258d0e9d320e13311f861257dde38cfcb16dac35e2",
};

const SceneReference HAZY_REFERENCE = {
    {
        "run fullScale 4095",
        "run earthSunFactor 0x1.043d3ap+0",
        "run airMass 0x1.95afa2a54a70fp+1",
        "band 2 toaDenominator 0x1.6501e33c745c8p+6",
        "band 2 rayleighPhaseExact 0x1.89077f7d2155ep-1",
        "band 2 waterVapourTransmittance 0x1.edf0dp-1",
        "band 2 ozoneTransmittance 0x1.df75dap-1",
        "band 2 gasTransmittance 0x1.ce8c7cp-1",
        "band 2 sphericalAlbedo 0x1.f2196ep-3",
        "band 2 downTransmission 0x1.63f4fap-2",
        "band 2 upTransmission 0x1.4c3084p-1",
        "band 2 relativeAzimuthDeg 0x1.49p+7",
        "band 2 zenithSineProduct 0x1.694b0090953f6p-2",
        "band 2 cosScattering -0x1.9d2ebap-4",
        "band 2 scatteringAngleDeg 0x1.7f287cp+6",
        "band 2 rayleighOpticalDepth 0x1.6e279p-4",
        "band 2 rayleighPhase 0x1.89078p-1",
        "band 2 rayleighReflectance 0x1.3edf48p-5",
        "band 2 aerosolOpticalDepthBand 0x1.54d86p+0",
        "band 2 aerosolPhase 0x1.2c1076p-2",
        "band 2 aerosolReflectance 0x1.5946bep-3",
        "band 2 rayleighResidual -0x1.709364p-9",
        "band 2 aerosolResidual 0x1.6e4b7p-6",
        "band 2 pathReflectance 0x1.80f77p-3",
        "band 3 toaDenominator 0x1.322b2afa02052p+6",
        "band 3 rayleighPhaseExact 0x1.89077f7d2155ep-1",
        "band 3 waterVapourTransmittance 0x1.e0e522p-1",
        "band 3 ozoneTransmittance 0x1.e85146p-1",
        "band 3 gasTransmittance 0x1.caa6bap-1",
        "band 3 sphericalAlbedo 0x1.bb4adep-3",
        "band 3 downTransmission 0x1.ad4ec8p-2",
        "band 3 upTransmission 0x1.671bap-1",
        "band 3 relativeAzimuthDeg 0x1.49p+7",
        "band 3 zenithSineProduct 0x1.694b0090953f6p-2",
        "band 3 cosScattering -0x1.9d2ebap-4",
        "band 3 scatteringAngleDeg 0x1.7f287cp+6",
        "band 3 rayleighOpticalDepth 0x1.899038p-5",
        "band 3 rayleighPhase 0x1.89078p-1",
        "band 3 rayleighReflectance 0x1.56bddcp-6",
        "band 3 aerosolOpticalDepthBand 0x1.2128a4p+0",
        "band 3 aerosolPhase 0x1.926992p-3",
        "band 3 aerosolReflectance 0x1.13f268p-3",
        "band 3 rayleighResidual -0x1.3d12p-10",
        "band 3 aerosolResidual 0x1.8b614p-7",
        "band 3 pathReflectance 0x1.288e34p-3",
        "band 4 toaDenominator 0x1.a5ae71860ce95p+5",
        "band 4 rayleighPhaseExact 0x1.89077f7d2155ep-1",
        "band 4 waterVapourTransmittance 0x1.959ceep-1",
        "band 4 ozoneTransmittance 0x1.fff6ep-1",
        "band 4 gasTransmittance 0x1.9595b4p-1",
        "band 4 sphericalAlbedo 0x1.67ac3cp-3",
        "band 4 downTransmission 0x1.057906p-1",
        "band 4 upTransmission 0x1.837c04p-1",
        "band 4 relativeAzimuthDeg 0x1.49p+7",
        "band 4 zenithSineProduct 0x1.694b0090953f6p-2",
        "band 4 cosScattering -0x1.9d2ebap-4",
        "band 4 scatteringAngleDeg 0x1.7f287cp+6",
        "band 4 rayleighOpticalDepth 0x1.40bbb2p-6",
        "band 4 rayleighPhase 0x1.89078p-1",
        "band 4 rayleighReflectance 0x1.1750f2p-7",
        "band 4 aerosolOpticalDepthBand 0x1.bd4564p-1",
        "band 4 aerosolPhase 0x1.38096p-3",
        "band 4 aerosolReflectance 0x1.95f9ap-4",
        "band 4 rayleighResidual -0x1.73b0d4p-12",
        "band 4 aerosolResidual 0x1.f52656p-7",
        "band 4 pathReflectance 0x1.7bb2a4p-4",
        "band 5 toaDenominator 0x1.6d3039a8fa4acp+3",
        "band 5 rayleighPhaseExact 0x1.89077f7d2155ep-1",
        "band 5 waterVapourTransmittance 0x1.e1f74p-1",
        "band 5 ozoneTransmittance 0x1p+0",
        "band 5 gasTransmittance 0x1.e1f74p-1",
        "band 5 sphericalAlbedo 0x1.2b10c8p-4",
        "band 5 downTransmission 0x1.81d6ccp-1",
        "band 5 upTransmission 0x1.c3a5acp-1",
        "band 5 relativeAzimuthDeg 0x1.49p+7",
        "band 5 zenithSineProduct 0x1.694b0090953f6p-2",
        "band 5 cosScattering -0x1.9d2ebap-4",
        "band 5 scatteringAngleDeg 0x1.7f287cp+6",
        "band 5 rayleighOpticalDepth 0x1.3a421cp-10",
        "band 5 rayleighPhase 0x1.89078p-1",
        "band 5 rayleighReflectance 0x1.11ad68p-11",
        "band 5 aerosolOpticalDepthBand 0x1.83445ep-2",
        "band 5 aerosolPhase 0x1.0b9ec6p-2",
        "band 5 aerosolReflectance 0x1.95f5dp-5",
        "band 5 rayleighResidual -0x1.eaac3p-13",
        "band 5 aerosolResidual 0x1.c7b98ap-8",
        "band 5 pathReflectance 0x1.633p-5",
    },
    "6cb1b95623f7f23fd0b43584c90d2854ca1e84d03634268734ec571f13305faf",
    "4ade1ca9133c25bc0a8ea22c64b9cdf9e66e4af782cc12880c1c06963bc77e24",
};

const SceneReference HIGH_REFERENCE = {
    {
        "run fullScale 4095",
        "run earthSunFactor 0x1.f77308p-1",
        "run airMass 0x1.09c4b0a9b2ccp+1",
        "band 2 toaDenominator 0x1.58fae3431cc09p+7",
        "band 2 rayleighPhaseExact 0x1.5f5c6108f9c7ep+0",
        "band 2 waterVapourTransmittance 0x1.fdcffcp-1",
        "band 2 ozoneTransmittance 0x1.ed803ap-1",
        "band 2 gasTransmittance 0x1.eb6472p-1",
        "band 2 sphericalAlbedo 0x1.90eaa4p-4",
        "band 2 downTransmission 0x1.e0114cp-1",
        "band 2 upTransmission 0x1.e52c0ap-1",
        "band 2 relativeAzimuthDeg 0x1.f9p+7",
        "band 2 zenithSineProduct 0x1.5416fd92a5862p-6",
        "band 2 cosScattering -0x1.d86cf2p-1",
        "band 2 scatteringAngleDeg 0x1.3aa662p+7",
        "band 2 rayleighOpticalDepth 0x1.ae9cccp-5",
        "band 2 rayleighPhase 0x1.5f5c62p+0",
        "band 2 rayleighReflectance 0x1.3e1886p-6",
        "band 2 aerosolOpticalDepthBand 0x1.43292p-5",
        "band 2 aerosolPhase 0x1.be83ap-3",
        "band 2 aerosolReflectance 0x1.1042ccp-9",
        "band 2 rayleighResidual -0x1.9f1c06p-9",
        "band 2 aerosolResidual -0x1.95d08p-10",
        "band 2 pathReflectance 0x1.ad6168p-6",
        "band 3 toaDenominator 0x1.27daa014dfaaap+7",
        "band 3 rayleighPhaseExact 0x1.5f5c6108f9c7ep+0",
        "band 3 waterVapourTransmittance 0x1.fc870cp-1",
        "band 3 ozoneTransmittance 0x1.f29652p-1",
        "band 3 gasTransmittance 0x1.ef34a8p-1",
        "band 3 sphericalAlbedo 0x1.060b14p-4",
        "band 3 downTransmission 0x1.ee116p-1",
        "band 3 upTransmission 0x1.f08d08p-1",
        "band 3 relativeAzimuthDeg 0x1.f9p+7",
        "band 3 zenithSineProduct 0x1.5416fd92a5862p-6",
        "band 3 cosScattering -0x1.d86cf2p-1",
        "band 3 scatteringAngleDeg 0x1.3aa662p+7",
        "band 3 rayleighOpticalDepth 0x1.cdb37cp-6",
        "band 3 rayleighPhase 0x1.5f5c62p+0",
        "band 3 rayleighReflectance 0x1.550fa8p-7",
        "band 3 aerosolOpticalDepthBand 0x1.122ae8p-5",
        "band 3 aerosolPhase 0x1.c7429cp-3",
        "band 3 aerosolReflectance 0x1.d2bcbap-10",
        "band 3 rayleighResidual -0x1.22b6c4p-10",
        "band 3 aerosolResidual -0x1.ffd2c6p-10",
        "band 3 pathReflectance 0x1.f3b87p-7",
        "band 4 toaDenominator 0x1.9779aa01c1f08p+6",
        "band 4 rayleighPhaseExact 0x1.5f5c6108f9c7ep+0",
        "band 4 waterVapourTransmittance 0x1.ea2cc6p-1",
        "band 4 ozoneTransmittance 0x1.fff97p-1",
        "band 4 gasTransmittance 0x1.ea267ep-1",
        "band 4 sphericalAlbedo 0x1.270facp-5",
        "band 4 downTransmission 0x1.f7fd3ap-1",
        "band 4 upTransmission 0x1.f86242p-1",
        "band 4 relativeAzimuthDeg 0x1.f9p+7",
        "band 4 zenithSineProduct 0x1.5416fd92a5862p-6",
        "band 4 cosScattering -0x1.d86cf2p-1",
        "band 4 scatteringAngleDeg 0x1.3aa662p+7",
        "band 4 rayleighOpticalDepth 0x1.724746p-7",
        "band 4 rayleighPhase 0x1.5f5c62p+0",
        "band 4 rayleighReflectance 0x1.1186d4p-8",
        "band 4 aerosolOpticalDepthBand 0x1.a62ed2p-6",
        "band 4 aerosolPhase 0x1.f3ad76p-3",
        "band 4 aerosolReflectance 0x1.7fb43ep-10",
        "band 4 rayleighResidual -0x1.1d39e8p-12",
        "band 4 aerosolResidual -0x1.1e32a4p-10",
        "band 4 pathReflectance 0x1.cad42cp-8",
        "band 5 toaDenominator 0x1.60e2ab219d8d4p+4",
        "band 5 rayleighPhaseExact 0x1.5f5c6108f9c7ep+0",
        "band 5 waterVapourTransmittance 0x1.fc7094p-1",
        "band 5 ozoneTransmittance 0x1p+0",
        "band 5 gasTransmittance 0x1.fc7094p-1",
        "band 5 sphericalAlbedo 0x1.0917fcp-7",
        "band 5 downTransmission 0x1.ff5198p-1",
        "band 5 upTransmission 0x1.fe428cp-1",
        "band 5 relativeAzimuthDeg 0x1.f9p+7",
        "band 5 zenithSineProduct 0x1.5416fd92a5862p-6",
        "band 5 cosScattering -0x1.d86cf2p-1",
        "band 5 scatteringAngleDeg 0x1.3aa662p+7",
        "band 5 rayleighOpticalDepth 0x1.9b90eap-11",
        "band 5 rayleighPhase 0x1.5f5c62p+0",
        "band 5 rayleighReflectance 0x1.3006aep-12",
        "band 5 aerosolOpticalDepthBand 0x1.6f30d6p-7",
        "band 5 aerosolPhase 0x1.ca8804p-3",
        "band 5 aerosolReflectance 0x1.18de6cp-11",
        "band 5 rayleighResidual -0x1.e6d6bep-13",
        "band 5 aerosolResidual -0x1.f216bcp-12",
        "band 5 pathReflectance 0x1.91d168p-10",
    },
    "3b9d37817fcc1cad8f901e383b76704e699acc4da1cfaf959acef6537b69cf45",
    "84338b0250069b4590f5ec966d33b00646ca900cc6b186342d944ef72ffb2381",
};

void expectScene(const RunParameters& p, const SceneReference& reference)
{
    const std::vector<std::string> terms = bandTermLines(p);
    ASSERT_EQ(terms.size(), reference.bandTerms.size());
    for (std::size_t i = 0; i < terms.size(); ++i) {
        EXPECT_EQ(terms[i], reference.bandTerms[i]);
    }
    EXPECT_EQ(tableDigest(p, Reflectance::topOfAtmosphere), reference.toaDigest);
    EXPECT_EQ(tableDigest(p, Reflectance::surface), reference.surfaceDigest);
}

TEST(StoredReferences, Sha256MatchesTheStandardsExamples)
{
    const std::string abc = "abc";
    Sha256 shortMessage;
    shortMessage.update({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()});
    EXPECT_EQ(shortMessage.hexDigest(),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // Two blocks: the padding spills over into a second one.
    const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    Sha256 longMessage;
    longMessage.update({reinterpret_cast<const std::uint8_t*>(twoBlocks.data()), twoBlocks.size()});
    EXPECT_EQ(longMessage.hexDigest(),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(StoredReferences, ExampleScene)
{
    expectScene(exampleScene(), EXAMPLE_REFERENCE);
}

TEST(StoredReferences, HazyScene)
{
    expectScene(hazyScene(), HAZY_REFERENCE);
}

TEST(StoredReferences, HighScene)
{
    expectScene(highScene(), HIGH_REFERENCE);
}

} // namespace
} // namespace talvex::testing
