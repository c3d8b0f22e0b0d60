"""The provider in the Processing registry: its algorithms and their
parameters, the parameter file made from the fields, and the reading of
talvex-geo's progress."""

import importlib
import re

import pytest
from conftest import EXAMPLE_PARAMETERS, qgis_core

SCENE_PARAMETERS = ["INPUT", "BAND3", "BAND4", "BAND5", "PARAMETER_FILE"]
TOA_FIELDS = [f"{name}_BAND{band}" for band in (2, 3, 4, 5) for name in ("LMIN", "LMAX")] + [
    "DAY_OF_YEAR",
    "SOLAR_ZENITH_DEG",
    "SOLAR_AZIMUTH_DEG",
    "VIEW_ZENITH_DEG",
    "VIEW_AZIMUTH_DEG",
]
ATMOSPHERE_FIELDS = [
    "ELEVATION_METRES",
    "AEROSOL_OPTICAL_DEPTH",
    "WATER_VAPOUR_COLUMN",
    "OZONE_COLUMN",
]


def test_provider_lists_both_algorithms(provider):
    assert provider is not None, "the TALVEX provider is not registered"
    assert provider.name() == "TALVEX"
    assert not provider.icon().isNull()
    names = {a.id(): a.displayName() for a in provider.algorithms()}
    assert names == {
        "talvex:toareflectance": "Top-of-atmosphere reflectance",
        "talvex:surfacereflectance": "Surface reflectance",
    }
    for algorithm in provider.algorithms():
        assert "bands 2, 3, 4, 5" in algorithm.shortHelpString()
        assert not algorithm.icon().isNull()


@pytest.mark.parametrize(
    "algorithm_id, fields, outputs",
    [
        ("talvex:toareflectance", TOA_FIELDS, ["OUTPUT"]),
        ("talvex:surfacereflectance", TOA_FIELDS + ATMOSPHERE_FIELDS, ["OUTPUT", "TOA_OUTPUT"]),
    ],
)
def test_parameters_with_the_example_defaults(provider, talvex_geo, algorithm_id, fields, outputs):
    algorithm = qgis_core.QgsApplication.processingRegistry().algorithmById(algorithm_id)
    names = [p.name() for p in algorithm.parameterDefinitions()]
    # The maps, where this talvex-geo takes them.
    switches = importlib.import_module("talvex_processing.talvex_geo").switches(str(talvex_geo))
    maps = [
        name
        for name, switch in (("ELEVATION_MAP", "-elevation"), ("AOD_MAP", "-aod"))
        if switch in switches
    ]
    if algorithm_id == "talvex:toareflectance":
        maps = []
    assert names == SCENE_PARAMETERS + fields + maps + ["FORMAT", "OPTIONS"] + outputs
    definition = algorithm.parameterDefinition
    # The example parameter file's values, units in the labels.
    assert definition("LMAX_BAND5").defaultValue() == 7.2
    assert definition("SOLAR_ZENITH_DEG").defaultValue() == 38.6
    # Descriptions and units from the library's table of fields.
    assert re.fullmatch(
        r"Solar zenith angle \(deg[a-z]*\)", definition("SOLAR_ZENITH_DEG").description()
    )
    assert re.fullmatch(
        r"lmax of band 5: .*radiance.* \(.+\)", definition("LMAX_BAND5").description()
    )
    # The dialog's widget rounds what is typed to its decimals: enough for
    # seven significant digits of a value such as 0.01234567.
    assert definition("LMIN_BAND2").metadata()["widget_wrapper"]["decimals"] >= 9
    assert definition("DAY_OF_YEAR").dataType() == qgis_core.QgsProcessingParameterNumber.Integer
    assert definition("DAY_OF_YEAR").defaultValue() == 45
    assert (
        definition("PARAMETER_FILE").flags()
        & qgis_core.QgsProcessingParameterDefinition.FlagOptional
    )
    assert definition("BAND3").flags() & qgis_core.QgsProcessingParameterDefinition.FlagOptional
    if "ELEVATION_METRES" in names:
        assert re.fullmatch(
            r"Surface elevation \(m[a-z]*\)", definition("ELEVATION_METRES").description()
        )
        assert re.fullmatch(r"Ozone column \(.+\)", definition("OZONE_COLUMN").description())
        assert definition("AEROSOL_OPTICAL_DEPTH").defaultValue() == 0.25
        assert (
            definition("TOA_OUTPUT").flags()
            & qgis_core.QgsProcessingParameterDefinition.FlagOptional
        )


