#!/usr/bin/env python3
"""The benchmark's yardstick: the job of initocsv or csvtoini (the first
argument), done in the working folder with Python's configparser and csv
modules, as a short script would do it."""
import configparser
import csv
import sys

KEYS = ["move", "price", "rangemin", "rangemax", "canhit", "attack0", "attack1", "attack2",
        "resist0", "resist1", "resist2", "isarmy1", "isarmy2", "isarmy3", "techlevel"]
DEFAULTS = {"isarmy1": 1, "isarmy2": 1, "isarmy3": 1, "techlevel": 2}
HEADER = ["Name", "Move", "Cost", "R Min", "R Max", "H Land", "H Air", "H Sea", "A Gun", "A Fire",
          "A Bomb", "D Gun", "D Fire", "D Bomb", "Crimson", "Cobalt", "Pine", "Tech", ""]


def load():
    ini = configparser.ConfigParser(strict=False, interpolation=None, allow_no_value=True)
    with open("valdra.ini", encoding="utf-8") as f:
        ini.read_file(f)
    return ini


def initocsv():
    ini = load()
    units = ini["unitnames"] if ini.has_section("unitnames") else {}
    with open("valdra.csv", "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f)
        out.writerow(HEADER)
        for n in range(100):
            name = units.get("unit%d" % n)
            if not name:
                break
            section = ini[name] if ini.has_section(name) else {}
            v = {k: int(section.get(k) or DEFAULTS.get(k, 0), 0) for k in KEYS}
            c = v.pop("canhit")
            row = [v["move"], v["price"], v["rangemin"], v["rangemax"], c & 1, c >> 1 & 1, c >> 2 & 1]
            row += [v[k] for k in KEYS[5:] if k != "canhit"]
            out.writerow([name] + row + [""])


def csvtoini():
    ini = load()
    with open("valdra.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))[1:]
    if not ini.has_section("unitnames"):
        ini.add_section("unitnames")
    for n, row in enumerate(rows):
        name, v = row[0], [int(x or 0) for x in row[1:18]]
        ini["unitnames"]["unit%d" % n] = name
        if not ini.has_section(name):
            ini.add_section(name)
        values = v[:4] + [v[4] + 2 * v[5] + 4 * v[6]] + v[7:]
        for k, x in zip(KEYS, values):
            ini[name][k] = str(x)
    with open("valdra.ini", "w", encoding="utf-8") as f:
        ini.write(f)


{"initocsv": initocsv, "csvtoini": csvtoini}[sys.argv[1]]()
