#!/usr/bin/python3
"""cf_check.py FILE...: checks product files against the CF-1.8 and ACDD-1.3 rules that a reader
of them relies on, and prints one line per problem ("FILE: problem"); exit status 1 when there
is any, 0 otherwise ("ok: FILE" per clean file), 2 when udunits2 is missing.

Checked: every units attribute parses with udunits2 (Debian's udunits-bin); every standard_name is
in cf_standard_names.txt beside this script and the variable's units convert to its canonical
units; every name in a coordinates or bounds attribute is a variable, coordinates span no
dimension the variable lacks, bounds have the parent's dimensions plus one of size 2, hold
lower <= upper around the coordinate value, and time bounds are contiguous; coordinate variables
are strictly increasing without missing values; flag_values match flag_meanings; cell_methods
name dimensions; the featureType's required variables exist and the data variables name their
latitude and longitude (and, for points, time) as coordinates; the ACDD-1.3 highly recommended
global attributes (title, summary, keywords, Conventions) plus time_coverage_start/end and the
latitude and longitude bounds are present, and consistent with the data.
"""

import datetime as dt
import os
import subprocess
import sys

import netCDF4
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REQUIRED_GLOBALS = ["title", "summary", "keywords", "Conventions", "time_coverage_start", "time_coverage_end",
                    "geospatial_lat_min", "geospatial_lat_max", "geospatial_lon_min", "geospatial_lon_max"]
FEATURE_TYPES = {"point", "timeseries", "trajectory", "profile", "timeseriesprofile", "trajectoryprofile"}
LAT_UNITS = {"degrees_north", "degree_north", "degree_N", "degrees_N", "degreeN", "degreesN"}
LON_UNITS = {"degrees_east", "degree_east", "degree_E", "degrees_E", "degreeE", "degreesE"}
CALENDARS = {"standard", "gregorian", "proleptic_gregorian", "julian", "noleap", "365_day", "all_leap",
             "366_day", "360_day", "none"}


