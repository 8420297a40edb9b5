#!/usr/bin/python3
"""Runs the demo's self-check (arguments EXE SCRIPT FRAME), then checks that the last frame it saved
shows the maze and the HUD text."""
import pathlib
import subprocess
import sys
from PIL import Image

exe, script, frame_path = sys.argv[1:]
pathlib.Path(frame_path).unlink(missing_ok=True)
# xvfb-run picks a free display, starts Xvfb for the one command and stops it.
run = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 960x544x24", exe, script],
                     capture_output=True, text=True)
assert run.returncode == 0 and run.stdout == "screen play view raycast\nmoved true steps true\n", \
    "self-check run failed (%d):\n%s\n%s" % (run.returncode, run.stdout, run.stderr)

frame = Image.open(frame_path).convert("RGB")
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
