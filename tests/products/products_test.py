#!/usr/bin/python3
"""products_test.py: tests of the CF/ACDD checker and of droppair-quicklook on sample files from
make_products.py. Each fault the checker must catch is put into a copy of a clean file; the
quick-look runs on a normal day, an empty day, a day without its particle file and a day checked
with Beard's law, and its port of Beard's law is compared with values of snodump's beard_speed.
Prints one line per failure and "N passed, N failed"; exit status 1 on a failure.
"""

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile

import netCDF4
import numpy as np

sys.dont_write_bytecode = True  # loading the quick-look script must leave no cache beside it
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
QUICKLOOK = os.path.join(ROOT, "scripts", "droppair-quicklook")

# beard_speed(D) of tools/snodump/sno_products.cc, printed with %.15g: both branches, the switch at
# 1.07 mm and the clamp at 7 mm.
BEARD = [(0.05, 0.0722667381282984), (0.3, 1.14482783701693), (1.0, 4.00455258772328),
         (1.0699, 4.24423238429239), (1.0701, 4.24574429857463), (2.0, 6.50580617300977),
         (5.0, 9.08190563925229), (7.0, 9.1172582942539), (9.5, 9.1172582942539)]

# (what is broken, how, the text the checker must print)
FAULTS = [
    ("unit", lambda ds: ds["rain_rate"].setncattr("units", "mm h-1 rain"),
     "rain_rate: units 'mm h-1 rain' do not parse"),
    ("unconvertible", lambda ds: ds["rain_amount"].setncattr("units", "mm h-1"), "do not convert to m, the canonical"),
    ("name", lambda ds: ds["rain_rate"].setncattr("standard_name", "rain_rate"), "standard_name 'rain_rate' is not in"),
    ("dBZ", lambda ds: ds["reflectivity_factor"].setncattr("units", "dBZ"), "reflectivity_factor: units dBZ belong"),
    ("coordinates", lambda ds: ds["counts"].setncattr("coordinates", "latitude longitude lat"), "'lat', which is not"),
    ("data coordinates", lambda ds: ds["rain_rate"].setncattr("coordinates", "station_id"),
     "rain_rate: coordinates lack latitude longitude"),
    ("bounds name", lambda ds: ds["diameter_bin"].setncattr("bounds", "d_bnds"), "'d_bnds', which is not"),
    ("bounds order", lambda ds: ds["diameter_bin_bnds"].__setitem__((3, 0), 9.0),
     "diameter_bin_bnds: a lower bound above"),
    ("gap", lambda ds: ds["time_bnds"].__setitem__((10, 1), ds["time_bnds"][10, 1] + 1), "time_bnds: not contiguous"),
    ("increasing", lambda ds: ds["time"].__setitem__(5, ds["time"][3]),
     "time: coordinate variable not strictly increasing"),
    ("keywords", lambda ds: ds.delncattr("keywords"), "global attribute keywords missing"),
    ("coverage", lambda ds: ds.setncattr("time_coverage_start", "2005-05-04T01:00:00Z"), "lies outside time_coverage"),
    ("flags", lambda ds: ds["data_flag"].setncattr("flag_meanings", "complete not_recorded"), "3 flag_values but 2"),
    ("cf_role", lambda ds: ds["station_id"].delncattr("cf_role"), "no variable with cf_role timeseries_id"),
    ("cell_methods", lambda ds: ds["rain_amount"].setncattr("cell_methods", "t: sum"), "cell_methods names 't'"),
]


def run(*cmd):
    r = subprocess.run(cmd, capture_output=True, text=True)
    return r.returncode, r.stdout + r.stderr


