#!/usr/bin/python3
"""make_products.py: writes one day's product files (gridded and particle table) in the layout
of tools/droppair-products/daily_files.h, filled with synthetic but self-consistent rain, so that
the quick-looks and the CF check can be tested without the products command.

    make_products.py --out DIR [--day 2005-05-04] [--step 60] [--particles 20000] [--empty]
                     [--no-particles] [--law atlas|beard] [--tolerance 50%] [--seed 1]

The day holds two showers and a gap not recorded (10:00-11:30:30, so one interval partly recorded);
--empty makes a day with every interval not recorded and no particle. --particles 4000000 gives
the heavy day the quick-look must handle in seconds. Beyond the header, the files carry what the
CF/ACDD check asks of the writer (marked "asked of the writer" below).
"""

import argparse
import datetime as dt
import os

import netCDF4
import numpy as np

NAN = np.float32(np.nan)
STATION = {"id": "test01", "name": "Test field, mast 1", "lat": 47.2591, "lon": 11.3442, "alt": 578.0}


def atlas(d):
    return 9.65 - 10.3 * np.exp(-0.6 * d)


def recorded_windows(day0, empty):
    """Seconds of the day covered by a particle file, as [start, end) pairs."""
    if empty:
        return []
    # 10:00-11:30:30 not recorded: the 11:30 interval is partly recorded at steps of a minute or more.
    return [(0, 36000), (41430, 86400)]


def rain_profile(t):
    """Rain rate in mm/h at seconds of the day t: two showers."""
    r = 12 * np.exp(-0.5 * ((t - 6.0 * 3600) / 3000) ** 2) + 3 * np.exp(-0.5 * ((t - 15.5 * 3600) / 2000) ** 2)
    return r + 25 * np.exp(-0.5 * ((t - 16.2 * 3600) / 400) ** 2)


def make_particles(rng, n, day0, windows, edges):
    """Particle times (Unix seconds), diameters (mm), speeds (m/s), drawn along the rain profile."""
    if n == 0 or not windows:
        return np.zeros(0), np.zeros(0, np.float32), np.zeros(0, np.float32)
    grid = np.arange(0, 86400, 10.0) + 5
    weight = rain_profile(grid) ** 0.8
    inside = np.zeros(grid.size, bool)
    for a, b in windows:
        inside |= (grid >= a) & (grid < b)
    weight = np.where(inside, weight, 0)
    cells = rng.choice(grid.size, size=n, p=weight / weight.sum())
    t = grid[cells] - 5 + rng.uniform(0, 10, n)
    lam = 4.1 * np.maximum(rain_profile(t), 0.1) ** -0.21  # Marshall-Palmer slope, mm-1
    d = (0.15 + rng.exponential(1 / lam)).astype(np.float32)
    v = atlas(d) * (1 + 0.07 * rng.standard_normal(n))
    odd = rng.random(n) < 0.02  # splashes and mismatches: implausible speeds
    v[odd] = rng.uniform(0.3, 12, odd.sum())
    order = np.argsort(t)
    return day0 + t[order], d[order], np.maximum(v[order], 0.05).astype(np.float32)


def attributes(ds, day0, step, feature, law, tolerance, title):
    start = dt.datetime.fromtimestamp(day0, dt.timezone.utc)
    iso = lambda x: x.strftime("%Y-%m-%dT%H:%M:%SZ")
    ds.setncatts({
        "Conventions": "CF-1.8, ACDD-1.3", "featureType": feature, "title": title,
        "summary": "Synthetic sample in the layout of the daily product files, for tests.",
        "keywords": "rain, drop size distribution, disdrometer",  # ACDD highly recommended
        "id": os.path.basename(ds.filepath()), "institution": "Test institute", "license": "CC-BY-4.0",
        "creator_name": "Test Person", "creator_email": "test@example.org",
        "station_id": STATION["id"], "station_name": STATION["name"], "sensor_name": "two-camera distrometer",
        "sensor_serial_number": "SN-0001", "oeu_nr": np.int32(7),
        "geospatial_lat_min": STATION["lat"], "geospatial_lat_max": STATION["lat"],
        "geospatial_lon_min": STATION["lon"], "geospatial_lon_max": STATION["lon"],
        "geospatial_vertical_min": STATION["alt"], "geospatial_vertical_max": STATION["alt"],
        "geospatial_vertical_positive": "up",
        "time_coverage_start": iso(start), "time_coverage_end": iso(start + dt.timedelta(days=1)),
        "time_coverage_duration": "P1D", "time_coverage_resolution": f"PT{step}S",
        "date_created": iso(dt.datetime.now(dt.timezone.utc)), "history": "make_products.py",
        "software_name": "make_products.py", "software_version": "0", "software_commit": "0",
        "product_options": f"--step {step}", "fall_speed_law": law, "fall_speed_tolerance": tolerance,
        "keep_implausible": np.int32(0), "input_files": "V05124_1.sno 1234 " + "0" * 64,
        "settings": "V05124_1.sno\nHYD_PATH ...", "calibration": "V05124_1.sno\n...",
        "source_fingerprint": "0" * 64,
    })


