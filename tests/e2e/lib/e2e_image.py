#!/usr/bin/env python3
"""Looks at screenshots of the launcher window.

  rgb FILE X Y                          colour of one pixel: "R G B"
  bbox FILE R G B TOL X0 Y0 X1 Y1       bounding box of the pixels of that colour (within TOL
                                        per channel) inside the region: "x0 y0 x1 y1 count",
                                        or "none"
  rects FILE WIDTH TOL X0 Y0 X1 Y1      flat-filled rectangles WIDTH (+-TOL) pixels wide in the
                                        region, from rows of one colour: "x y w h R G B" a line
  ocr FILE X0 Y0 X1 Y1                  the text in the region (tesseract), on one line
  find FILE X0 Y0 X1 Y1 WORD...         centre "x y" of the first line holding these words in
                                        the region (case folded), or "none"
Regions are half-open: X0 <= x < X1, Y0 <= y < Y1.
"""
import os
import shutil
import subprocess
import sys
import tempfile


def load(path):
    data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], check=True,
                          stdout=subprocess.PIPE).stdout
    # P6 header: magic, width, height, maxval, each separated by white space.
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[pos:]


def pixel(img, x, y):
    width, _, px = img
    i = (y * width + x) * 3
    return px[i], px[i + 1], px[i + 2]


def clamp_region(img, x0, y0, x1, y1):
    width, height, _ = img
    return max(0, x0), max(0, y0), min(width, x1), min(height, y1)


def near(a, b, tol):
    return all(abs(p - q) <= tol for p, q in zip(a, b))


def cmd_bbox(img, r, g, b, tol, x0, y0, x1, y1):
    x0, y0, x1, y1 = clamp_region(img, x0, y0, x1, y1)
    want = (r, g, b)
    box = None
    count = 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            if near(pixel(img, x, y), want, tol):
                count += 1
                if box is None:
                    box = [x, y, x, y]
                else:
                    box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
    if box is None:
        print("none")
    else:
        print(box[0], box[1], box[2] + 1, box[3] + 1, count)


def cmd_rects(img, want_width, tol, x0, y0, x1, y1):
    x0, y0, x1, y1 = clamp_region(img, x0, y0, x1, y1)
    runs = {}  # (x, w, colour) -> list of rows
    for y in range(y0, y1):
        x = x0
        while x < x1:
            c = pixel(img, x, y)
            end = x + 1
            while end < x1 and pixel(img, end, y) == c:
                end += 1
            w = end - x
            if abs(w - want_width) <= tol:
                runs.setdefault((x, w, c), []).append(y)
            x = end
    found = []
    for (x, w, c), rows in runs.items():
        rows.sort()
        start = prev = rows[0]
        for y in rows[1:] + [None]:
            if y is not None and y <= prev + 3:  # a text line may interrupt a few rows
                prev = y
                continue
            if prev - start + 1 >= 3:
                found.append((x, start, w, prev - start + 1, c))
            if y is not None:
                start = prev = y
    # Rows interrupted by text produce several pieces of one rectangle: merge by x, w, colour.
    found.sort(key=lambda f: (f[0], f[1]))
    for x, y, w, h, c in found:
        print(x, y, w, h, *c)


def cmd_ocr(path, x0, y0, x1, y1):
    if not shutil.which("tesseract"):
        print("")
        return
    with tempfile.TemporaryDirectory() as tmp:
        crop = os.path.join(tmp, "crop.png")
        subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0), "+repage",
                        "-colorspace", "Gray", "-negate", "-resize", "400%", "-normalize", crop], check=True)
        out = subprocess.run(["tesseract", crop, "-", "--psm", "6"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
    print(" ".join(out.split()))


def cmd_find(path, x0, y0, x1, y1, words):
    if not shutil.which("tesseract"):
        print("none")
        return
    scale = 4
    with tempfile.TemporaryDirectory() as tmp:
        crop = os.path.join(tmp, "crop.png")
        subprocess.run(["convert", path, "-crop", "%dx%d+%d+%d" % (x1 - x0, y1 - y0, x0, y0), "+repage",
                        "-colorspace", "Gray", "-negate", "-resize", "%d%%" % (scale * 100), "-normalize", crop],
                       check=True)
        tsv = subprocess.run(["tesseract", crop, "-", "--psm", "11", "tsv"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
    want = [w.lower() for w in words]
    found = []  # (left, top, width, height, text)
    for line in tsv.splitlines()[1:]:
        f = line.split("\t")
        if len(f) == 12 and f[11].strip():
            found.append((int(f[6]), int(f[7]), int(f[8]), int(f[9]), f[11].strip().lower()))
    for i, (left, top, w, h, text) in enumerate(found):
        if want[0] not in text:
            continue
        run = [found[i]]
        for nxt in found[i + 1:i + len(want)]:
            run.append(nxt)
        if all(wd in r[4] for wd, r in zip(want, run)) and len(run) >= len(want):
            right = max(r[0] + r[2] for r in run[:len(want)])
            bottom = max(r[1] + r[3] for r in run[:len(want)])
            print(x0 + (left + right) // (2 * scale), y0 + (top + bottom) // (2 * scale))
            return
    print("none")


def main():
    cmd, path = sys.argv[1], sys.argv[2]
    if cmd == "find":
        cmd_find(path, *[int(a) for a in sys.argv[3:7]], sys.argv[7:])
        return
    args = [int(a) for a in sys.argv[3:]]
    if cmd == "ocr":
        cmd_ocr(path, *args)
        return
    img = load(path)
    if cmd == "rgb":
        print(*pixel(img, args[0], args[1]))
    elif cmd == "bbox":
        cmd_bbox(img, *args)
    elif cmd == "rects":
        cmd_rects(img, *args)
    else:
        sys.exit("unknown command " + cmd)


if __name__ == "__main__":
    main()
