#!/usr/bin/env python3
"""Writes examples/colors.csv, the named colours the demo searches, from X11's rgb.txt.

    examples/make_colors_csv.py [/usr/share/X11/rgb.txt] > examples/colors.csv

Columns: name, r, g, b (0 to 255), family (a hue family, or gray for colours with almost no
chroma; the demo's partition key), tone (warm, cool or neutral) and lightness (0 to 100).
Names are lower case without spaces ("steelblue"); rgb.txt spells most colours twice
("steel blue" and "SteelBlue") and many grays twice ("gray50" and "grey50"), so each colour
is kept once, under its "gray" spelling.
"""

import colorsys
import csv
import sys

# Upper bounds of the hue ranges in degrees; red also takes the top of the circle.
HUE_FAMILIES = [
    (15, "red"),
    (45, "orange"),
    (70, "yellow"),
    (165, "green"),
    (195, "cyan"),
    (255, "blue"),
    (290, "purple"),
    (345, "pink"),
    (360, "red"),
]


def read_rgb_txt(path):
    """(name, r, g, b) for each line of rgb.txt, in file order."""
    with open(path, encoding="latin-1") as f:
        for line in f:
            if line.startswith("!") or not line.strip():
                continue
            r, g, b, name = line.split(None, 3)
            yield name.strip(), int(r), int(g), int(b)


def describe(r, g, b):
    """(family, tone, lightness) of one colour."""
    hue, lightness, _ = colorsys.rgb_to_hls(r / 255, g / 255, b / 255)
    chroma = (max(r, g, b) - min(r, g, b)) / 255
    if chroma < 0.08:
        family, tone = "gray", "neutral"
    else:
        degrees = hue * 360
        family = next(name for bound, name in HUE_FAMILIES if degrees < bound)
        tone = "warm" if degrees < 75 or degrees >= 300 else "cool"
    return family, tone, round(lightness * 100)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/X11/rgb.txt"
    colours = {}
    for name, r, g, b in read_rgb_txt(path):
        if " " in name:
            continue  # the same colour is listed again under its one-word name
        key = name.lower()
        colours.setdefault(key, (r, g, b))
    out = csv.writer(sys.stdout, lineterminator="\n")
    out.writerow(["name", "r", "g", "b", "family", "tone", "lightness"])
    for name in sorted(colours):
        if "grey" in name and name.replace("grey", "gray") in colours:
            continue
        r, g, b = colours[name]
        out.writerow([name, r, g, b, *describe(r, g, b)])


if __name__ == "__main__":
    main()