def load_standard_names():
    table = {}
    with open(os.path.join(HERE, "cf_standard_names.txt")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, _, units = line.strip().partition(" ")
                table[name] = units.strip()
    return table


_udunits = {}


def udunits(have, want=""):
    """udunits2's verdict on converting have to want ('' = just parse): None when fine, else its text.
    udunits2 exits 0 even when it refuses, so its standard error is the verdict."""
    key = (have, want)
    if key not in _udunits:
        r = subprocess.run(["udunits2", "-H", have, "-W", want], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True)
        err = r.stderr.strip()
        _udunits[key] = (err or f"exit status {r.returncode}") if (r.returncode or err) else None
    return _udunits[key]


def iso_time(text):
    try:
        return dt.datetime.fromisoformat(str(text).replace("Z", "+00:00")).timestamp()
    except ValueError:
        return None


def words(ds, var, attr):
    return str(getattr(var, attr, "")).split() if attr in var.ncattrs() else []


def check(path, names):
    problems = []
    say = problems.append
    ds = netCDF4.Dataset(path)
    ds.set_auto_mask(False)
    vs = ds.variables
    g = {k: ds.getncattr(k) for k in ds.ncattrs()}

    # ACDD and CF global attributes.
    for name in REQUIRED_GLOBALS:
        if name not in g or str(g[name]).strip() == "":
            say(f"global attribute {name} missing or empty")
    conv = str(g.get("Conventions", ""))
    if "CF-1." not in conv or "ACDD-1.3" not in conv:
        say(f"Conventions '{conv}' does not name CF-1.x and ACDD-1.3")
    feature = str(g.get("featureType", ""))
    if feature.lower() not in FEATURE_TYPES:
        say(f"featureType '{feature}' is not a CF feature type")
    start, end = iso_time(g.get("time_coverage_start", "")), iso_time(g.get("time_coverage_end", ""))
    for name, value in (("time_coverage_start", start), ("time_coverage_end", end)):
        if name in g and value is None:
            say(f"{name} '{g[name]}' is not an ISO 8601 time")

    by_std = {}
    for v in vs.values():
        by_std.setdefault(str(getattr(v, "standard_name", "")).split(" ")[0], []).append(v)
    coord_names, bounds_names = set(), set()

    for v in vs.values():
        std = str(getattr(v, "standard_name", "")).split(" ")[0]
        units = getattr(v, "units", None)
        # Units: udunits2 must parse them. dBZ is allowed by CF as the canonical unit of
        # equivalent_reflectivity_factor even where udunits cannot parse it (older releases), so it
        # is accepted for that standard name only, and refused for any other.
        if units is not None:
            units = str(units)
            if units == "dBZ" and std != "equivalent_reflectivity_factor":
                say(f"{v.name}: units dBZ belong to standard_name equivalent_reflectivity_factor only")
            elif not (units == "dBZ") and udunits(units):
                say(f"{v.name}: units '{units}' do not parse: {udunits(units)}")
        if std:
            if std not in names:
                say(f"{v.name}: standard_name '{std}' is not in the CF standard name table "
                    "(cf_standard_names.txt)")
            elif units is None and names[std] not in ("", "1"):
                say(f"{v.name}: standard_name {std} needs units convertible to {names[std]}")
            elif units is not None and units != names[std]:
                want = names[std] or "1"
                verdict = udunits(units.split(" since ")[0], want)  # a time's reference does not convert
                if verdict:
                    say(f"{v.name}: units '{units}' do not convert to {want}, the canonical units of {std}")
        if std == "latitude" and units not in LAT_UNITS:
            say(f"{v.name}: latitude needs units degrees_north")
        if std == "longitude" and units not in LON_UNITS:
            say(f"{v.name}: longitude needs units degrees_east")
        if std == "time" or getattr(v, "axis", "") == "T":
            if units is None or " since " not in units:
                say(f"{v.name}: time units need a reference time ('<unit> since <time>')")
            cal = str(getattr(v, "calendar", "standard")).lower()
            if cal not in CALENDARS:
                say(f"{v.name}: calendar '{cal}' is not a CF calendar")

        # coordinates: existing variables spanning only dimensions of this one.
        for c in words(ds, v, "coordinates"):
            coord_names.add(c)
            if c not in vs:
                say(f"{v.name}: coordinates names '{c}', which is not a variable")
            elif not set(vs[c].dimensions) <= set(v.dimensions):
                say(f"{v.name}: coordinate {c} has dimensions {vs[c].dimensions} not all of {v.dimensions}")

        # bounds: the parent's dimensions plus a vertex dimension of 2; lower <= value <= upper.
        if "bounds" in v.ncattrs():
            b = str(v.bounds)
            bounds_names.add(b)
            if b not in vs:
                say(f"{v.name}: bounds names '{b}', which is not a variable")
            else:
                bv = vs[b]
                if bv.dimensions[:-1] != v.dimensions or len(bv.dimensions) != len(v.dimensions) + 1 or \
                        len(ds.dimensions[bv.dimensions[-1]]) != 2:
                    say(f"{b}: dimensions {bv.dimensions} are not those of {v.name} {v.dimensions} "
                        "plus one of size 2")
                else:
                    if "units" in bv.ncattrs() and str(bv.units) != str(units):
                        say(f"{b}: units '{bv.units}' differ from those of {v.name}")
                    val, bnd = np.asarray(v[:], float), np.asarray(bv[:], float)
                    if not np.isfinite(bnd).all():
                        say(f"{b}: missing values")
                    elif (bnd[..., 0] > bnd[..., 1]).any():
                        k = int(np.argmax(bnd[..., 0] > bnd[..., 1]))
                        say(f"{b}: a lower bound above its upper bound (index {k})")
                    elif ((val < bnd[..., 0]) | (val > bnd[..., 1])).any():
                        say(f"{v.name}: a value outside its bounds")
                    if (std == "time" or getattr(v, "axis", "") == "T") and bnd.ndim == 2 and len(bnd) > 1 \
                            and np.isfinite(bnd).all() and (bnd[1:, 0] != bnd[:-1, 1]).any():
                        k = int(np.argmax(bnd[1:, 0] != bnd[:-1, 1]))
                        say(f"{b}: not contiguous (interval {k + 1} starts at {bnd[k + 1, 0]}, "
                            f"{k} ends at {bnd[k, 1]})")

        # Coordinate variables: no missing values, strictly increasing.
        if v.dimensions == (v.name,) and v.dtype != str:
            val = np.asarray(v[:], float)
            fill = getattr(v, "_FillValue", None)
            if not np.isfinite(val).all() or (fill is not None and np.isfinite(fill) and (val == fill).any()):
                say(f"{v.name}: coordinate variable with missing values")
            elif len(val) > 1 and not (np.diff(val) > 0).all():
                k = int(np.argmax(np.diff(val) <= 0)) + 1
                say(f"{v.name}: coordinate variable not strictly increasing (at index {k})")

        # Flags.
        if "flag_meanings" in v.ncattrs() or "flag_values" in v.ncattrs():
            fv = np.atleast_1d(getattr(v, "flag_values", []))
            if len(fv) != len(words(ds, v, "flag_meanings")):
                say(f"{v.name}: {len(fv)} flag_values but {len(words(ds, v, 'flag_meanings'))} flag_meanings")
            elif fv.dtype != v.dtype:
                say(f"{v.name}: flag_values of type {fv.dtype}, variable of type {v.dtype}")

        # cell_methods: "name: method" with names of dimensions (or area).
        for token in words(ds, v, "cell_methods"):
            cname = token[:-1]
            if token.endswith(":") and cname not in v.dimensions and cname not in vs and cname != "area":
                say(f"{v.name}: cell_methods names '{cname}', neither a dimension nor a variable")

    # The feature type's required variables, and the data variables' coordinates.
    lats, lons = by_std.get("latitude", []), by_std.get("longitude", [])
    times = by_std.get("time", [])
    if not lats or not lons:
        say(f"featureType {feature}: no latitude or longitude variable")
    if not times:
        say(f"featureType {feature}: no time variable")
    roles = [getattr(v, "cf_role", "") for v in vs.values()]
    if feature.lower() == "timeseries" and "timeseries_id" not in roles:
        say("featureType timeSeries: no variable with cf_role timeseries_id")
    for v in lats + lons:
        if v.dimensions and (not times or v.dimensions != times[0].dimensions):
            say(f"{v.name}: neither scalar nor along the time's dimension")
    if times and lats and lons:
        sample_dim = times[0].dimensions
        # Time is found through the dimension when it is a coordinate variable, else it must be named.
        needed = [lats[0].name, lons[0].name] + ([] if sample_dim == (times[0].name,) else [times[0].name])
        for v in vs.values():
            is_data = sample_dim and sample_dim[0] in v.dimensions and v.name not in coord_names | bounds_names \
                and v.dimensions != (v.name,)
            if is_data:
                missing = [n for n in needed if n not in words(ds, v, "coordinates")]
                if missing:
                    say(f"{v.name}: coordinates lack {' '.join(missing)}")

        # The coverage attributes against the data.
        t = np.asarray(times[0][:], float)
        tb = np.asarray(vs[times[0].bounds][:], float) if str(getattr(times[0], "bounds", "")) in vs else None
        lo, hi = (np.nanmin(tb), np.nanmax(tb)) if tb is not None and tb.size else \
            (np.nanmin(t), np.nanmax(t)) if t.size else (None, None)
        units = str(getattr(times[0], "units", ""))
        epoch = units.startswith("seconds since 1970-01-01")  # the files' time units; others are not converted
        if lo is not None and start is not None and end is not None and epoch:
            if lo < start - 0.5 or hi > end + 0.5:
                say(f"time from {lo} to {hi} lies outside time_coverage_start/end ({start} to {end})")
        for v, (gmin, gmax) in ((lats[0], ("geospatial_lat_min", "geospatial_lat_max")),
                                (lons[0], ("geospatial_lon_min", "geospatial_lon_max"))):
            val = np.asarray(v[...], float)
            if gmin in g and gmax in g and np.isfinite(val).any():
                if np.nanmin(val) < float(g[gmin]) or np.nanmax(val) > float(g[gmax]):
                    say(f"{v.name} outside {gmin}/{gmax}")
    ds.close()
    return problems


def main(argv):
    if not argv:
        print(__doc__.split("\n\n")[0], file=sys.stderr)
        return 2
    try:
        udunits("m")
    except FileNotFoundError:
        print("cf_check: udunits2 not found (Debian package udunits-bin)", file=sys.stderr)
        return 2
    names = load_standard_names()
    bad = 0
    for path in argv:
        try:
            problems = check(path, names)
        except OSError as e:
            problems = [f"cannot be read: {e}"]
        for p in problems:
            print(f"{path}: {p}")
        if problems:
            bad += 1
        else:
            print(f"ok: {path}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
