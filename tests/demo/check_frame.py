#!/usr/bin/python3
"""Checks the self-check's last frame: the maze is drawn and the HUD text is there."""
import sys
from PIL import Image

frame = Image.open(sys.argv[1]).convert("RGB")
assert frame.size == (960, 544), frame.size
# The 3D view: many colours, and not only the fog (70, 86, 130).
view = frame.crop((0, 100, 960, 400))
colours = view.getcolors(maxcolors=1 << 20)
fog = sum(n for n, c in colours if c == (70, 86, 130))
assert len(colours) > 200, "the maze looks blank: %d colours" % len(colours)
assert fog < 0.9 * view.width * view.height, "the view is all fog"
# The HUD's text: light pixels inside the panel at the top left.
panel = frame.crop((24, 18, 270, 70))
light = sum(1 for p in panel.getdata() if min(p) > 190)
assert light > 150, "no HUD text: %d light pixels" % light
print("frame ok: %d colours in the view, %d text pixels in the HUD" % (len(colours), light))
