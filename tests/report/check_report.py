# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks a report against the listing of the same scan.

check_report.py LISTING.json REPORT.xml DOM.html SCREENSHOT.png

- report.xml lists every recording of the listing (korvane-scan --format json), in order, and
  its byte runs start at the recording's position and end at its end position;
- the page as the browser read it (its --dump-dom) has a row for every recording;
- the browser's picture of the page is not blank: it shows the timeline's bars (the first
  lane's colour) and the table (its header's grey).
"""
import json
import re
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

DFXML = "{http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML}"
LANE_COLOUR = (0x1F, 0x77, 0xB4)
HEADER_GREY = (0xEE, 0xEE, 0xEE)


def png_pixels(path):
    """The RGB(A) pixels of an 8-bit PNG, as rows of bytes, and the bytes per pixel."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat, width, height, kind = 8, b"", 0, 0, 0
    while pos < len(data):
        length, tag = struct.unpack(">I4s", data[pos:pos + 8])
        chunk = data[pos + 8:pos + 8 + length]
        if tag == b"IHDR":
            width, height, depth, kind = struct.unpack(">IIBB", chunk[:10])
            assert depth == 8 and kind in (2, 6), "unexpected PNG kind"
        elif tag == b"IDAT":
            idat += chunk
        pos += 12 + length
    bpp = 4 if kind == 6 else 3
    raw, stride, rows, prev = zlib.decompress(idat), width * bpp, [], bytearray(width * bpp)
    for y in range(height):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(bytes(line))
        prev = line
    return rows, bpp


def count_colour(rows, bpp, colour, tolerance=0):
    n = 0
    for line in rows:
        for i in range(0, len(line), bpp):
            if all(abs(line[i + k] - colour[k]) <= tolerance for k in range(3)):
                n += 1
    return n


def main(listing_path, xml_path, dom_path, png_path):
    listing = json.load(open(listing_path))
    assert listing, "the listing is empty: nothing to check"
    objects = ET.parse(xml_path).getroot().findall(DFXML + "fileobject")
    assert [o.findtext(DFXML + "filename") for o in objects] == [r["name"] for r in listing], \
        "report.xml does not list the recordings of the listing"
    for r, o in zip(listing, objects):
        runs = [(int(b.get("img_offset")), int(b.get("len")))
                for b in o.find(DFXML + "byte_runs").findall(DFXML + "byte_run")]
        assert runs, r["name"] + ": no byte runs"
        assert runs[0][0] == r["position"], "%s: first run at %d, listed at %d" % (
            r["name"], runs[0][0], r["position"])
        assert runs[-1][0] + runs[-1][1] <= r["end_position"], r["name"] + ": runs past its end"
        if "channel" not in r:  # the time grouping: one run, the recording's whole span
            assert runs == [(r["position"], r["end_position"] - r["position"])], r["name"]
        assert int(o.findtext(DFXML + "filesize")) == sum(n for _, n in runs), r["name"]

    dom = open(dom_path, encoding="utf-8").read()
    rows = re.findall(r"<tr id=\"r\d+\">\s*<td>([^<]*)</td>", dom)
    assert rows == [r["name"] for r in listing], "the page's rows: %s" % rows

    pixels, bpp = png_pixels(png_path)
    # The bars' edges may be blended with the background; the header's grey is flat.
    bars = count_colour(pixels, bpp, LANE_COLOUR, 24)
    header = count_colour(pixels, bpp, HEADER_GREY)
    assert bars >= 20, "the screenshot shows no timeline bars (%d pixels)" % bars
    assert header >= 200, "the screenshot shows no table header (%d pixels)" % header
    print("report checked: %d recordings, %d bar pixels, %d header pixels" %
          (len(listing), bars, header))


if __name__ == "__main__":
    main(*sys.argv[1:])