def station_variables(ds, coords):
    for name, role in (("station_id", "timeseries_id"), ("station_name", None)):
        v = ds.createVariable(name, str, ())
        v.long_name = name.replace("_", " ")
        if role:
            v.cf_role = role
        v[...] = np.array(STATION[name.split("_")[1]], dtype=object)
    for name, units, std in (("latitude", "degrees_north", "latitude"), ("longitude", "degrees_east", "longitude"),
                             ("altitude", "m", "altitude")):
        v = ds.createVariable(name, "f8", (), fill_value=np.nan)
        v.setncatts({"standard_name": std, "long_name": std, "units": units})
        if name == "altitude":
            v.positive = "up"
        v[...] = STATION[name[:3]]
    return coords


def var(ds, name, typ, dims, units, data, coords, **atts):
    fill = {"f4": NAN, "f8": np.nan}.get(typ)
    # Whole-day chunks along time, 64k particles along particle: small chunks make reading slow.
    chunks = None
    if dims == ("particle",):
        chunks = (min(65536, max(1, len(data))),)
    elif "time" in dims:
        chunks = np.shape(data)
    v = ds.createVariable(name, typ, dims, zlib=True, complevel=1, fill_value=fill, chunksizes=chunks)
    if units is not None:
        v.units = units
    if coords:
        v.coordinates = coords
    v.setncatts(atts)
    v[:] = data
    return v


