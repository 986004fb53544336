#!/usr/bin/python3
"""Draws the program's images: the button strips, the logo, the state
pictures, the spinner, the update corner, the shadow, the laser dot and the
icon, and the channel-id resource. The outputs are committed beside this script; run it
(Debian's python3 with python3-pil) after changing a colour or a shape:

    /usr/bin/python3 resources/draw_images.py

Every picture is drawn four times larger and scaled down, so edges are
smooth at the small sizes the window uses. Each is drawn for three screen
densities: 100 % (name.png, which also gives the image its size in the
layout), 150 % (name_150.png) and 200 % (name_200.png); the program picks the
one for the window's scale. A length of the 100 % drawing is rounded as the
program rounds its layout (halves up), so a 41-pixel frame is 62 pixels wide
at 150 %.
"""

import math
import os
import sys

from PIL import Image, ImageDraw, ImageFilter

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "images")
SS = 4  # supersampling factor
K = 1  # the screen scale being drawn: 1, 1.5 or 2

WHITE = (255, 255, 255, 255)
SLATE = (0x42, 0x57, 0x66, 255)  # text colour of the window
GREY = (0xA0, 0xAB, 0xB2, 255)  # links and idle glyphs
PALE = (0xD5, 0xDB, 0xE0, 255)  # disabled glyphs
BLUE = (0x3D, 0x8D, 0xFE, 255)
BLUE_LIGHT = (0x4A, 0x90, 0xE2, 255)
BLUE_DARK = (0x2C, 0x72, 0xD6, 255)
RED = (0xF0, 0x4B, 0x4B, 255)
RED_DARK = (0xD0, 0x3A, 0x3A, 255)
ORANGE = (0xF5, 0xA6, 0x23, 255)
GREEN = (0x2D, 0xBE, 0x7C, 255)


def px(length):
    """A length of the 100 % layout in pixels at the current scale."""
    return int(length * K + 0.5) if K != 1 else length


def canvas(w, h, colour=(255, 255, 255, 0)):
    img = Image.new("RGBA", (px(w) * SS, px(h) * SS), colour)
    return img, ImageDraw.Draw(img)


def finish(img, w, h):
    return img.resize((px(w), px(h)), Image.LANCZOS)


def s(*values):
    """Scales coordinates to the supersampled canvas."""
    return [v * SS * K for v in values]


def on_white(img):
    """Flattens onto white: the strips are opaque, as the window is white."""
    base = Image.new("RGBA", img.size, WHITE)
    base.alpha_composite(img)
    return base


def strip(frames):
    w, h = frames[0].size
    out = Image.new("RGBA", (w * len(frames), h), (255, 255, 255, 0))
    for i, f in enumerate(frames):
        out.paste(f, (i * w, 0))
    return out


SUFFIX = ""  # the file name's mark of the scale being drawn


def save(img, name):
    stem, ext = os.path.splitext(name)
    img.save(os.path.join(OUT, stem + SUFFIX + ext), optimize=True)


# --- title bar buttons --------------------------------------------------------


def close_frame(bg, glyph):
    w, h = 41, 30
    img, d = canvas(w, h, bg)
    cx, cy, r = 20.5, 15, 5
    width = int(1.5 * SS * K)
    d.line(s(cx - r, cy - r, cx + r, cy + r), fill=glyph, width=width)
    d.line(s(cx - r, cy + r, cx + r, cy - r), fill=glyph, width=width)
    return on_white(finish(img, w, h))


def minimize_frame(bg, glyph):
    w, h = 31, 30
    img, d = canvas(w, h, bg)
    d.rectangle(s(10, 14.5, 21, 16), fill=glyph)
    return on_white(finish(img, w, h))


# --- button backgrounds ----------------------------------------------------


def button_frame(w, h, fill, border):
    img, d = canvas(w, h)
    d.rounded_rectangle(s(0.5, 0.5, w - 0.5, h - 0.5), radius=3 * SS * K, fill=fill,
                        outline=border, width=int(SS * K))
    return on_white(finish(img, w, h))


def button_strip(w, h):
    # Frame order of these strips: hover, normal, pressed, disabled.
    return strip([
        button_frame(w, h, (0xEE, 0xF5, 0xFF, 255), BLUE_LIGHT),
        button_frame(w, h, WHITE, (0xC8, 0xD0, 0xD7, 255)),
        button_frame(w, h, (0xDC, 0xEA, 0xFC, 255), BLUE_DARK),
        button_frame(w, h, (0xF4, 0xF6, 0xF8, 255), (0xE2, 0xE6, 0xEA, 255)),
    ])


