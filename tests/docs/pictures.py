#!/usr/bin/env python3
"""Every picture in packaging/ drawn by a standard SVG renderer (rsvg-convert)
and checked for what makes a drawing wrong there: a wire (an open path or a
polyline) left with the default black fill, which renders its corners as
filled triangles; a text cut off at the picture's edge; two texts drawn over
each other. Each text is rendered alone to find the ink it really covers.
usage: pictures.py SRC   (exit 77 when rsvg-convert is missing)"""
import copy
import glob
import os
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib

SVG = '{http://www.w3.org/2000/svg}'


def png_alpha(data):
    """Width, height and the alpha rows of an 8-bit RGBA PNG."""
    assert data[:8] == b'\x89PNG\r\n\x1a\n'
    pos, idat = 8, b''
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            width, height, depth, color = struct.unpack('>IIBB', body[:10])
            assert depth == 8 and color == 6, 'rsvg-convert writes RGBA'
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    raw, stride, rows, prev = zlib.decompress(idat), width * 4, [], bytearray(width * 4)
    for y in range(height):
        f, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            b, c = prev[x], prev[x - 4] if x >= 4 else 0
            if f == 1: line[x] = (line[x] + a) & 255
            elif f == 2: line[x] = (line[x] + b) & 255
            elif f == 3: line[x] = (line[x] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append(line[3::4])
        prev = line
    return width, height, rows


def ink(svg_bytes):
    """The box (x0, y0, x1, y1) of every pixel drawn, and the canvas size."""
    png = subprocess.run(['rsvg-convert', '-f', 'png'], input=svg_bytes, capture_output=True, check=True).stdout
    width, height, rows = png_alpha(png)
    xs, ys = [], []
    for y, row in enumerate(rows):
        drawn = [x for x, a in enumerate(row) if a > 40]
        if drawn:
            ys.append(y)
            xs += (drawn[0], drawn[-1])
    box = (min(xs), min(ys), max(xs), max(ys)) if xs else None
    return box, width, height


def filled_wires(root):
    """Open paths and polylines that a renderer fills black."""
    found = []

    def walk(node, fill):
        fill = node.get('fill', fill)
        style = dict(p.split(':', 1) for p in node.get('style', '').replace(' ', '').split(';') if ':' in p)
        fill = style.get('fill', fill)
        tag = node.tag.replace(SVG, '')
        if tag in ('path', 'polyline') and fill != 'none':
            d = node.get('d', '')
            if tag == 'polyline' or 'z' not in d.lower():
                found.append(d or node.get('points', ''))
        for child in node:
            walk(child, fill)

    walk(root, 'black')
    return found


def check(path):
    problems = []
    tree = ET.parse(path)
    root = tree.getroot()
    for d in filled_wires(root):
        problems.append(f'a wire without fill="none" renders filled: {d[:40]}')
    texts = [i for i, e in enumerate(root.iter()) if e.tag == SVG + 'text']
    boxes = []
    for i in texts:
        # The text alone, inside the groups that hold it (their fill, font).
        alone = copy.deepcopy(root)
        nodes = list(alone.iter())
        target = nodes[i]
        keep = {id(target)}
        parents = {id(c): p for p in nodes for c in p}
        p = parents.get(id(target))
        while p is not None:
            keep.add(id(p))
            p = parents.get(id(p))
        for node in nodes:
            for child in list(node):
                if id(child) not in keep and child.tag not in (SVG + 'defs', SVG + 'style', SVG + 'title'):
                    node.remove(child)
        box, width, height = ink(ET.tostring(alone))
        label = ''.join(target.itertext()).strip()
        if box is None:
            continue
        if box[0] <= 0 or box[1] <= 0 or box[2] >= width - 1 or box[3] >= height - 1:
            problems.append(f'"{label}" is cut off at the edge')
        boxes.append((label, box))
    for a in range(len(boxes)):
        for b in range(a + 1, len(boxes)):
            (la, p), (lb, q) = boxes[a], boxes[b]
            if p[0] < q[2] and q[0] < p[2] and p[1] < q[3] and q[1] < p[3]:
                problems.append(f'"{la}" and "{lb}" overlap')
    return problems


if not shutil.which('rsvg-convert'):
    print('rsvg-convert is missing (librsvg2-bin)')
    sys.exit(77)
bad = 0
pictures = sorted(glob.glob(os.path.join(sys.argv[1], 'packaging', '*.svg')))
for picture in pictures:
    for problem in check(picture):
        print(f'{os.path.relpath(picture, sys.argv[1])}: {problem}')
        bad += 1
print(f'{len(pictures)} pictures, {bad} problem{"s" if bad != 1 else ""}')
sys.exit(1 if bad else 0)