def main():
    failures, passed = [], 0

    def expect(ok, what):
        nonlocal passed
        if ok:
            passed += 1
        else:
            failures.append(what)
            print(f"FAIL {what}")

    tmp = tempfile.mkdtemp()
    try:
        make = [sys.executable, os.path.join(HERE, "make_products.py"), "--out"]
        subprocess.run(make + [f"{tmp}/day", "--particles", "3000"], check=True)
        subprocess.run(make + [f"{tmp}/empty", "--day", "2005-05-05", "--empty"], check=True)
        subprocess.run(make + [f"{tmp}/beard", "--day", "2005-05-06", "--particles", "3000", "--law", "beard",
                               "--tolerance", "0.5m/s"], check=True)
        subprocess.run(make + [f"{tmp}/lonely", "--day", "2005-05-07", "--no-particles"], check=True)
        grid = f"{tmp}/day/test01_20050504_dsd_60s.nc"
        check = [sys.executable, os.path.join(HERE, "cf_check.py")]

        status, out = run(*check, grid, f"{tmp}/day/test01_20050504_particles.nc",
                          f"{tmp}/empty/test01_20050505_dsd_60s.nc")
        expect(status == 0, f"cf_check on clean samples: {out}")
        # One run over every spoilt copy; each must fail for its own fault.
        bad = {}
        for what, spoil, text in FAULTS:
            bad[what] = f"{tmp}/bad_{what.replace(' ', '_')}.nc"
            shutil.copy(grid, bad[what])
            with netCDF4.Dataset(bad[what], "a") as ds:
                spoil(ds)
        bad["particle time"] = f"{tmp}/bad_particle_time.nc"  # a particle outside the day
        shutil.copy(f"{tmp}/day/test01_20050504_particles.nc", bad["particle time"])
        with netCDF4.Dataset(bad["particle time"], "a") as ds:
            ds["time"][0] = ds["time"][0] - 86400
        status, out = run(*check, *bad.values())
        expect(status == 1, "cf_check's exit status on faulty files")
        lines = out.splitlines()
        for what, _, text in FAULTS + [("particle time", None, "lies outside time_coverage")]:
            mine = [l for l in lines if l.startswith(bad[what] + ": ")]
            expect(any(text in l for l in mine), f"cf_check, {what}: {mine}")

        # The quick-look's Beard law is snodump's.
        loader = importlib.machinery.SourceFileLoader("quicklook", QUICKLOOK)
        module_def = importlib.util.spec_from_loader("quicklook", loader)
        ql = importlib.util.module_from_spec(module_def)
        loader.exec_module(ql)
        d, v = np.array(BEARD).T
        expect(np.allclose(ql.beard_speed(d), v, rtol=1e-12, atol=0), f"beard_speed: {ql.beard_speed(d) - v}")
        expect(np.isnan(ql.beard_speed([0.0, -1.0, np.nan])).all(), "beard_speed of D <= 0 is NaN")
        expect(ql.parse_tolerance("50%") == (0.5, True) and ql.parse_tolerance("0.5m/s") == (0.5, False)
               and ql.parse_tolerance("fast") is None, "parse_tolerance")

        # Images: a directory and single files; every day one PNG, whatever its data.
        status, out = run(sys.executable, QUICKLOOK, "--out", f"{tmp}/png", f"{tmp}/day",
                          f"{tmp}/empty/test01_20050505_dsd_60s.nc", f"{tmp}/beard",
                          f"{tmp}/lonely/test01_20050507_dsd_60s.nc")
        expect(status == 0, f"quicklook: {out}")
        for day in ("20050504", "20050505", "20050506", "20050507"):
            png = f"{tmp}/png/test01_{day}_quicklook.png"
            expect(os.path.exists(png) and os.path.getsize(png) > 50000, f"quicklook image {png}")
        status, out = run(sys.executable, QUICKLOOK, "--out", f"{tmp}/png",
                          f"{tmp}/day/test01_20050504_particles.nc")
        expect(status == 1 and "not a daily gridded product file" in out, f"quicklook on a particle file: {out}")
    finally:
        shutil.rmtree(tmp)
    print(f"{passed} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