# --- logo and icon -----------------------------------------------------------


def logo(size):
    """A blue tile holding a white screen with a play mark: the show."""
    img, d = canvas(size, size)
    u = size / 32.0  # designed on a 32-pixel grid

    def g(*v):
        return [x * u * SS * K for x in v]

    # Vertical gradient tile.
    tile = Image.new("RGBA", img.size, (0, 0, 0, 0))
    grad = Image.new("RGBA", img.size)
    top, bottom = (0x5A, 0xA6, 0xFF), (0x2F, 0x7B, 0xF0)
    gd = ImageDraw.Draw(grad)
    for y in range(img.size[1]):
        t = y / max(1, img.size[1] - 1)
        gd.line([(0, y), (img.size[0], y)],
                fill=tuple(int(a + (b - a) * t) for a, b in zip(top, bottom)) + (255,))
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(g(0.5, 0.5, 31.5, 31.5), radius=7 * u * SS * K, fill=255)
    tile.paste(grad, (0, 0), mask)
    img.alpha_composite(tile)
    d = ImageDraw.Draw(img)
    # The screen, its stand and the play mark.
    d.rounded_rectangle(g(6, 7.5, 26, 21.5), radius=1.8 * u * SS * K, fill=WHITE)
    d.rectangle(g(15, 21.5, 17, 24.5), fill=WHITE)
    d.rounded_rectangle(g(10.5, 24, 21.5, 26), radius=1 * u * SS * K, fill=WHITE)
    d.polygon(g(13.5, 10.5, 13.5, 18.5, 20.5, 14.5), fill=(0x3D, 0x8D, 0xFE, 255))
    return finish(img, size, size)


# --- state pictures ----------------------------------------------------------


def warning():
    img, d = canvas(68, 68)
    d.ellipse(s(2, 2, 66, 66), fill=ORANGE)
    d.rounded_rectangle(s(30.5, 16, 37.5, 42), radius=3.5 * SS * K, fill=WHITE)
    d.ellipse(s(30, 46, 38, 54), fill=WHITE)
    return on_white(finish(img, 68, 68))


def check_mark():
    img, d = canvas(68, 68)
    d.ellipse(s(2, 2, 66, 66), fill=GREEN)
    pts = s(19, 35, 29.5, 45.5, 49, 25)
    d.line(pts, fill=WHITE, width=int(6 * SS * K), joint="curve")
    for x, y in ((19, 35), (49, 25)):
        d.ellipse(s(x - 3, y - 3, x + 3, y + 3), fill=WHITE)
    return on_white(finish(img, 68, 68))


# --- spinner -----------------------------------------------------------------


def spinner_frame(index, frames):
    """An arc whose tail fades out, turned by one step per frame."""
    size = 68
    img, d = canvas(size, size)
    cx = cy = size / 2
    radius, thick = 20, 5
    d.ellipse(s(cx - radius, cy - radius, cx + radius, cy + radius),
              outline=(0xE6, 0xEE, 0xF8, 255), width=int(thick * SS * K))
    head = index * 360.0 / frames - 90  # degrees, clockwise from the top
    sweep = 270
    steps = 90
    for k in range(steps):
        t = k / (steps - 1)  # 0 tail .. 1 head
        a = math.radians(head - sweep * (1 - t))
        x, y = cx + radius * math.cos(a), cy + radius * math.sin(a)
        r = thick / 2
        alpha = int(255 * (t ** 1.6))
        d.ellipse(s(x - r, y - r, x + r, y + r), fill=BLUE[:3] + (alpha,))
    return on_white(finish(img, size, size))


# --- update corner -----------------------------------------------------------


def update_corner_frame(fill):
    size = 46
    img, d = canvas(size, size)
    d.polygon(s(0, 46, 46, 46, 46, 0), fill=fill)
    # An upward arrow in the triangle's inner part.
    cx, top = 32.5, 22
    d.polygon(s(cx, top, cx - 6, top + 7, cx + 6, top + 7), fill=WHITE)
    d.rectangle(s(cx - 2, top + 6, cx + 2, top + 16), fill=WHITE)
    return on_white(finish(img, size, size))


def update_icon():
    img, d = canvas(48, 48)
    d.ellipse(s(1, 1, 47, 47), fill=BLUE)
    d.polygon(s(24, 11, 13, 23, 35, 23), fill=WHITE)
    d.rectangle(s(20, 22, 28, 35), fill=WHITE)
    d.rectangle(s(14, 37, 34, 39.5), fill=WHITE)
    return finish(img, 48, 48)


