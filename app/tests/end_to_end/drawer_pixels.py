#!/usr/bin/env python3
"""Counts the drawer's line colours in a screenshot (any format ImageMagick reads).

    drawer_pixels.py SHOT.png free|fixed|left [FROM_X]   -> "COUNT X0 Y0 X1 Y1" (bounding box; zeros when none)

Only pixels at FROM_X and to its right count (the drawer pane; the model
editor left of it draws a red flag of its own).
"""
import subprocess
import sys

COLOURS = {
    "free": lambda r, g, b: abs(r - 5) <= 3 and abs(g - 189) <= 3 and abs(b - 250) <= 3,
    "fixed": lambda r, g, b: r <= 3 and g <= 3 and b >= 252,
    "left": lambda r, g, b: r >= 200 and g <= 60 and b <= 60,
}


def read_ppm(path):
    data = subprocess.run(["convert", path, "ppm:-"], check=True, capture_output=True).stdout
    fields, position = [], 0
    while len(fields) < 4:  # P6, width, height, maximum
        while data[position:position + 1].isspace():
            position += 1
        if data[position:position + 1] == b"#":
            position = data.index(b"\n", position) + 1
            continue
        end = position
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[position:end])
        position = end
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[position + 1:]


def main():
    path, kind = sys.argv[1], sys.argv[2]
    from_x = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    test = COLOURS[kind]
    width, height, pixels = read_ppm(path)
    count, box = 0, [width, height, -1, -1]
    for y in range(height):
        row = pixels[y * width * 3:(y + 1) * width * 3]
        for x in range(from_x, width):
            if test(row[3 * x], row[3 * x + 1], row[3 * x + 2]):
                count += 1
                box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
    if count == 0:
        box = [0, 0, 0, 0]
    print(count, *box)


if __name__ == "__main__":
    main()
