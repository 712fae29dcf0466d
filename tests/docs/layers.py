#!/usr/bin/env python3
"""Every #include in the tree against the layer order docs/layout.md gives:
a file may include only its own layer and the layers before it. The order is
the page's line starting "Layer order"; its layers are the `folder` names
in it, lowest first. And every named namespace a file declares against the
page's line starting "Namespaces": `folder`=`namespace` pairs, the folder's
own namespaces (a file may nest further ones inside them); a folder not named
there declares none. usage: layers.py SRC"""
import os
import re
import sys

src = sys.argv[1]
with open(os.path.join(src, 'docs', 'layout.md'), encoding='utf-8') as page:
    lines = page.readlines()
line = next((l for l in lines if l.startswith('Layer order')), None)
names_line = next((l for l in lines if l.startswith('Namespaces')), None)
if line is None or names_line is None:
    sys.exit('docs/layout.md lacks the "Layer order" or the "Namespaces" line')
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


owned = {}
for folder, space in re.findall(r'`([^`]+)`=`([^`]+)`', names_line):
    owned.setdefault(folder, set()).add(space)


def owner_of(path):
    """The longest folder of the namespace table that holds path."""
    best = None
    for folder in owned:
        if path.startswith(folder + '/') and (best is None or len(folder) > len(best)):
            best = folder
    return best


def declared(text):
    """The named namespaces a file opens, each as its full path at its
    outermost named level: nested ones inside a named one are the file's own
    business."""
    text = re.sub(r'//[^\n]*|/\*.*?\*/', ' ', text, flags=re.S)
    text = re.sub(r'"(\\.|[^"\\\n])*"|\'(\\.|[^\'\\\n])*\'', '""', text)
    stack, found = [], set()
    for m in re.finditer(r'\bnamespace\s+([A-Za-z_][\w:]*)?\s*\{|\{|\}', text):
        if m.group(0).startswith('namespace'):
            outer = [n for n in stack if n]
            name = m.group(1)
            if name:
                full = '::'.join(outer + [name])
                # Named at the top, or directly inside the chain "vr".
                if all(n == 'vr' for n in outer):
                    found.add(full)
            stack.append(name or '')
        elif m.group(0) == '{':
            stack.append(None)
        elif stack:
            stack.pop()
    return found


bad = 0
for top in order:
    for root, _, files in os.walk(os.path.join(src, top)):
        for name in files:
            if not name.endswith(('.cpp', '.hpp', '.h')):
                continue
            path = os.path.relpath(os.path.join(root, name), src).replace(os.sep, '/')
            mine = layer_of(path)
            with open(os.path.join(src, path), encoding='utf-8', errors='replace') as f:
                whole = f.read()
            allowed = owned.get(owner_of(path), set())
            for space in sorted(declared(whole)):
                inside = any(space.startswith(a + '::') for a in allowed if a != 'vr')
                if space != 'vr' and space not in allowed and not inside:
                    print(f'{path}: declares namespace {space} (its folder\'s: {", ".join(sorted(allowed)) or "none"})')
                    bad += 1
                elif space == 'vr' and 'vr' not in allowed and not any(a.startswith('vr::') for a in allowed):
                    print(f'{path}: declares namespace vr (its folder\'s: {", ".join(sorted(allowed)) or "none"})')
                    bad += 1
            for number, text in enumerate(whole.splitlines(True), 1):
                m = re.match(r'\s*#\s*include\s+"([^"]+)"', text)
                if not m:
                    continue
                theirs = layer_of(m.group(1))
                if theirs is not None and mine is not None and theirs > mine:
                    print(f'{path}:{number}: includes {m.group(1)} ({order[theirs]} is above {order[mine]})')
                    bad += 1
print(f'{bad} include{"s" if bad != 1 else ""} or namespace{"s" if bad != 1 else ""} against docs/layout.md' if bad
      else 'every include follows the layer order and every namespace its folder')
sys.exit(1 if bad else 0)