# --- shadow ------------------------------------------------------------------


def shadow():
    """A soft shadow around a 23 x 23 hole at (7, 3): the window's place.
    Only the border is used; the middle is never drawn. At other scales each
    part (7 at the sides, 3 above, 11 below, the 23-pixel hole) is rounded
    on its own, as the program cuts the image into them."""
    side, above, below, inner = px(7), px(3), px(11), px(23)
    width, height = 2 * side + inner, above + inner + below
    img = Image.new("RGBA", (width * SS, height * SS), (0, 0, 0, 0))
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(s(5, 3, 32, 31), radius=6 * SS * K, fill=70)
    mask = mask.filter(ImageFilter.GaussianBlur(3.2 * SS * K))
    img.putalpha(mask)
    out = img.resize((width, height), Image.LANCZOS)
    # The window lies on the hole and the shadow lies above the window:
    # anything left there would darken the window's edges.
    ImageDraw.Draw(out).rectangle((side, above, side + inner - 1, above + inner - 1),
                                  fill=(0, 0, 0, 0))
    return out


# --- laser dot ---------------------------------------------------------------


def laser_dot():
    """A red dot with a soft glow, centred on 52 x 52; the corners and the
    border stay fully transparent, so only the dot shows over the slide."""
    size = 52
    c = size / 2
    glow = Image.new("L", (px(size) * SS, px(size) * SS), 0)
    ImageDraw.Draw(glow).ellipse(s(c - 13, c - 13, c + 13, c + 13), fill=150)
    glow = glow.filter(ImageFilter.GaussianBlur(4.5 * SS * K))
    img = Image.new("RGBA", glow.size, (0xFF, 0x20, 0x20, 0))
    img.putalpha(glow)
    d = ImageDraw.Draw(img)
    d.ellipse(s(c - 9, c - 9, c + 9, c + 9), fill=(0xE8, 0x10, 0x10, 255))
    d.ellipse(s(c - 6.5, c - 6.5, c + 6.5, c + 6.5), fill=(0xFF, 0x30, 0x28, 255))
    d.ellipse(s(c - 3, c - 3.5, c + 1.5, c + 1), fill=(0xFF, 0xA8, 0xA0, 255))
    out = finish(img, size, size)
    pixels = out.load()
    n, centre, radius = px(size), px(size) / 2, 24 * K
    for y in range(n):
        for x in range(n):
            if (x + 0.5 - centre) ** 2 + (y + 0.5 - centre) ** 2 > radius ** 2:
                pixels[x, y] = (0, 0, 0, 0)
    return out


# --- channel id --------------------------------------------------------------


def supply_id():
    data = "100000".encode("utf-16-le")
    return data + b"\0" * (64 - len(data))


def draw_scaled(suffix):
    save(strip([close_frame(WHITE, GREY), close_frame(RED, WHITE),
                close_frame(RED_DARK, WHITE), close_frame(WHITE, PALE)]), "close.png")
    save(strip([minimize_frame(WHITE, GREY), minimize_frame((0xEE, 0xF2, 0xF6, 255), SLATE),
                minimize_frame((0xDF, 0xE5, 0xEB, 255), SLATE),
                minimize_frame(WHITE, PALE)]), "minimize.png")
    save(logo(32), "logo.png")
    save(warning(), "warning.png")
    save(check_mark(), "success.png")
    save(button_strip(80, 26), "button.png")
    save(button_strip(93, 26), "button_wide.png")
    save(strip([spinner_frame(i, 24) for i in range(24)]), "loading.png")
    save(strip([update_corner_frame(BLUE), update_corner_frame(BLUE_LIGHT),
                update_corner_frame(BLUE_DARK)]), "update_corner.png")
    save(update_icon(), "update.png")
    save(shadow(), "shadow.png")
    save(laser_dot(), "laser.png")


def main():
    global K, SUFFIX
    os.makedirs(OUT, exist_ok=True)
    for K, SUFFIX in ((1, ""), (1.5, "_150"), (2, "_200")):
        draw_scaled(SUFFIX)
    K, SUFFIX = 1, ""
    big = logo(256)
    big.save(os.path.join(OUT, "pivaro.ico"),
             sizes=[(16, 16), (24, 24), (32, 32), (48, 48), (64, 64), (256, 256)])
    with open(os.path.join(OUT, "supply_id.bin"), "wb") as f:
        f.write(supply_id())
    return 0


if __name__ == "__main__":
    sys.exit(main())
