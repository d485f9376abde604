#!/usr/bin/env python3
"""Draw the test station's window pictures and its icon into resources/.

The station's window is a photograph of the evaluator with small pictures laid
over its lamps and keys.  Rather than keep hand-edited binaries, every picture
is drawn here from geometry, so that it can be redrawn at will:

    python3 tools/draw_pictures.py

Needs Python 3 and PIL (Debian: python3-pil).  The output is deterministic:
no randomness, no time stamps and no metadata that changes between runs, so two
runs give byte-identical files.

Coordinates.  The photograph (600 x 629) is drawn centred and unscaled in the
690 x 643 client area, so a point of the photograph sits at its window position
minus (45, 7).  The lamp pictures and key markers are placed by window position,
so the lamps and keys of the photograph must sit exactly under them; their
places below are given in photograph coordinates.

The icon (resources/station.ico, the .exe's; and a 128-pixel PNG for the Linux
package's desktop entry) is the evaluator's silhouette seen from the front: its
light body, the dark window with the star lamps and the power lamp, and the six
keys rising to the right.

Shapes are drawn at several times the final size and scaled down, which gives
smooth, anti-aliased edges.  The transparent pictures are palette GIFs with one
transparent index; edge pixels are blended against a neutral dark colour, which
suits the dark photograph they are drawn over.
"""

import math
import os
import random
import sys

try:
    from PIL import Image, ImageChops, ImageDraw, ImageFilter
except ImportError:  # pragma: no cover - depends on the machine
    sys.exit("draw_pictures: PIL is missing (Debian: apt-get install python3-pil; "
             "run with the system python3)")

import io
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_DIR = os.path.normpath(os.path.join(HERE, "..", "resources"))
DESKTOP_ICON = os.path.normpath(os.path.join(HERE, "..", "packaging", "linux", "evaluator-station.png"))
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)  # what Explorer and the task bar ask for, 100-200 %

# PIL's eight-coefficient projective warp (output pixel -> source pixel).
PROJECTIVE_WARP = Image.Transform(2)

SS = 4  # supersampling factor of the photograph and the large pictures

# --- Fixed places, in photograph coordinates (window position - (45, 7)) -----

PHOTO_SIZE = (600, 629)
STAR_SIZE = (17, 18)
STAR_LAMPS = [(278, 312), (311, 303), (344, 291), (374, 281), (406, 273)]  # lamp 1..5
POWER_SIZE = (16, 17)
POWER_LAMP = (448, 281)
KEY_AREA = (46, 35)
KEY_AREAS = [(228, 504), (282, 483), (334, 462), (384, 442), (433, 423), (481, 405)]  # key 1..6

# --- Small geometry helpers --------------------------------------------------


def intersect(a1, a2, b1, b2):
    """Intersection of line a1-a2 with line b1-b2."""
    (x1, y1), (x2, y2), (x3, y3), (x4, y4) = a1, a2, b1, b2
    d = (x1 - x2) * (y3 - y4) - (y1 - y2) * (x3 - x4)
    p = x1 * y2 - y1 * x2
    q = x3 * y4 - y3 * x4
    return ((p * (x3 - x4) - (x1 - x2) * q) / d, (p * (y3 - y4) - (y1 - y2) * q) / d)


def solve_linear(rows, rhs):
    """Gauss-Jordan elimination with partial pivoting (small dense systems)."""
    n = len(rhs)
    m = [list(r) + [rhs[i]] for i, r in enumerate(rows)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(m[r][c]))
        m[c], m[p] = m[p], m[c]
        for r in range(n):
            if r != c and m[r][c] != 0.0:
                f = m[r][c] / m[c][c]
                for k in range(c, n + 1):
                    m[r][k] -= f * m[c][k]
    return [m[i][n] / m[i][i] for i in range(n)]


def homography(src, dst):
    """Eight coefficients of the projective map taking four src points to dst."""
    rows, rhs = [], []
    for (x, y), (u, v) in zip(src, dst):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        rhs.append(u)
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y])
        rhs.append(v)
    return solve_linear(rows, rhs)


