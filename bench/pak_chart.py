#!/usr/bin/env python3
"""The bar chart of docs/performance.md's big game file section: the bytes
each tool moves to update the 3 GiB archive, read from that section's
table (columns "tool" and "MB moved"), drawn as SVG and turned into a PNG
by ImageMagick's `convert`. Standard library only.

  bench/pak_chart.py [docs/performance.md] [docs/pak-bench.png]"""

import os
import subprocess
import sys
import tempfile
from xml.sax.saxutils import escape

SECTION = "## Patches of big game files"
WIDTH, BAR, GAP, LEFT, RIGHT, TOP = 900, 28, 12, 330, 110, 50


def rows(markdown):
    """(tool, MB moved) of the first table in the section that has both columns."""
    with open(markdown, encoding="utf-8") as f:
        text = f.read()
    if SECTION not in text:
        raise SystemExit("no section %r in %s" % (SECTION, markdown))
    section = text.split(SECTION, 1)[1].split("\n## ", 1)[0]
    header = None
    found = []
    for line in section.splitlines():
        if not line.startswith("|"):
            if found:
                break
            header = None
            continue
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if header is None:
            header = cells
        elif "tool" in header and "MB moved" in header and not set(cells[0]) <= set("-: "):
            found.append((cells[header.index("tool")].replace("`", ""), float(cells[header.index("MB moved")])))
    if not found:
        raise SystemExit("no table with columns 'tool' and 'MB moved' in the section")
    return found


def svg(bars):
    most = max(value for _, value in bars)
    height = TOP + len(bars) * (BAR + GAP) + 20
    scale = (WIDTH - LEFT - RIGHT) / most
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d">' % (WIDTH, height),
           '<rect width="100%" height="100%" fill="white" stroke="none"/>',
           '<text x="%d" y="28" font-family="DejaVu Sans" font-size="17" font-weight="bold">'
           'Updating a 3 GiB game archive: MB moved (seed 1, 326 edits)</text>' % 10]
    for number, (label, value) in enumerate(bars):
        y = TOP + number * (BAR + GAP)
        colour = "#2b6cb0" if label.startswith("ours") else "#9aa5b1" if label.startswith("new bytes") else "#dd6b20"
        out.append('<text x="%d" y="%d" font-family="DejaVu Sans" font-size="14" text-anchor="end">%s</text>'
                   % (LEFT - 8, y + BAR * 0.7, escape(label)))
        out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s" stroke="none"/>'
                   % (LEFT, y, value * scale, BAR, colour))
        out.append('<text x="%.1f" y="%d" font-family="DejaVu Sans" font-size="14">%.2f</text>'
                   % (LEFT + value * scale + 6, y + BAR * 0.7, value))
    out.append("</svg>")
    return "\n".join(out)


def main():
    markdown = sys.argv[1] if len(sys.argv) > 1 else "docs/performance.md"
    png = sys.argv[2] if len(sys.argv) > 2 else "docs/pak-bench.png"
    with tempfile.TemporaryDirectory() as folder:
        drawing = os.path.join(folder, "chart.svg")
        with open(drawing, "w", encoding="utf-8") as f:
            f.write(svg(rows(markdown)))
        # No dates in the file: the same table gives the same bytes.
        subprocess.run(["convert", drawing, "-define", "png:exclude-chunks=date,time", png], check=True)
    print(png)


if __name__ == "__main__":
    main()