def test_half_a_band_by_band_scene_is_refused(provider, example_bands):
    algorithm = qgis_core.QgsApplication.processingRegistry().createAlgorithmById(
        "talvex:toareflectance"
    )
    parameters = {"INPUT": str(example_bands[0]), "BAND3": str(example_bands[1]), "OUTPUT": "x.tif"}
    ok, message = algorithm.checkParameterValues(parameters, qgis_core.QgsProcessingContext())
    assert not ok
    assert "every one of the bands 3, 4, 5" in message


def test_fields_make_the_example_parameter_file(qgis_app):
    talvex_processing = importlib.import_module("talvex_processing.run_parameters")
    table = talvex_processing.load_field_table()
    for correcting in (False, True):
        values = {f.key: f.default for f in table.fields(correcting)}
        text = table.parameter_text(320, 320, correcting, values)
        numbers = [[float(word) for word in line.split()] for line in text.splitlines()]
        expected = [
            [float(word) for word in line.split("  ")[0].split()]
            for line in EXAMPLE_PARAMETERS.splitlines()
        ]
        if not correcting:
            expected = expected[:10] + [[0.0]]
        assert numbers == expected
        assert (
            "." not in text.splitlines()[0] and "." not in text.splitlines()[5]
        ), "integers are written as such"
    # Numbers are written so that they read back exactly.
    values = {f.key: f.default for f in table.fields(True)}
    values["SOLAR_ZENITH_DEG"] = 0.1 + 0.2
    values["OZONE_COLUMN"] = 1e-30
    text = table.parameter_text(7, 9, True, values)
    assert text.splitlines()[0] == "7 9"
    assert "0.30000000000000004" in text.splitlines() and "1e-30" in text.splitlines()


@pytest.mark.parametrize(
    "chunks, percents, messages",
    [
        # Progress in pieces, with the dots between the figures.
        (["0...10.", "..20...30...40...50...60...70...80...90...100 - done.\n"], [12.5, 100.0], []),
        (["0", "...", "10", "...."], [0.0, 7.5, 10.0, 17.5], []),
        # A labelled line, as a terminal is shown.
        (["Surface reflectance: 0...10...20..", "."], [25.0, 27.5], []),
        # Messages, with digits of their own, are not progress.
        (
            [
                'talvex-geo: The Input File "a.tif" has 3 bands; a single input must hold the four bands'
                " 2, 3, 4, 5.\n"
            ],
            [None],
            [
                'The Input File "a.tif" has 3 bands; a single input must hold'
                " the four bands 2, 3, 4, 5."
            ],
        ),
        # A message in the middle of a progress line, and a last line without its end.
        (
            ["0...10...talvex-geo: write failed\n", "Warning 1: 0 pixels"],
            [17.5, None],
            ["write failed", "Warning 1: 0 pixels"],
        ),
        (
            [
                "0...10...20...30...40...50...60...70...80...90...100 - done.\ntalvex-geo: Warning: 12 DNs\n"
            ],
            [100.0],
            ["Warning: 12 DNs"],
        ),
    ],
)
def test_progress_and_messages_of_talvex_geo(qgis_app, chunks, percents, messages):
    talvex_geo = importlib.import_module("talvex_processing.talvex_geo")
    reader = talvex_geo.ProgressReader()
    seen = [reader.feed(chunk) for chunk in chunks]
    reader.finish()
    assert seen == percents
    assert reader.failure_text().splitlines() == messages


def test_talvex_geo_is_found_in_order(qgis_app, tmp_path, monkeypatch):
    talvex_geo = importlib.import_module("talvex_processing.talvex_geo")
    program = tmp_path / "talvex-geo"
    program.write_text("#!/bin/sh\n")
    program.chmod(0o755)
    assert talvex_geo.find_program(str(program), "/nonexistent/talvex-geo") == str(program)
    assert talvex_geo.find_program("", str(program)) == str(program)
    monkeypatch.setenv("PATH", str(tmp_path))
    assert talvex_geo.find_program("", "") == str(program)
    with pytest.raises(talvex_geo.TalvexGeoFailure, match="is not a program"):
        talvex_geo.find_program(str(tmp_path / "missing"), str(program))
