#!/usr/bin/env python3
"""Makes the demo game's textures, sprites, sounds and text corpus under Resources/.

Everything is generated from fixed seeds, so running it again gives the same files.
Only the standard library is used.
"""
import math
import os
import random
import struct
import wave
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "Resources")


def write_png(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        rows.append(0)
        for x in range(width):
            rows.extend(bytes(max(0, min(255, int(c))) for c in pixel(x, y)))

    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    with open(path, "wb") as f:
        f.write(png + chunk(b"IEND", b""))


def noise(seed, size=64):
    rng = random.Random(seed)
    return [[rng.random() for _ in range(size)] for _ in range(size)]


def brick(x, y, n=noise(1)):
    row = y // 16
    offset = 16 if row % 2 else 0
    mortar = y % 16 < 2 or (x + offset) % 32 < 2
    if mortar:
        return (150, 145, 135, 255)
    shade = 0.8 + 0.3 * n[y][x]
    return (160 * shade, 62 * shade, 48 * shade, 255)


def stone(x, y, n=noise(2)):
    block = ((x // 21) * 7 + (y // 21) * 13) % 5
    edge = x % 21 == 0 or y % 21 == 0
    base = 95 + block * 10 + 35 * n[y][x]
    return (base * 0.9, base * 0.95, base, 255) if not edge else (50, 52, 58, 255)


def wood(x, y, n=noise(3)):
    grain = math.sin((x + 6 * math.sin(y / 9.0)) / 2.2) * 0.5 + 0.5
    plank = y % 16 == 0
    shade = 0.75 + 0.25 * grain + 0.1 * n[y][x]
    return (40, 28, 18, 255) if plank else (150 * shade, 100 * shade, 55 * shade, 255)


def grass(x, y, n=noise(4)):
    v = n[y][x]
    return (40 + 40 * v, 110 + 70 * v, 40 + 30 * v, 255)


def ceiling(x, y, n=noise(5)):
    tile = x % 32 == 0 or y % 32 == 0
    v = 180 + 40 * n[y][x]
    return (90, 90, 110, 255) if tile else (v, v, v * 1.05, 255)


def glass(x, y):
    frame = x < 3 or y < 3 or x > 60 or y > 60 or abs(x - 32) < 2
    if frame:
        return (70, 60, 50, 255)
    sheen = 40 if (x + y) % 24 < 3 else 0
    return (120 + sheen, 190 + sheen, 230, 90)


def metal(x, y, n=noise(6)):
    v = 150 + 50 * math.sin(y / 3.0) * 0.3 + 30 * n[y][x]
    rivet = (x % 32 - 16) ** 2 + (y % 32 - 16) ** 2 < 5
    return (v * 0.9, v * 0.95, v, 255) if not rivet else (230, 230, 240, 255)


def mirror_map(x, y):
    # How strongly each texel reflects: bright means a strong mirror.
    return (220, 220, 220, 255)


def goal(x, y):
    d = math.hypot(x - 31.5, y - 31.5)
    ring = abs(d - 20) < 4
    star = d < 10
    if ring or star:
        return (255, 215, 60, 255)
    return (60, 30, 90, 255)


def npc(x, y):
    # A robed figure, 32 x 48, on a transparent background.
    head = (x - 16) ** 2 + (y - 10) ** 2 < 36
    robe = y >= 16 and abs(x - 16) < 4 + (y - 16) * 0.3 and y < 47
    eye = y == 9 and x in (14, 18)
    if eye:
        return (20, 20, 30, 255)
    if head:
        return (235, 190, 150, 255)
    if robe:
        fold = 20 if (x + y // 3) % 6 == 0 else 0
        return (60 + fold, 80 + fold, 170 + fold, 255)
    return (0, 0, 0, 0)


def compass(x, y):
    # A 24 x 24 HUD marker: a ring with an arrow pointing up.
    d = math.hypot(x - 11.5, y - 11.5)
    if abs(d - 10) < 1.3:
        return (240, 240, 240, 230)
    if y < 12 and abs(x - 11.5) < (y - 2) * 0.5 + 0.5 and y > 2:
        return (255, 80, 60, 255)
    return (0, 0, 0, 0)


def write_wav(path, rate, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(rate)
        data = bytearray()
        for left, right in frames:
            data += struct.pack("<hh", int(max(-1, min(1, left)) * 32000), int(max(-1, min(1, right)) * 32000))
        w.writeframes(bytes(data))


def tone(freq, t, kind="sine"):
    phase = (freq * t) % 1.0
    if kind == "square":
        return 1.0 if phase < 0.5 else -1.0
    if kind == "triangle":
        return 4 * abs(phase - 0.5) - 1
    return math.sin(2 * math.pi * phase)


def envelope(t, length, attack=0.01):
    if t < attack:
        return t / attack
    return max(0.0, 1 - (t - attack) / max(1e-6, length - attack))


def effect(notes, rate=22050, kind="square", volume=0.35):
    frames = []
    for freq, length in notes:
        for i in range(int(rate * length)):
            t = i / rate
            s = tone(freq, t, kind) * envelope(t, length) * volume
            frames.append((s, s))
    return frames


def footstep(rate=22050):
    rng = random.Random(7)
    frames = []
    for i in range(int(rate * 0.09)):
        t = i / rate
        s = (rng.random() * 2 - 1) * envelope(t, 0.09, 0.002) * 0.3 * (1 - t / 0.09)
        frames.append((s, s))
    return frames


def music(rate=22050):
    # Eight bars of a slow minor loop: bass, a pad chord and a light melody.
    beat = 0.5
    chords = [(220.0, 261.63, 329.63), (174.61, 220.0, 261.63), (196.0, 246.94, 293.66), (164.81, 207.65, 246.94)]
    melody = [659.25, 587.33, 523.25, 493.88, 523.25, 587.33, 659.25, 783.99,
              698.46, 659.25, 587.33, 523.25, 493.88, 523.25, 440.0, 0.0]
    frames = []
    total = int(rate * beat * 32)
    for i in range(total):
        t = i / rate
        bar = int(t / (beat * 4)) % 4
        root, third, fifth = chords[bar]
        in_beat = t % beat
        bass = tone(root / 2, t, "triangle") * envelope(in_beat, beat) * 0.25
        pad = (tone(root, t) + tone(third, t) + tone(fifth, t)) * 0.06
        note = melody[int(t / (beat * 2)) % len(melody)]
        lead = tone(note, t, "triangle") * envelope(t % (beat * 2), beat * 2, 0.03) * 0.18 if note else 0.0
        frames.append((bass + pad + lead * 0.8, bass + pad * 0.9 + lead))
    return frames


CORPUS = """\
The lantern keeper says the maze remembers every footstep.
Walk softly and the walls will hum back at you.
I have counted the stones of this hall a thousand times and never the same number twice.
The glass wall shows the garden that used to be here.
Follow the gold star and you will find the way out.
A mirror does not lie, but it does repeat itself.
The fog rolls in from the east corridor every evening.
Some say the builder of this place still wanders the lower halls.
Listen to the music, it gets louder near the exit.
The red arrow on your compass always points north.
Do not trust the corner that looks like every other corner.
I once found a door here, but the door found me first.
The light in the north room is warm, the light in the south room is cold.
Travellers leave their names on the wooden walls, and the walls forget them.
Every maze has a centre, and every centre has a way out.
Keep the wall at your left hand and you will never be lost for long.
The stars painted on the ceiling were put there by someone who missed the sky.
The keeper says hello, and also goodbye, and also mind your step.
If you hear a chime, you have found something worth finding.
The old brick remembers the fire that baked it.
Rest a while, the maze is patient, and so am I.
"""


def main():
    textures = {
        "brick": brick, "stone": stone, "wood": wood, "grass": grass,
        "ceiling": ceiling, "glass": glass, "metal": metal, "goal": goal, "mirror_map": mirror_map,
    }
    for name, pixel in textures.items():
        write_png(os.path.join(ROOT, "textures", name + ".png"), 64, 64, pixel)
    write_png(os.path.join(ROOT, "textures", "npc.png"), 32, 48, npc)
    write_png(os.path.join(ROOT, "textures", "compass.png"), 24, 24, compass)
    write_wav(os.path.join(ROOT, "sounds", "step.wav"), 22050, footstep())
    write_wav(os.path.join(ROOT, "sounds", "select.wav"), 22050, effect([(660, 0.06), (990, 0.09)]))
    write_wav(os.path.join(ROOT, "sounds", "win.wav"), 22050,
              effect([(523.25, 0.15), (659.25, 0.15), (783.99, 0.15), (1046.5, 0.4)], kind="triangle"))
    write_wav(os.path.join(ROOT, "sounds", "music.wav"), 22050, music())
    with open(os.path.join(ROOT, "text", "keeper.txt"), "w") as f:
        f.write(CORPUS)


if __name__ == "__main__":
    main()
