"""Shared fixtures of the package's tests: the golden runs of TALVEX-V1."""

import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from golden_runs import (  # noqa: E402,F401  (re-exported to the tests)
    EXAMPLE_PARAMETERS,
    HAZY_PARAMETERS,
    TOA_ONLY_PARAMETERS,
    assert_same_bits,
    every_dn_scene,
    run_talvex_v1,
    talvex_v1,
    write_parameters,
)
