#!/usr/bin/python3
"""xarray_series.py [--inputs DIR] GRIDDED...: the daily gridded files of consecutive days, opened
with xarray.open_mfdataset(files, combine="by_coords") as users open them, must give one regular
time axis (no gap, no duplicate, from 00:00 of the first day to the last interval of the last day)
with the station's scalar coordinates (latitude, longitude, ...) and the provenance attributes
intact. Each file's time is its record dimension, its interval particle counts add up to its
particle table, and (with --inputs) every input_files line names a file under DIR with that size
and SHA-256. Prints one line per problem; exit status 1 on any.
"""

import argparse
import hashlib
import os
import re
import sys

import netCDF4
import numpy as np
import xarray as xr

STATION = ["station_id", "station_name", "latitude", "longitude", "altitude"]  # scalars that must stay scalars
PROVENANCE = ["software_name", "software_version", "software_commit", "input_files", "settings", "calibration",
              "product_options", "source_fingerprint", "history", "station_id", "Conventions"]


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("files", nargs="+")
    p.add_argument("--inputs", metavar="DIR",
                   help="directory holding the particle files the products were made from")
    a = p.parse_args(argv)
    problems = []
    say = problems.append
    files = sorted(a.files)
    found = {}
    if a.inputs:
        for root, _, names in os.walk(a.inputs):
            for n in names:
                found.setdefault(n, os.path.join(root, n))

    # Each file on its own, as written.
    singles = []
    for path in files:
        with netCDF4.Dataset(path) as ds:
            ds.set_auto_mask(False)
            if not ds.dimensions["time"].isunlimited():
                say(f"{path}: time is not the record (unlimited) dimension")
            singles.append({"attrs": {k: ds.getncattr(k) for k in ds.ncattrs()},
                            "dims": {n: v.dimensions for n, v in ds.variables.items()},
                            "lat": float(ds["latitude"][...]), "lon": float(ds["longitude"][...]),
                            "particles": int(np.sum(ds["particles"][:])),
                            "step": float(np.diff(ds["time_bnds"][0])[0]), "start": float(ds["time_bnds"][0, 0])})
        twin = re.sub(r"_dsd_\d+s\.nc$", "_particles.nc", path)
        if os.path.exists(twin):
            with netCDF4.Dataset(twin) as ds:
                n = len(ds.dimensions["particle"])
            if n != singles[-1]["particles"]:
                say(f"{path}: particles per interval add up to {singles[-1]['particles']}, "
                    f"its particle table holds {n}")
        else:
            say(f"{path}: no particle table {os.path.basename(twin)} beside it")
        for line in str(singles[-1]["attrs"].get("input_files", "")).splitlines():
            parts = line.split()
            if len(parts) != 3 or not parts[1].isdigit() or not re.fullmatch(r"[0-9a-f]{64}", parts[2]):
                say(f"{path}: input_files line '{line}' is not '<name> <bytes> <sha256>'")
            elif a.inputs:
                real = found.get(os.path.basename(parts[0]))
                if real is None:
                    say(f"{path}: input {parts[0]} not found under {a.inputs}")
                elif os.path.getsize(real) != int(parts[1]) or sha256(real) != parts[2]:
                    say(f"{path}: input {parts[0]}: size or SHA-256 differs from {real}")

    # The series, as xarray users open it.
    ds = xr.open_mfdataset(files, combine="by_coords")
    step = singles[0]["step"]
    t = ds["time"].values.astype("datetime64[ns]").astype(np.int64) / 1e9
    day0 = singles[0]["start"] - singles[0]["start"] % 86400  # 00:00 UTC of the first day
    expected = day0 + np.arange(round(len(files) * 86400 / step)) * step
    if len(t) != len(expected) or not np.array_equal(t, expected):
        dt = np.diff(t)
        say(f"series: {len(t)} times (expected {len(expected)}), first {t[:1]}, last {t[-1:]}, "
            f"steps {sorted(set(dt.tolist()))[:5]}, duplicates {int(np.sum(dt == 0))}")
    for name in STATION:
        if name not in ds.variables:
            say(f"series: {name} lost")
        elif ds[name].ndim != 0:
            say(f"series: {name} gained dimensions {ds[name].dims}: name it in the data variables' coordinates")
    for name in ("latitude", "longitude"):
        if name in ds.variables and ds[name].ndim == 0:
            value, want = float(ds[name].values), singles[0]["lat" if name == "latitude" else "lon"]
            if not (value == want or (np.isnan(value) and np.isnan(want))):
                say(f"series: {name} is {value}, the files have {want}")
    for name in PROVENANCE:
        if name not in ds.attrs or str(ds.attrs[name]) != str(singles[0]["attrs"].get(name)):
            say(f"series: global attribute {name} lost or changed")
    # Variables without time (bin bounds and widths) gain it under open_mfdataset's default
    # data_vars="all"; harmless for the time axis, so only noted (data_vars="minimal" avoids it).
    gained = [n for n, dims in singles[0]["dims"].items()
              if n in ds.variables and n not in STATION and "time" not in dims and "time" in ds[n].dims]
    if gained:
        print(f"note: with data_vars='all' (the default) {', '.join(gained)} gain a time dimension")
    ds.close()

    for p_ in problems:
        print(p_)
    if not problems:
        print(f"xarray series: {len(files)} files, {len(t)} intervals of {step:g} s, "
              f"latitude {singles[0]['lat']}, longitude {singles[0]['lon']}: ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
