"""Speed of the Python package talvex.

1. talvex.surface_reflectance on a four-band array in memory against the
   fastest numpy of the same formulas (a per-band table of all 65536 DNs
   applied with np.take) and against numpy evaluating the formulas on every
   pixel, each with a preallocated output and with a fresh one. Both numpy
   versions are checked against talvex bit for bit first.
2. talvex.surface_reflectance with per-pixel elevation and aerosol optical
   depth arrays, against the constant path and np.copyto.
3. talvex.xarray.correct on a chunked scene on a Dask LocalCluster of one
   and of two worker processes (one thread each).

Run by scripts/bench_python.sh, which builds the package and puts it on
PYTHONPATH.
"""

import argparse
import dataclasses
import pathlib
import statistics
import sys
import time

import numpy as np

import talvex

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE_PARAMETER_FILE = REPO / "examples" / "example-parameters.txt"

# The per-pixel formulas as TALVEX-V1 evaluates them, written out in numpy
# for the comparison only: the package itself has no second implementation.
BAND_SOLAR_IRRADIANCE = np.array([185.376, 158.978, 109.479, 23.703], np.float32)
COSD_DEGREE_FACTOR = 3.14 / 180.0
REFLECTANCE_PI = 3.14159265
FULL_SCALE = 4095.0
# The numpy versions work in blocks that stay in the cache.
BLOCK_PIXELS = 1 << 16


def earth_sun_factor(day_of_year: int) -> float:
    n = np.int32(day_of_year - 1)
    gamma = float(n) * 6.2831853 / 365.0
    day_angle = np.float32(gamma)
    twice = np.float32(2.0) * day_angle
    e = (
        1.00011
        + 0.034221 * np.cos(gamma)
        + 0.00128 * np.sin(float(day_angle))
        + 0.000719 * np.cos(float(twice))
        + 0.000077 * np.sin(float(twice))
    )
    return float(np.float32(1.0 / np.sqrt(e)))


class BandFormulas:
    """The per-pixel arithmetic of one band, on blocks of DNs."""

    def __init__(self, params, band):
        i = band - talvex.BANDS[0]
        terms = talvex.band_terms(params)[band]
        d = earth_sun_factor(params.day_of_year)
        self.lmin = float(params.lmin[i])
        self.span = float(params.lmax[i]) - float(params.lmin[i])
        self.d = d
        self.denominator = np.cos(float(params.solar_zenith_deg) * COSD_DEGREE_FACTOR) * float(
            BAND_SOLAR_IRRADIANCE[i]
        )
        self.path = float(terms.path_reflectance) * float(terms.gas_transmittance)
        self.transmission = (float(terms.down_transmission) * float(terms.up_transmission)) * float(
            terms.gas_transmittance
        )
        self.albedo = float(terms.spherical_albedo)

    def surface(self, dn: np.ndarray, out: np.ndarray) -> None:
        r = dn.astype(np.float64)
        r *= self.span
        r /= FULL_SCALE
        r += self.lmin
        r *= REFLECTANCE_PI
        r *= self.d
        r *= self.d
        r /= self.denominator
        n = r.astype(np.float32).astype(np.float64)  # the TOA reflectance as stored
        n -= self.path
        d = n * self.albedo
        d += self.transmission
        np.divide(n, d, out=out, casting="same_kind")
        out[dn == 0] = 0.0


def formula_tables(params) -> np.ndarray:
    every = np.arange(np.iinfo(np.uint16).max + 1, dtype=np.uint16)  # every DN
    tables = np.empty((len(talvex.BANDS), every.size), np.float32)
    for i, band in enumerate(talvex.BANDS):
        BandFormulas(params, band).surface(every, tables[i])
    return tables


def numpy_take(dn, tables, out):
    for i in range(len(tables)):
        np.take(tables[i], dn[i], out=out[i], mode="clip")


def numpy_take_blocks(dn, tables, out):
    for i in range(len(tables)):
        flat_dn, flat_out = dn[i].reshape(-1), out[i].reshape(-1)
        for start in range(0, flat_dn.size, BLOCK_PIXELS):
            block = slice(start, start + BLOCK_PIXELS)
            np.take(tables[i], flat_dn[block], out=flat_out[block], mode="clip")


