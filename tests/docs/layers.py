#!/usr/bin/env python3
"""Every #include in the tree against the layer order docs/layout.md gives:
a file may include only its own layer and the layers before it. The order is
the page's line starting "Layer order"; its layers are the `folder` names
in it, lowest first. usage: layers.py SRC"""
import os
import re
import sys

src = sys.argv[1]
with open(os.path.join(src, 'docs', 'layout.md'), encoding='utf-8') as page:
    line = next((l for l in page if l.startswith('Layer order')), None)
if line is None:
    sys.exit('docs/layout.md has no "Layer order" line')
order = re.findall(r'`([^`]+)`', line)
if not order:
    sys.exit('docs/layout.md: the "Layer order" line names no layer')


def layer_of(path):
    """The index of the layer a path lies in (the longest folder that holds
    it), or None outside every layer."""
    best = None
    for i, folder in enumerate(order):
        if path == folder or path.startswith(folder + '/'):
            if best is None or len(folder) > len(order[best]):
                best = i
    return best


bad = 0
for top in order:
    for root, _, files in os.walk(os.path.join(src, top)):
        for name in files:
            if not name.endswith(('.cpp', '.hpp', '.h')):
                continue
            path = os.path.relpath(os.path.join(root, name), src).replace(os.sep, '/')
            mine = layer_of(path)
            with open(os.path.join(src, path), encoding='utf-8', errors='replace') as f:
                for number, text in enumerate(f, 1):
                    m = re.match(r'\s*#\s*include\s+"([^"]+)"', text)
                    if not m:
                        continue
                    theirs = layer_of(m.group(1))
                    if theirs is not None and mine is not None and theirs > mine:
                        print(f'{path}:{number}: includes {m.group(1)} ({order[theirs]} is above {order[mine]})')
                        bad += 1
print(f'{bad} include{"s" if bad != 1 else ""} against the layer order' if bad else 'every include follows the layer order')
sys.exit(1 if bad else 0)