def write_gridded(path, day0, step, edges, windows, t, d, v, flag, law, tol):
    n_t, n_b = 86400 // step, len(edges) - 1
    starts = np.arange(n_t) * step
    covered = np.zeros(n_t)
    for a, b in windows:
        covered += np.clip(np.minimum(starts + step, b) - np.maximum(starts, a), 0, step)
    frac = covered / step
    data_flag = np.where(frac >= 1, 0, np.where(frac > 0, 1, 2)).astype(np.int8)
    it = ((t - day0) // step).astype(int)
    ib = np.clip(np.searchsorted(edges, d, side="right") - 1, 0, n_b - 1)
    used = flag == 0
    area, width = 0.01, np.diff(edges)  # m2, mm
    dt_rec = np.where(covered > 0, covered, np.nan)
    per = lambda w: np.bincount(it[used], weights=w[used], minlength=n_t)
    cell = lambda w: np.bincount(it[used] * n_b + ib[used], weights=w[used], minlength=n_t * n_b).reshape(n_t, n_b)
    counts = cell(np.ones_like(d)).astype(np.int32)
    nd = cell(1 / (area * v)) / dt_rec[:, None] / width
    msum = cell(v.astype(float))
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_v = np.where(counts > 0, msum / counts, np.nan)
        rate = np.pi / 6 * per(d.astype(float) ** 3) / (area * 1e6 * dt_rec) * 3600
        amount = rate * covered / 3600
        nt = per(1 / (area * v)) / dt_rec
        z = per(d.astype(float) ** 6 / (area * v)) / dt_rec
        lwc = np.pi / 6 * 1e-3 * per(d.astype(float) ** 3 / (area * v)) / dt_rec
        dm = per(d.astype(float) ** 4 / v) / per(d.astype(float) ** 3 / v)
        nw = 4 ** 4 / (np.pi * 1e6) * 1e3 * lwc / dm ** 4 * 1e3
        dbz = 10 * np.log10(z)
    accum = np.cumsum(np.nan_to_num(amount))
    accum[data_flag == 2] = np.nan
    with netCDF4.Dataset(path, "w") as ds:
        ds.createDimension("time", None)
        ds.createDimension("diameter_bin", n_b)
        ds.createDimension("nv", 2)
        attributes(ds, day0, step, "timeSeries", law, tol, "Drop size distribution and rain, test01, one day")
        c = station_variables(ds, "station_id station_name latitude longitude altitude")  # asked of the writer
        var(ds, "time", "f8", ("time",), "seconds since 1970-01-01 00:00:00 UTC", day0 + starts, None,
            standard_name="time", long_name="start of the interval", axis="T", calendar="standard",
            bounds="time_bnds")
        var(ds, "time_bnds", "f8", ("time", "nv"), None, np.stack([day0 + starts, day0 + starts + step], 1), None)
        var(ds, "diameter_bin", "f4", ("diameter_bin",), "mm", (edges[:-1] + edges[1:]) / 2, None,
            long_name="equivalent diameter, centre of the bin", bounds="diameter_bin_bnds")
        var(ds, "diameter_bin_bnds", "f4", ("diameter_bin", "nv"), None, np.stack([edges[:-1], edges[1:]], 1),
            None)
        var(ds, "diameter_bin_width", "f4", ("diameter_bin",), "mm", width, None, long_name="width of the bin")
        var(ds, "data_flag", "i1", ("time",), None, data_flag, c, long_name="data availability",
            flag_values=np.array([0, 1, 2], np.int8), flag_meanings="complete partly_recorded not_recorded")
        var(ds, "recorded_fraction", "f4", ("time",), "1", frac, c, long_name="fraction of the interval recorded")
        for name, sel in (("particles", np.ones_like(used)), ("particles_used", used),
                          ("particles_implausible", flag == 1), ("particles_cut", flag == 2)):
            var(ds, name, "i4", ("time",), "1", np.bincount(it[sel], minlength=n_t), c,
                long_name=name.replace("_", " "))
        var(ds, "counts", "i4", ("time", "diameter_bin"), "1", counts, c, long_name="particles used per bin")
        var(ds, "drop_size_distribution", "f4", ("time", "diameter_bin"), "m-3 mm-1", nd, c, long_name="N(D)")
        var(ds, "mean_fall_speed", "f4", ("time", "diameter_bin"), "m s-1", mean_v, c, long_name="mean fall speed")
        var(ds, "rain_rate", "f4", ("time",), "mm h-1", rate, c, standard_name="lwe_precipitation_rate",
            long_name="rain rate")
        var(ds, "rain_amount", "f4", ("time",), "mm", amount, c,
            standard_name="lwe_thickness_of_precipitation_amount", cell_methods="time: sum",
            long_name="rain in the interval")
        var(ds, "rain_accumulation", "f4", ("time",), "mm", accum, c, long_name="rain since 00:00 UTC")
        var(ds, "total_concentration", "f4", ("time",), "m-3", nt, c, long_name="total concentration")
        var(ds, "mass_weighted_mean_diameter", "f4", ("time",), "mm", dm, c, long_name="Dm")
        var(ds, "normalized_intercept", "f4", ("time",), "m-3 mm-1", nw, c, long_name="Nw")
        var(ds, "reflectivity_factor", "f4", ("time",), "mm6 m-3", z, c, long_name="Z")
        var(ds, "equivalent_reflectivity_factor", "f4", ("time",), "dBZ", dbz, c,
            standard_name="equivalent_reflectivity_factor")
        var(ds, "liquid_water_content", "f4", ("time",), "g m-3", lwc, c, long_name="liquid water content")


def write_particles(path, day0, step, t, d, v, flag, law, tol):
    n = len(t)
    c = "time latitude longitude altitude"
    with netCDF4.Dataset(path, "w") as ds:
        ds.createDimension("particle", None)
        attributes(ds, day0, step, "point", law, tol, "Particles, test01, one day")
        station_variables(ds, c)
        var(ds, "time", "f8", ("particle",), "seconds since 1970-01-01 00:00:00 UTC", t, None,
            standard_name="time", long_name="time of the particle", calendar="standard")
        var(ds, "source_file", "i2", ("particle",), None, np.zeros(n), c, long_name="line of input_files")
        var(ds, "line_number", "f8", ("particle",), "1", (t - day0) * 34000, c, long_name="y_start")
        var(ds, "equivalent_diameter", "f4", ("particle",), "mm", d, c, long_name="equivalent diameter")
        var(ds, "fall_speed", "f4", ("particle",), "m s-1", v, c, long_name="fall speed")
        var(ds, "fall_speed_delay_only", "f4", ("particle",), "m s-1", v * 1.01, c,
            long_name="fall speed, delay only")
        var(ds, "reference_fall_speed", "f4", ("particle",), "m s-1", atlas(d), c,
            long_name="reference fall speed")
        var(ds, "fall_speed_flag", "i1", ("particle",), None, np.where(flag == 1, 1, 0), c,
            flag_values=np.array([0, 1, 2, 3], np.int8), flag_meanings="plausible too_slow too_fast not_checked")
        var(ds, "product_flag", "i1", ("particle",), None, flag, c, flag_values=np.array([0, 1, 2, 3, 4], np.int8),
            flag_meanings="used implausible_fall_speed cut_at_line_end diameter_outside_bins incomplete_record")
        for name in ("scale_a", "scale_b", "scale_h", "pixel_size_a", "pixel_size_b"):
            var(ds, name, "f4", ("particle",), "mm", np.full(n, 0.15), c, long_name=name.replace("_", " "))
        var(ds, "plane_distance", "f4", ("particle",), "mm", np.full(n, 6.1), c, long_name="plane distance")
        for name in ("width_a", "width_b", "height_a", "height_b"):
            var(ds, name, "f4", ("particle",), "mm", d, c, long_name=name.replace("_", " "))
        var(ds, "sampling_area", "f4", ("particle",), "m2", np.full(n, 0.01), c, long_name="sampling area")
        var(ds, "axis_ratio", "f4", ("particle",), "1", np.ones(n), c, long_name="axis ratio")
        for name in ("x_min_a", "x_min_b", "width_a_px", "width_b_px", "height_a_lines", "height_b_lines",
                     "diff_lins"):
            var(ds, name, "i2", ("particle",), "1", np.full(n, 7), c, long_name=name.replace("_", " "))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--out", required=True)
    p.add_argument("--day", default="2005-05-04")
    p.add_argument("--step", type=int, default=60)
    p.add_argument("--particles", type=int, default=20000)
    p.add_argument("--empty", action="store_true")
    p.add_argument("--no-particles", action="store_true", help="write no particle file")
    p.add_argument("--law", default="atlas")
    p.add_argument("--tolerance", default="50%")
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    day0 = int(dt.datetime.strptime(a.day, "%Y-%m-%d").replace(tzinfo=dt.timezone.utc).timestamp())
    rng = np.random.default_rng(a.seed)
    edges = np.arange(1, 81) * 0.125
    windows = recorded_windows(day0, a.empty)
    t, d, v = make_particles(rng, 0 if a.empty else a.particles, day0, windows, edges)
    ref = atlas(d)
    flag = np.where(np.abs(v - ref) > 0.5 * ref, 1, 0).astype(np.int8)
    flag[(d < edges[0]) | (d >= edges[-1])] = 3
    flag[rng.random(len(d)) < 0.01] = 2
    os.makedirs(a.out, exist_ok=True)
    stem = os.path.join(a.out, f"{STATION['id']}_{a.day.replace('-', '')}")
    write_gridded(f"{stem}_dsd_{a.step}s.nc", day0, a.step, edges, windows, t, d, v, flag, a.law, a.tolerance)
    if not a.no_particles:
        write_particles(f"{stem}_particles.nc", day0, a.step, t, d, v, flag, a.law, a.tolerance)


if __name__ == "__main__":
    main()