def project(h, p):
    x, y = p
    w = h[6] * x + h[7] * y + 1.0
    return ((h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w)


def lerp(a, b, t):
    return a + (b - a) * t


def mix(c0, c1, t):
    return tuple(int(round(lerp(a, b, t))) for a, b in zip(c0, c1))


def arc(cx, cy, rx, ry, a0, a1, n=24):
    """Points along an elliptic arc; angles in degrees, y pointing down."""
    pts = []
    for i in range(n + 1):
        a = math.radians(lerp(a0, a1, i / n))
        pts.append((cx + rx * math.cos(a), cy + ry * math.sin(a)))
    return pts


def bezier(p0, p1, p2, n=24):
    pts = []
    for i in range(n + 1):
        t = i / n
        a, b, c = (1 - t) ** 2, 2 * (1 - t) * t, t * t
        pts.append((a * p0[0] + b * p1[0] + c * p2[0], a * p0[1] + b * p1[1] + c * p2[1]))
    return pts


def star_points(cx, cy, outer, inner):
    """Five-pointed star, one point straight up."""
    pts = []
    for i in range(10):
        r = outer if i % 2 == 0 else inner
        a = math.radians(-90 + 36 * i)
        pts.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    return pts


def star_outer_radius(w, h):
    return min(w / (2 * math.sin(math.radians(72))), h / (1 + math.cos(math.radians(36)))) * 0.98


def star_centre(w, h):
    """Centre of the star that fills a w x h area (its points reach the top)."""
    return (w / 2, h / 2 + star_outer_radius(w, h) * (1 - math.cos(math.radians(36))) / 2)


def star_in_box(w, h, scale=1.0):
    """Star filling a w x h lamp area, centred; points in area coordinates."""
    outer = star_outer_radius(w, h)
    cx, cy = star_centre(w, h)
    return star_points(cx, cy, outer * scale, outer * 0.47 * scale)


def scaled(points, s, dx=0.0, dy=0.0):
    return [(x * s + dx, y * s + dy) for x, y in points]


# Stroke digits for the key faces: polylines in a box 0.6 wide, 1.0 high.
def digit_strokes(d):
    if d == 1:
        return [[(0.12, 0.22), (0.36, 0.0), (0.36, 1.0)]]
    if d == 2:
        return [arc(0.3, 0.28, 0.27, 0.27, 200, 400, 20) + [(0.02, 1.0), (0.6, 1.0)]]
    if d == 3:
        return [arc(0.3, 0.25, 0.25, 0.25, 205, 450, 20) + arc(0.3, 0.75, 0.27, 0.25, 270, 515, 20)[1:]]
    if d == 4:
        return [[(0.46, 1.0), (0.46, 0.0), (0.0, 0.68), (0.62, 0.68)]]
    if d == 5:
        return [[(0.56, 0.0), (0.1, 0.0), (0.06, 0.45)] + arc(0.3, 0.71, 0.29, 0.29, 228, 510, 22)]
    if d == 6:
        return [bezier((0.52, 0.02), (0.02, 0.18), (0.03, 0.72), 16) + arc(0.31, 0.72, 0.28, 0.28, 180, 540, 28)]
    raise ValueError(d)


def polyline(draw, pts, fill, width):
    """Thick polyline with rounded joints and ends."""
    draw.line(pts, fill=fill, width=int(round(width)), joint="curve")
    r = width / 2
    for x, y in (pts[0], pts[-1]):
        draw.ellipse((x - r, y - r, x + r, y + r), fill=fill)


def gradient_layer(size, p0, c0, p1, c1):
    """RGB image of a linear colour gradient running from p0 (c0) to p1 (c1)."""
    ramp = Image.new("L", (1, 768))
    ramp.putdata([0] * 256 + list(range(256)) + [255] * 256)
    dx, dy = p1[0] - p0[0], p1[1] - p0[1]
    l2 = dx * dx + dy * dy
    k = 255.0 / l2
    # ramp row = 256 + 255 * t, t being the position between p0 and p1
    coeffs = (0, 0, 0.5, dx * k, dy * k, 256.5 - (p0[0] * dx + p0[1] * dy) * k)
    t = ramp.transform(size, Image.Transform.AFFINE, coeffs, Image.Resampling.BILINEAR)
    return Image.composite(Image.new("RGB", size, c1), Image.new("RGB", size, c0), t)


def fill_polygon_gradient(canvas, poly, p0, c0, p1, c1):
    mask = Image.new("L", canvas.size, 0)
    ImageDraw.Draw(mask).polygon(poly, fill=255)
    canvas.paste(gradient_layer(canvas.size, p0, c0, p1, c1), (0, 0), mask)


def shaded_disc(draw, cx, cy, r, c_edge, c_mid, c_hot, hot_dx, hot_dy, steps=40):
    """Disc with a soft highlight: concentric discs shrinking towards the hot spot."""
    for i in range(steps):
        t = i / (steps - 1)
        rr = r * (1 - 0.85 * t)
        ox, oy = cx + hot_dx * r * t, cy + hot_dy * r * t
        col = mix(c_edge, c_mid, min(1.0, t * 2)) if t < 0.5 else mix(c_mid, c_hot, (t - 0.5) * 2)
        draw.ellipse((ox - rr, oy - rr, ox + rr, oy + rr), fill=col)


# --- The evaluator's body ----------------------------------------------------
#
# The device is a wedge: a control panel sloping up towards the back, a low
# front face and a taller back.  Seen from the front left and above, the rows on
# the panel converge far to the right and the lines running up the panel lean
# to the left.  The panel is drawn flat in millimetre "face" coordinates and
# warped into the photograph by a projective map; the lamps and keys are placed
# by mapping their fixed photograph positions back onto the panel, so they sit
# exactly where the window's overlays go.

VP_ROWS = (2450.0, -340.0)   # the key row and lamp row meet here
VP_UP = (-500.0, -1500.0)    # lines running up the panel meet here
FRONT_EDGE_AT = (251.0, 556.0)
BACK_EDGE_AT = (286.5, 272.0)
LEFT_EDGE_AT = (200.0, 521.5)
RIGHT_EDGE_AT = (566.0, 422.5)
PANEL_MM = (200.0, 190.0)    # width across, depth up the slope
TEX_PPMM = 8                 # texture pixels per millimetre

FL = intersect(VP_ROWS, FRONT_EDGE_AT, VP_UP, LEFT_EDGE_AT)
FR = intersect(VP_ROWS, FRONT_EDGE_AT, VP_UP, RIGHT_EDGE_AT)
BR = intersect(VP_ROWS, BACK_EDGE_AT, VP_UP, RIGHT_EDGE_AT)
BL = intersect(VP_ROWS, BACK_EDGE_AT, VP_UP, LEFT_EDGE_AT)
# Heights of the front and back faces where they show, in photograph pixels.
FRONT_DROP = (24.0, 19.0)    # at the left and right front corners
BACK_DROP = (58.0, 46.0)     # at the left and right back corners
FL_FOOT = (FL[0], FL[1] + FRONT_DROP[0])
FR_FOOT = (FR[0], FR[1] + FRONT_DROP[1])
BL_FOOT = (BL[0], BL[1] + BACK_DROP[0])
BR_FOOT = (BR[0], BR[1] + BACK_DROP[1])

_FACE_CORNERS = [(0.0, 0.0), (PANEL_MM[0], 0.0), PANEL_MM, (0.0, PANEL_MM[1])]
FACE_TO_PHOTO = homography(_FACE_CORNERS, [FL, FR, BR, BL])
PHOTO_TO_FACE = homography([FL, FR, BR, BL], _FACE_CORNERS)


def to_face(p):
    return project(PHOTO_TO_FACE, p)


def tex(u, v):
    """Face millimetres (u across, v up the slope) to texture pixels."""
    return (u * TEX_PPMM, (PANEL_MM[1] - v) * TEX_PPMM)


def tex_r(mm):
    return mm * TEX_PPMM


def face_ellipse(draw, u, v, r, **kw):
    x, y = tex(u, v)
    rr = tex_r(r)
    draw.ellipse((x - rr, y - rr, x + rr, y + rr), **kw)


def face_rrect(draw, u0, v0, u1, v1, radius, **kw):
    x0, y1 = tex(u0, v0)
    x1, y0 = tex(u1, v1)
    draw.rounded_rectangle((x0, y0, x1, y1), radius=tex_r(radius), **kw)


def area_centre(pos, size):
    return (pos[0] + size[0] / 2.0, pos[1] + size[1] / 2.0)


KEY_RADIUS_MM = 10.3
BODY_LIGHT = (210, 211, 214)
BODY_MID = (186, 188, 192)


def draw_panel_texture():
    """The sloping control panel, flat, in face coordinates."""
    w, d = PANEL_MM
    size = (int(w * TEX_PPMM), int(d * TEX_PPMM))
    panel = gradient_layer(size, tex(0, d), BODY_LIGHT, tex(0, 0), BODY_MID)
    # Light from the upper left: a broad soft sheen across the plastic, and the
    # far right end a little darker.
    sheen = Image.new("L", size, 0)
    ImageDraw.Draw(sheen).polygon([tex(20, d), tex(85, d), tex(45, 0), tex(-20, 0)], fill=40)
    sheen = sheen.filter(ImageFilter.GaussianBlur(tex_r(14)))
    panel.paste(Image.new("RGB", size, (255, 255, 255)), (0, 0), sheen)
    shade = gradient_layer(size, tex(w * 0.45, 0), (0, 0, 0), tex(w, 0), (40, 40, 40)).convert("L")
    panel.paste(Image.new("RGB", size, (120, 124, 132)), (0, 0), shade)
    panel = panel.convert("RGBA")
    g = ImageDraw.Draw(panel)

    # Top ledge along the back edge, with its crease.
    ledge = d - 9.0
    face_rrect(g, 0, ledge, w, d, 5, fill=(220, 221, 224))
    g.line([tex(3, ledge), tex(w - 3, ledge)], fill=(150, 152, 157), width=3)
    g.line([tex(3, ledge - 0.5), tex(w - 3, ledge - 0.5)], fill=(228, 229, 232), width=2)

    # Recessed tray holding the keys: far wall lit, near lip shadowed.
    face_rrect(g, 4, 4, w - 4, 38, 6, fill=(170, 172, 177))
    face_rrect(g, 4, 4, w - 4, 38, 6, outline=(142, 144, 150), width=3)
    g.line([tex(8, 37.2), tex(w - 8, 37.2)], fill=(206, 208, 212), width=4)

    keys = [to_face(area_centre(p, KEY_AREA)) for p in KEY_AREAS]

    # Printed rating faces above the keys, frowning at key 1, smiling at key 6.
    ink = (96, 99, 106)
    for i, (ku, _) in enumerate(keys):
        c = -1.0 + 2.0 * i / 5.0
        fx, fy = tex(ku, 47.0)
        rr = tex_r(4.0)
        g.ellipse((fx - rr, fy - rr, fx + rr, fy + rr), outline=ink, width=4)
        for ex in (-1.4, 1.4):
            ey = -1.2
            er = tex_r(0.55)
            g.ellipse((fx + tex_r(ex) - er, fy + tex_r(ey) - er,
                       fx + tex_r(ex) + er, fy + tex_r(ey) + er), fill=ink)
        mouth = []
        for j in range(13):
            x = -2.2 + 4.4 * j / 12
            y = 1.55 + c * 0.9 * (1 - (x / 2.2) ** 2) - c * 0.45
            mouth.append((fx + tex_r(x), fy + tex_r(y)))
        g.line(mouth, fill=ink, width=4, joint="curve")

    # Speaker grille: a hexagonal field of small holes.
    gu, gv, gr = 31.0, 95.0, 15.0
    pitch = 3.3
    row = 0
    y = -gr
    while y <= gr:
        off = pitch / 2 if row % 2 else 0.0
        x = -gr - off
        while x <= gr + pitch:
            if x * x + y * y <= (gr - 1.0) ** 2:
                face_ellipse(g, gu + x, gv + y, 0.95, fill=(70, 72, 77))
                face_ellipse(g, gu + x + 0.25, gv + y - 0.35, 0.55, fill=(46, 47, 51))
            x += pitch
        y += pitch * 0.866
        row += 1

    # A small blank label plate (no maker's name on this unit).
    face_rrect(g, 12, 126, 56, 160, 2.5, fill=(150, 152, 157))
    face_rrect(g, 12.6, 126.8, 55.4, 159.2, 2.2, fill=(226, 227, 230))
    for lv, lu1 in ((152.0, 44.0), (146.5, 36.0), (135.0, 48.0)):
        g.line([tex(17, lv), tex(lu1, lv)], fill=(196, 198, 202), width=5)

    # Smoked window holding the five star lamps and the power lamp.
    stars = [to_face(area_centre(p, STAR_SIZE)) for p in STAR_LAMPS]
    power = to_face(area_centre(POWER_LAMP, POWER_SIZE))
    wu0 = stars[0][0] - 11.0
    wu1 = power[0] + 11.0
    wv0 = min(power[1], min(v for _, v in stars)) - 11.0
    wv1 = max(v for _, v in stars) + 11.0
    face_rrect(g, wu0 - 1.2, wv0 - 1.2, wu1 + 1.2, wv1 + 1.2, 5, fill=(120, 122, 128))
    face_rrect(g, wu0, wv0, wu1, wv1, 4, fill=(24, 20, 24))
    glass = gradient_layer(size, tex(0, wv1), (16, 13, 17), tex(0, wv0), (44, 40, 46))
    wmask = Image.new("L", size, 0)
    face_rrect(ImageDraw.Draw(wmask), wu0 + 0.6, wv0 + 0.6, wu1 - 0.6, wv1 - 0.6, 3.6, fill=255)
    panel.paste(glass, (0, 0), wmask)
    # a faint reflection of the room across the glass
    sheen = Image.new("L", size, 0)
    sd = ImageDraw.Draw(sheen)
    sd.polygon([tex(wu0 + 8, wv1), tex(wu0 + 30, wv1), tex(wu0 + 14, wv0), tex(wu0 - 8, wv0)], fill=26)
    sheen = Image.composite(sheen, Image.new("L", size, 0), wmask).filter(ImageFilter.GaussianBlur(12))
    panel.paste(Image.new("RGB", size, (255, 255, 255)), (0, 0), sheen)
    g.line([tex(wu0 + 2, wv0 - 0.9), tex(wu1 - 2, wv0 - 0.9)], fill=(228, 229, 232), width=3)

    # The six keys: a dark well, the key's visible front-left wall, its domed top
    # and a printed number.
    # The key's wall shows on its front-left side; the whole key is nudged back
    # and right so that wall and top together centre on the key's marker.
    r = KEY_RADIUS_MM
    for n, (ku, kv) in enumerate(keys, start=1):
        ku, kv = ku + 0.4, kv + 0.85
        face_ellipse(g, ku - 0.3, kv - 0.4, r + 1.4, fill=(88, 90, 96))
        face_ellipse(g, ku, kv, r + 1.0, fill=(60, 62, 68))
        face_ellipse(g, ku - 0.7, kv - 1.3, r, fill=(34, 36, 42))
        kx, ky = tex(ku + 0.2, kv + 0.35)
        shaded_disc(g, kx, ky, tex_r(r * 0.97), (46, 49, 57), (70, 75, 86), (104, 110, 124), 0.28, -0.32)
        glyph_h = tex_r(r * 0.95)
        gx0 = kx - glyph_h * 0.31
        gy0 = ky - glyph_h * 0.5
        for stroke in digit_strokes(n):
            polyline(g, scaled(stroke, glyph_h, gx0, gy0), (232, 234, 238), glyph_h * 0.15)

    # Rounded outer edge of the panel: a dark rim, then a highlight on the curve.
    for i in range(int(tex_r(3.2))):
        t = i / tex_r(3.2)
        if t < 0.35:
            col = mix((128, 130, 135), (236, 237, 240), t / 0.35)
        else:
            col = mix((236, 237, 240), (212, 213, 216), (t - 0.35) / 0.65)
        g.rounded_rectangle((i, i, size[0] - 1 - i, size[1] - 1 - i),
                            radius=max(1, tex_r(6) - i), outline=col + (255,), width=1)

    alpha = Image.new("L", size, 0)
    ImageDraw.Draw(alpha).rounded_rectangle((0, 0, size[0] - 1, size[1] - 1), radius=tex_r(6), fill=255)
    panel.putalpha(alpha)
    return panel


def draw_photo():
    W, H = PHOTO_SIZE[0] * SS, PHOTO_SIZE[1] * SS

    def S(p):
        return (p[0] * SS, p[1] * SS)

    # Dark counter top, lit faintly around the device and fading to black well
    # inside the edges, so that the photograph merges with the black window.
    glow = Image.radial_gradient("L").resize((W * 13 // 10, H), Image.Resampling.BILINEAR)
    glow = glow.point(lambda d: int(round(44 * max(0.0, 1 - d / 185.0) ** 1.4)))
    floor_l = Image.new("L", (W, H), 0)
    floor_l.paste(glow, (int(370 * SS - glow.size[0] / 2), int(430 * SS - glow.size[1] / 2)))
    edges = Image.new("L", (W, H), 0)
    ImageDraw.Draw(edges).rectangle((40 * SS, 40 * SS, W - 40 * SS, H - 40 * SS), fill=255)
    floor_l = ImageChops.multiply(floor_l, edges.filter(ImageFilter.GaussianBlur(18 * SS)))
    photo = Image.merge("RGB", (floor_l, floor_l, floor_l.point(lambda v: min(255, v + v // 8))))

    # USB cable leaving the back of the device, running off into the dark.
    cable = bezier((330, 262), (340, 140), (222, -12), 40)
    cable_img = photo.copy()
    cd = ImageDraw.Draw(cable_img)
    cd.line([S(p) for p in cable], fill=(30, 31, 34), width=7 * SS, joint="curve")
    cd.line([(S(p)[0] - 2 * SS, S(p)[1]) for p in cable], fill=(66, 67, 72), width=2 * SS, joint="curve")
    fade = gradient_layer((W, H), (0, 30 * SS), (0, 0, 0), (0, 210 * SS), (255, 255, 255)).convert("L")
    photo = Image.composite(cable_img, photo, fade)

    # Soft shadow cast back and to the right, and a tight contact shadow.
    foot = [S(FL_FOOT), S(FR_FOOT), S(BR_FOOT), S(BL_FOOT)]
    for (dx, dy), blur, strength in (((14, -8), 16, 0.75), ((2, 0), 3, 0.9)):
        m = Image.new("L", (W, H), 0)
        ImageDraw.Draw(m).polygon([(x + dx * SS, y + dy * SS) for x, y in foot], fill=int(255 * strength))
        m = m.filter(ImageFilter.GaussianBlur(blur * SS))
        photo.paste((0, 0, 0), (0, 0), m)

    # Left side face and front face.
    fill_polygon_gradient(photo, [S(FL), S(BL), S(BL_FOOT), S(FL_FOOT)],
                          S(FL), (104, 106, 112), S(BL), (70, 72, 78))
    fill_polygon_gradient(photo, [S(FL), S(FR), S(FR_FOOT), S(FL_FOOT)],
                          S(FL), (170, 172, 177), S(FL_FOOT), (112, 114, 120))
    # underlay so that the panel's rounded corners show the body, not the floor
    ImageDraw.Draw(photo).polygon([S(FL), S(FR), S(BR), S(BL)], fill=(150, 152, 157))
    d = ImageDraw.Draw(photo)
    # rounded vertical edge at the front-left corner, and the rubber foot line
    d.line([S((FL[0], FL[1] + 3)), S((FL_FOOT[0], FL_FOOT[1] - 2))], fill=(188, 190, 195), width=2 * SS)
    d.line([S(BL_FOOT), S(FL_FOOT), S(FR_FOOT)], fill=(30, 31, 34), width=3 * SS, joint="curve")

    # The control panel, warped into place.
    panel = draw_panel_texture()
    img_to_tex = homography([S(FL), S(FR), S(BR), S(BL)],
                            [(0, panel.size[1]), (panel.size[0], panel.size[1]), (panel.size[0], 0), (0, 0)])
    warped = panel.transform((W, H), PROJECTIVE_WARP, img_to_tex, Image.Resampling.BICUBIC)
    photo = photo.convert("RGBA")
    photo.alpha_composite(warped)
    d = ImageDraw.Draw(photo)

    # Star lamps, unlit: dim dark-red stars in black sockets behind the glass.
    for pos in STAR_LAMPS:
        cx, cy = area_centre(pos, STAR_SIZE)
        rs = 10.6
        d.ellipse(S((cx - rs - 0.6, cy - rs + 0.8)) + S((cx + rs - 0.6, cy + rs + 0.8)), fill=(58, 54, 60))
        d.ellipse(S((cx - rs, cy - rs)) + S((cx + rs, cy + rs)), fill=(8, 7, 9))
        star = scaled(star_in_box(*STAR_SIZE), SS, pos[0] * SS, pos[1] * SS)
        d.polygon(star, fill=(70, 12, 14))
        inner = scaled(star_in_box(STAR_SIZE[0], STAR_SIZE[1], 0.55), SS, pos[0] * SS, pos[1] * SS)
        d.polygon(inner, fill=(92, 20, 20))
        d.ellipse(S((cx - 5.5, cy - 7.5)) + S((cx - 2.5, cy - 5.5)), fill=(90, 80, 88))

    # Power lamp, unlit: a dark-blue dome.
    cx, cy = area_centre(POWER_LAMP, POWER_SIZE)
    rs = 10.0
    d.ellipse(S((cx - rs - 0.6, cy - rs + 0.8)) + S((cx + rs - 0.6, cy + rs + 0.8)), fill=(58, 54, 60))
    d.ellipse(S((cx - rs, cy - rs)) + S((cx + rs, cy + rs)), fill=(8, 7, 9))
    shaded_disc(d, cx * SS, cy * SS, 7.6 * SS, (8, 12, 34), (16, 28, 70), (30, 48, 104), -0.25, -0.3)
    d.ellipse(S((cx - 4.5, cy - 5.5)) + S((cx - 1.5, cy - 3.5)), fill=(120, 132, 170))

    return film_grain(photo.convert("RGB").resize(PHOTO_SIZE, Image.Resampling.LANCZOS), 3)


def film_grain(img, amount):
    """A little sensor grain on the lit parts, from a fixed generator so that
    every run gives the same picture; the black surround stays clean."""
    rng = random.Random(600629)
    noise = Image.frombytes("L", img.size, rng.randbytes(img.size[0] * img.size[1]))
    noise = noise.point(lambda v: v * (2 * amount + 1) // 256)
    noisy = ImageChops.add(img, Image.merge("RGB", (noise, noise, noise)), 1.0, -amount)
    return Image.composite(noisy, img, img.convert("L").point(lambda v: min(255, v * 6)))


# --- Transparent pictures ----------------------------------------------------

MATTE = (28, 28, 28)


def save_gif(rgba, path, matte=MATTE):
    """Palette GIF with index 255 transparent; edges blended against matte."""
    alpha = rgba.getchannel("A")
    rgb = Image.composite(rgba.convert("RGB"), Image.new("RGB", rgba.size, matte), alpha)
    pic = rgb.quantize(colors=255, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette = pic.getpalette()[:255 * 3]
    palette += [0] * (255 * 3 - len(palette)) + list(matte)
    pic.putpalette(palette)
    clear = alpha.point(lambda a: 255 if a < 112 else 0)
    pic.paste(255, (0, 0), clear)
    pic.info.clear()
    pic.save(path, "GIF", transparency=255)


def canvas(size, ss):
    return Image.new("RGBA", (size[0] * ss, size[1] * ss), (0, 0, 0, 0))


def down(img, size):
    return img.resize(size, Image.Resampling.LANCZOS)


def gradient_fill(size, mask, top, bottom):
    """RGBA: a vertical gradient where mask is set."""
    layer = gradient_layer(size, (0, 0), top, (0, size[1]), bottom).convert("RGBA")
    layer.putalpha(mask)
    return layer


def stroked_shape(size, ss, strokes, width, outline, top, bottom, gloss):
    """Thick rounded strokes with a dark outline, a gradient body and a gloss line."""
    big = (size[0] * ss, size[1] * ss)
    pts = [scaled(s, ss) for s in strokes]
    outer = Image.new("L", big, 0)
    inner = Image.new("L", big, 0)
    shine = Image.new("L", big, 0)
    for s in pts:
        polyline(ImageDraw.Draw(outer), s, 255, (width + width * 0.22) * ss)
        polyline(ImageDraw.Draw(inner), s, 255, width * ss)
        polyline(ImageDraw.Draw(shine), [(x - width * 0.14 * ss, y - width * 0.14 * ss) for x, y in s],
                 255, width * 0.22 * ss)
    shine = Image.composite(shine, Image.new("L", big, 0), inner).filter(ImageFilter.GaussianBlur(width * 0.06 * ss))
    img = Image.new("RGBA", big, outline + (0,))
    img.putalpha(outer)
    img.alpha_composite(gradient_fill(big, inner, top, bottom))
    img.alpha_composite(gradient_fill(big, shine.point(lambda v: v * 5 // 10), gloss, gloss))
    return down(img, size)


TICK = [[(0.19, 0.53), (0.42, 0.76), (0.82, 0.27)]]
CROSS = [[(0.25, 0.25), (0.75, 0.75)], [(0.75, 0.25), (0.25, 0.75)]]


def unit_strokes(strokes, w, h, box=None):
    """Strokes given in 0..1 units, placed into a w x h picture (optionally a sub-box)."""
    x0, y0, bw, bh = box if box else (0, 0, w, h)
    return [[(x0 + x * bw, y0 + y * bh) for x, y in s] for s in strokes]


def draw_passed():
    return stroked_shape((200, 200), SS, unit_strokes(TICK, 200, 200), 30,
                         (8, 70, 24), (110, 232, 110), (24, 150, 50), (225, 255, 225))


def draw_failed():
    return stroked_shape((200, 200), SS, unit_strokes(CROSS, 200, 200), 30,
                         (90, 8, 10), (255, 90, 80), (186, 18, 22), (255, 220, 215))


def draw_good():
    return stroked_shape(KEY_AREA, 8, unit_strokes(TICK, 46, 35, (6, -1, 34, 37)), 6.0,
                         (6, 60, 20), (120, 240, 110), (30, 170, 50), (230, 255, 230))


def draw_bad():
    return stroked_shape(KEY_AREA, 8, unit_strokes(CROSS, 46, 35, (6.5, 1.0, 33, 33)), 6.0,
                         (80, 6, 8), (255, 100, 90), (200, 20, 24), (255, 225, 220))


def draw_hint():
    ss = 8
    w, h = KEY_AREA
    img = canvas(KEY_AREA, ss)
    d = ImageDraw.Draw(img)
    box = (2.5 * ss, 2.5 * ss, (w - 2.5) * ss, (h - 2.5) * ss)
    d.ellipse(box, fill=(150, 110, 0, 255))
    inset = 1.3 * ss
    mask = Image.new("L", img.size, 0)
    ImageDraw.Draw(mask).ellipse((box[0] + inset, box[1] + inset, box[2] - inset, box[3] - inset), fill=255)
    img.alpha_composite(gradient_fill(img.size, mask, (255, 240, 90), (240, 180, 0)))
    shine = Image.new("L", img.size, 0)
    ImageDraw.Draw(shine).ellipse((11 * ss, 5 * ss, 32 * ss, 13 * ss), fill=120)
    shine = shine.filter(ImageFilter.GaussianBlur(2 * ss))
    img.alpha_composite(gradient_fill(img.size, shine, (255, 255, 235), (255, 255, 235)))
    return down(img, KEY_AREA)


def draw_star():
    ss = 16
    w, h = STAR_SIZE
    img = canvas(STAR_SIZE, ss)
    star = scaled(star_in_box(w, h), ss)
    ImageDraw.Draw(img).polygon(star, fill=(150, 10, 10, 255))
    cx, cy = star_centre(w, h)
    body = Image.new("L", img.size, 0)
    ImageDraw.Draw(body).polygon(scaled(star_in_box(w, h, 0.88), ss), fill=255)
    glow = Image.new("RGBA", img.size, (0, 0, 0, 0))
    shaded_disc(ImageDraw.Draw(glow), cx * ss, cy * ss, 8.5 * ss,
                (225, 20, 22), (255, 60, 46), (255, 190, 160), 0, 0, 48)
    glow.putalpha(body)
    img.alpha_composite(glow)
    return down(img, STAR_SIZE)


def draw_power():
    ss = 16
    w, h = POWER_SIZE
    img = canvas(POWER_SIZE, ss)
    d = ImageDraw.Draw(img)
    cx, cy = w / 2 * ss, h / 2 * ss
    r = 7.9 * ss
    d.ellipse((cx - r, cy - r, cx + r, cy + r), fill=(40, 110, 255, 255))
    shaded_disc(d, cx, cy, 7.0 * ss, (40, 110, 255, 255), (110, 190, 255, 255), (240, 250, 255, 255), 0, 0, 48)
    hl = 1.8 * ss
    d.ellipse((cx - 3.6 * ss - hl, cy - 3.6 * ss - hl, cx - 3.6 * ss + hl, cy - 3.6 * ss + hl),
              fill=(255, 255, 255, 255))
    return down(img, POWER_SIZE)


# --- The icon -----------------------------------------------------------------


def draw_icon(size):
    """The evaluator from the front on a transparent ground, size x size. Drawn
    in a 64-unit box; below 32 pixels the lamps and keys are drawn larger, so
    that they stay dots rather than melt into the body."""
    ss = 16
    k = size * ss / 64.0
    small = size < 32
    img = Image.new("RGBA", (size * ss, size * ss), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)

    def box(x0, y0, x1, y1):
        return (x0 * k, y0 * k, x1 * k, y1 * k)

    # The body: its top lit, its front face a shade darker, a dark outline
    # that keeps it apart from a light task bar.
    d.rounded_rectangle(box(1, 9, 63, 57), radius=7 * k, fill=(58, 60, 66, 255))
    body = Image.new("L", img.size, 0)
    ImageDraw.Draw(body).rounded_rectangle(box(3, 11, 61, 51), radius=5.5 * k, fill=255)
    img.alpha_composite(gradient_fill(img.size, body, (236, 237, 240), (178, 180, 186)))
    d.rounded_rectangle(box(3, 50, 61, 55), radius=2.5 * k, fill=(128, 130, 137, 255))
    # The smoked window with five red star lamps and the blue power lamp.
    d.rounded_rectangle(box(7, 15, 57, 28), radius=3 * k, fill=(26, 22, 28, 255))
    lamp = 2.9 if small else 2.4
    for i in range(5):
        cx = 13 + i * 7.4
        d.ellipse(box(cx - lamp, 21.5 - lamp, cx + lamp, 21.5 + lamp), fill=(232, 40, 36, 255))
    d.ellipse(box(51 - lamp, 21.5 - lamp, 51 + lamp, 21.5 + lamp), fill=(60, 140, 255, 255))
    # Six keys, key 1 lowest on the left, key 6 highest on the right.
    key = 4.6 if small else 3.9
    for i in range(6):
        cx, cy = 10 + i * 8.8, 44.5 - i * 1.9
        d.ellipse(box(cx - key, cy - key, cx + key, cy + key), fill=(44, 48, 58, 255))
        if not small:
            d.ellipse(box(cx - key * 0.55, cy - key * 0.7, cx + key * 0.2, cy - key * 0.1),
                      fill=(98, 104, 118, 255))
    # An average of each pixel's 16 x 16 samples: clean edges, and flat areas
    # that stay flat (half the PNG bytes of a Lanczos filter's).
    return img.resize((size, size), Image.Resampling.BOX)


def save_ico(path, sizes):
    """A Windows icon file: the sizes up to 32 as 32-bit bitmaps with their AND
    mask, as every shell reads them; the larger ones as PNG, which Windows reads
    from Vista on and which keeps the program small (a 64-pixel bitmap alone
    is 17 kB)."""
    images = []
    for size in sizes:
        pic = draw_icon(size)
        if size > 32:
            data = io.BytesIO()
            pic.save(data, "PNG", optimize=True)
            images.append((size, data.getvalue()))
            continue
        r, g, b, a = pic.split()
        rows = Image.merge("RGBA", (b, g, r, a)).transpose(Image.Transpose.FLIP_TOP_BOTTOM).tobytes()
        stride = ((size + 31) // 32) * 4
        mask = bytearray()
        flipped = a.transpose(Image.Transpose.FLIP_TOP_BOTTOM).tobytes()
        for y in range(size):
            row = 0
            for x in range(size):
                row = (row << 1) | (1 if flipped[y * size + x] == 0 else 0)
            bits = row << (stride * 8 - size)
            mask += bits.to_bytes(stride, "big")
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(rows) + len(mask), 0, 0, 0, 0)
        images.append((size, header + rows + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(data for _, data in images))


def main():
    os.makedirs(OUT_DIR, exist_ok=True)
    save_ico(os.path.join(OUT_DIR, "station.ico"), ICON_SIZES)
    draw_icon(128).save(DESKTOP_ICON, "PNG", optimize=True)
    photo = draw_photo()
    photo.info.clear()
    photo.save(os.path.join(OUT_DIR, "evaluator.jpg"), "JPEG", quality=90, optimize=True, progressive=True)
    for name, fn in (("passed.gif", draw_passed), ("failed.gif", draw_failed),
                     ("power.gif", draw_power), ("star.gif", draw_star),
                     ("good.gif", draw_good), ("bad.gif", draw_bad), ("hint.gif", draw_hint)):
        save_gif(fn(), os.path.join(OUT_DIR, name))


if __name__ == "__main__":
    main()
