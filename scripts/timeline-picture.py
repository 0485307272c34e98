#!/usr/bin/env python3
"""Draws a timeline (tesmo-sim --timeline) as an SVG picture: a row per
thread, its slices stacked by nesting, flows as lines from a call to its
completion routine, instant events as marks. The time axis is the order of
the events, not their durations (a demo's calls last microseconds between
waits of milliseconds): equal steps between successive moments.

usage: timeline-picture.py TIMELINE.json PICTURE.svg"""
import html
import json
import sys

ROW, SLICE, LEFT, STEP = 78, 16, 120, 9
COLOURS = {"dispatch": "#4e79a7", "completion": "#f28e2b", "pnp": "#59a14f"}


def main(source, target):
    events = json.load(open(source))["traceEvents"]
    names = {e["tid"]: e["args"]["name"] for e in events if e["ph"] == "M" and e["name"] == "thread_name"}
    moments = sorted({t for e in events if e["ph"] in "Xisf" for t in ([e["ts"], e["ts"] + e.get("dur", 0)])})
    place = {t: LEFT + i * STEP for i, t in enumerate(moments)}
    rows = {tid: i for i, tid in enumerate(sorted(names))}
    width, height = LEFT + len(moments) * STEP + 20, len(rows) * ROW + 40
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif" '
           f'font-size="11"><rect width="100%" height="100%" fill="white"/>',
           f'<text x="{LEFT}" y="{height - 12}" fill="#555">tesmo-sim demo --timeline: events in order '
           f'(not to scale); blue IoCallDriver, orange completion routines, green PnP and power, '
           f'grey lines flows, red marks instant events</text>']
    for tid, row in rows.items():
        y = 10 + row * ROW
        out.append(f'<text x="4" y="{y + 14}">{html.escape(names[tid])}</text>')
        out.append(f'<line x1="{LEFT}" x2="{width}" y1="{y + ROW - 6}" y2="{y + ROW - 6}" stroke="#ddd"/>')
    depth_at, where = {}, {}
    for e in sorted((e for e in events if e["ph"] == "X"), key=lambda e: (e["tid"], e["ts"], -e["dur"])):
        stack = depth_at.setdefault(e["tid"], [])
        while stack and stack[-1] <= e["ts"]:
            stack.pop()
        depth = min(len(stack), 3)
        stack.append(e["ts"] + e["dur"])
        x0, x1 = place[e["ts"]], place[e["ts"] + e["dur"]]
        y = 10 + rows[e["tid"]] * ROW + 20 + depth * SLICE
        out.append(f'<rect x="{x0}" y="{y}" width="{max(x1 - x0, 3)}" height="{SLICE - 2}" '
                   f'fill="{COLOURS.get(e["cat"], "#999")}"><title>{html.escape(e["name"])}</title></rect>')
    for e in events:
        if e["ph"] in "sf":
            where.setdefault(e["id"], {})[e["ph"]] = (place[e["ts"]], 10 + rows[e["tid"]] * ROW + 28)
        if e["ph"] == "i":
            x, y = place[e["ts"]], 10 + rows[e["tid"]] * ROW + 8
            out.append(f'<rect x="{x - 2}" y="{y}" width="4" height="{ROW - 16}" fill="#e15759">'
                       f'<title>{html.escape(e["name"])}</title></rect>')
    for ends in where.values():
        if "s" in ends and "f" in ends:
            (x0, y0), (x1, y1) = ends["s"], ends["f"]
            out.append(f'<line x1="{x0}" y1="{y0}" x2="{x1}" y2="{y1}" stroke="#888" stroke-width="1"/>')
    out.append("</svg>")
    open(target, "w").write("\n".join(out) + "\n")


if __name__ == "__main__":
    main(*sys.argv[1:3])