def numpy_formulas(dn, formulas, out):
    for i, band_formulas in enumerate(formulas):
        flat_dn, flat_out = dn[i].reshape(-1), out[i].reshape(-1)
        for start in range(0, flat_dn.size, BLOCK_PIXELS):
            block = slice(start, start + BLOCK_PIXELS)
            band_formulas.surface(flat_dn[block], flat_out[block])


def median_seconds(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def example_parameters():
    """The example run's parameters, for scenes of any size."""
    read = talvex.read_parameters(EXAMPLE_PARAMETER_FILE)
    return dataclasses.replace(read, line_count=None, sample_count=None)


def in_memory(size, repeats):
    params = example_parameters()
    rng = np.random.default_rng(7)
    dn = rng.integers(0, 4096, (len(talvex.BANDS), size, size), dtype=np.uint16)
    shape, pixels = dn.shape, dn.size
    print(
        f"surface reflectance of a {len(talvex.BANDS)} x {size} x {size} uint16 array "
        f"({pixels / 1e6:.0f} M values), median of {repeats}"
    )

    start = time.perf_counter()
    tables = formula_tables(params)
    numpy_table_seconds = time.perf_counter() - start
    start = time.perf_counter()
    talvex.surface_reflectance(dn[:, :1, :1], params)  # makes the cached tables
    talvex_table_seconds = time.perf_counter() - start
    formulas = [BandFormulas(params, band) for band in talvex.BANDS]

    expected = talvex.surface_reflectance(dn, params)
    for name, convert, argument in [
        ("np.take", numpy_take, tables),
        ("np.take, blocks", numpy_take_blocks, tables),
        ("numpy formulas", numpy_formulas, formulas),
    ]:
        out = np.empty(shape, np.float32)
        convert(dn, argument, out)
        differ = int(np.count_nonzero(out.view(np.uint32) != expected.view(np.uint32)))
        if differ:
            sys.exit(f"{name} differs from talvex in {differ} values: fix the benchmark")
    print(
        f"  all versions equal to talvex bit for bit; tables made in "
        f"{talvex_table_seconds * 1e3:.1f} ms (talvex, once per Parameters), "
        f"{numpy_table_seconds * 1e3:.1f} ms (numpy formulas)"
    )

    preallocated = np.zeros(shape, np.float32)
    rows = []
    for name, convert in [
        ("talvex", lambda out: talvex.surface_reflectance(dn, params, out=out)),
        ("numpy table, np.take", lambda out: numpy_take(dn, tables, out)),
        ("numpy table, np.take in blocks", lambda out: numpy_take_blocks(dn, tables, out)),
        ("numpy formulas per pixel", lambda out: numpy_formulas(dn, formulas, out)),
    ]:
        runs = 1 if "formulas" in name else repeats
        kept = median_seconds(lambda: convert(preallocated), runs)
        if name == "talvex":  # the array the package allocates itself
            fresh = median_seconds(lambda: talvex.surface_reflectance(dn, params), runs)
        else:
            fresh = median_seconds(lambda: convert(np.empty(shape, np.float32)), runs)
        rows.append((name, kept, fresh))

    talvex_kept, talvex_fresh = rows[0][1], rows[0][2]
    print(f"  {'':32} {'preallocated out':>20} {'fresh out':>20}")
    for name, kept, fresh in rows:
        print(
            f"  {name:32} {kept:8.3f} s {kept / talvex_kept:6.2f} x "
            f"{fresh:8.3f} s {fresh / talvex_fresh:6.2f} x"
        )
    for label, row in [("np.take", rows[1]), ("np.take in blocks", rows[2])]:
        print(
            f"  talvex against {label}: {row[1] / talvex_kept:.2f} x preallocated (goal 3), "
            f"{row[2] / talvex_fresh:.2f} x fresh (goal above 1)"
        )
    print(f"  talvex: {pixels / talvex_kept / 1e6:.0f} M values/s into a preallocated output")


def with_maps(size, repeats):
    """surface_reflectance with per-pixel elevation and aerosol optical depth
    arrays against the constant path and the bare uint16 to float32 pass."""
    params = example_parameters()
    rng = np.random.default_rng(7)
    dn = rng.integers(0, 4096, (len(talvex.BANDS), size, size), dtype=np.uint16)
    # Hills of about 3300 distinct metres and a haze of about 600 distinct
    # thousandths, smooth across the scene.
    v, u = np.mgrid[0:size, 0:size].astype(np.float32) / np.float32(size)
    elevation = 150.0 + 3200.0 * (u + v) / 2.0 + 300.0 * np.sin(7.0 * u) * np.cos(5.0 * v)
    depth = 0.05 + 0.6 * (0.5 + 0.5 * np.cos(4.0 * u + 3.0 * v)) * (1.0 - 0.5 * v)
    elevation, depth = elevation.astype(np.float32), depth.astype(np.float32)
    out = np.empty(dn.shape, np.float32)
    talvex.surface_reflectance(dn[:, :1, :1], params)  # makes the cached tables
    copy = median_seconds(lambda: np.copyto(out, dn, casting="unsafe"), repeats)
    constant = median_seconds(lambda: talvex.surface_reflectance(dn, params, out=out), repeats)
    both = median_seconds(
        lambda: talvex.surface_reflectance(dn, params, elevation, depth, out=out), repeats
    )
    print(
        f"surface reflectance of a {len(talvex.BANDS)} x {size} x {size} uint16 array with "
        f"per-pixel maps, median of {repeats}, preallocated output"
    )
    print(f"  np.copyto (uint16 to float32)  {copy:8.3f} s")
    print(
        f"  constant parameters            {constant:8.3f} s {constant / copy:6.2f} x np.copyto (goal 1.3)"
    )
    print(
        f"  elevation and AOD arrays       {both:8.3f} s {both / constant:6.2f} x constant (goal 2)"
    )


def dask_cluster(size, chunk, repeats):
    import dask.array
    import xarray as xr
    from distributed import Client, LocalCluster

    import talvex.xarray

    params = example_parameters()
    bands = len(talvex.BANDS)
    tile = np.random.default_rng(11).integers(0, 4096, (bands, 256, 256), dtype=np.uint16)

    def make_block(block_info=None):
        # A chunk made on the worker from a small tile, so that the scene
        # costs no transfer and little time to make.
        shape = block_info[None]["chunk-shape"]
        reps = (1, -(-shape[1] // tile.shape[1]), -(-shape[2] // tile.shape[2]))
        return np.tile(tile, reps)[:, : shape[1], : shape[2]].copy()

    chunks = ((bands,),) + ((chunk,) * (size // chunk),) * 2

    def work(run):
        # A graph of its own for every run: the results of an earlier run
        # may still be held by the workers under the same names.
        dn = dask.array.map_blocks(
            make_block, dtype=np.uint16, chunks=chunks, name=f"talvex-bench-dn-{run}"
        )
        ds = talvex.xarray.correct(xr.DataArray(dn, dims=("band", "y", "x")), params)
        # Every value is computed, and only per-band sums come back.
        return ds.sum(("y", "x"), skipna=False)

    print(
        f"talvex.xarray.correct on a {bands} x {size} x {size} scene in "
        f"{(size // chunk) ** 2} chunks of {bands} x {chunk} x {chunk} (TOA and surface "
        f"reflectance, summed per band), median of {repeats}"
    )
    seconds = {}
    runs = iter(range(1000))
    for workers in (1, 2):
        with LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            host="127.0.0.1",
        ) as cluster, Client(cluster):
            work(next(runs)).compute()  # warm the workers: imports, tables
            graphs = [work(next(runs)) for _ in range(repeats)]
            times = []
            for graph in graphs:
                start = time.perf_counter()
                graph.compute()
                times.append(time.perf_counter() - start)
            seconds[workers] = statistics.median(times)
        rate = bands * size * size / seconds[workers] / 1e6
        print(
            f"  {workers} worker process{'es' if workers > 1 else ''}: "
            f"{seconds[workers]:.3f} s, {rate:.0f} M pixels/s"
        )
    print(f"  second worker: {seconds[1] / seconds[2]:.2f} x (goal 1.6)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=4000, help="side of the in-memory array")
    parser.add_argument("--dask-size", type=int, default=12288, help="side of the Dask scene")
    parser.add_argument("--chunk", type=int, default=2048, help="side of a Dask chunk")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--skip-maps", action="store_true")
    args = parser.parse_args()
    in_memory(args.size, args.repeats)
    if not args.skip_maps:
        print()
        with_maps(args.size, args.repeats)
    if not args.skip_dask:
        print()
        dask_cluster(args.dask_size, args.chunk, max(1, args.repeats // 2))


if __name__ == "__main__":
    main()
