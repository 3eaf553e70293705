#!/usr/bin/env python3
"""Frames a window shows per second, counted with the X DAMAGE extension: every change of the
window's contents after at least 4 ms without one counts as a frame.

Usage: x11_frame_rate.py WINDOW_ID SECONDS   (DISPLAY from the environment; prints the rate)
"""
import ctypes
import ctypes.util
import select
import sys
import time

window, seconds = int(sys.argv[1], 0), float(sys.argv[2])
x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
damage_lib = ctypes.CDLL(ctypes.util.find_library("Xdamage") or "libXdamage.so.1")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
for name in ("XPending", "XConnectionNumber", "XFlush"):
    getattr(x11, name).argtypes = [ctypes.c_void_p]
x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
damage_lib.XDamageQueryExtension.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
damage_lib.XDamageCreate.restype = ctypes.c_ulong
damage_lib.XDamageCreate.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int]
damage_lib.XDamageSubtract.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("cannot open the display")
event_base, error_base = ctypes.c_int(), ctypes.c_int()
if not damage_lib.XDamageQueryExtension(display, ctypes.byref(event_base), ctypes.byref(error_base)):
    sys.exit("the X server has no DAMAGE extension")
REPORT_NON_EMPTY = 3
damage = damage_lib.XDamageCreate(display, window, REPORT_NON_EMPTY)
x11.XFlush(display)
fd = x11.XConnectionNumber(display)
event = ctypes.create_string_buffer(192)  # an XEvent is 24 longs

end = time.monotonic() + seconds
frames, last = 0, -1.0
while True:
    while x11.XPending(display):
        x11.XNextEvent(display, event)
        if int.from_bytes(event.raw[:4], "little") == event_base.value:  # XDamageNotify
            now = time.monotonic()
            if now - last > 0.004:
                frames += 1
            last = now
            damage_lib.XDamageSubtract(display, damage, 0, 0)
            x11.XFlush(display)
    remaining = end - time.monotonic()
    if remaining <= 0:
        break
    select.select([fd], [], [], remaining)
print(f"{frames / seconds:.1f}")
