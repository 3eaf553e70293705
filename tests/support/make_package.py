#!/usr/bin/env python3
"""Builds update packages for the updater tests, independently of the launcher's own code.

  make_package.py zip OUT [HEXNAME:HEXDATA:MODE:LINK ...]   names stored exactly as given;
      HEXDATA "rN" stands for N random bytes
  make_package.py container ZIP OUT KEY_B64 [options]
      Encrypts ZIP with AES-256-GCM: "ZELVAN1\\0", version, IV length, tag length, reserved,
      big-endian payload length, IV, ciphertext, tag. Options fake the header fields
      (--version --ivlen --taglen --reserved --magic --declared) or damage the file
      (--extra: a byte after the tag, --truncate L, --flip OFFSET of the ciphertext).
"""
import argparse
import base64
import os
import struct
import sys
import zipfile

from cryptography.hazmat.primitives.ciphers.aead import AESGCM


def make_zip(out, entries):
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for entry in entries:
            name, data, mode, link = entry.split(":")
            info = zipfile.ZipInfo(bytes.fromhex(name).decode("latin-1"))
            info.compress_type = zipfile.ZIP_DEFLATED
            kind = 0o120000 if link == "1" else 0o100000
            info.external_attr = ((kind | int(mode)) & 0xFFFF) << 16
            info.create_system = 3
            archive.writestr(info, os.urandom(int(data[1:])) if data.startswith("r") else bytes.fromhex(data))


def make_container(args):
    with open(args.zip, "rb") as f:
        plain = f.read()
    iv = os.urandom(12)
    sealed = AESGCM(base64.b64decode(args.key)).encrypt(iv, plain, None)
    ciphertext, tag = bytearray(sealed[:-16]), sealed[-16:]
    if args.flip is not None:
        ciphertext[args.flip] ^= 1
    declared = len(ciphertext) if args.declared is None else args.declared
    header = args.magic.encode("latin-1")[:8].ljust(8, b"\0")
    header += bytes([args.version, args.ivlen, args.taglen, args.reserved]) + struct.pack(">Q", declared)
    data = header + iv + bytes(ciphertext) + tag + (b"\0" if args.extra else b"")
    with open(args.out, "wb") as f:
        f.write(data if args.truncate is None else data[: args.truncate])


def main():
    if sys.argv[1] == "zip":
        make_zip(sys.argv[2], sys.argv[3:])
        return
    parser = argparse.ArgumentParser()
    for name in ("command", "zip", "out", "key"):
        parser.add_argument(name)
    for name, default in (("version", 1), ("ivlen", 12), ("taglen", 16), ("reserved", 0),
                          ("declared", None), ("truncate", None), ("flip", None)):
        parser.add_argument("--" + name, type=int, default=default)
    parser.add_argument("--magic", default="ZELVAN1")
    parser.add_argument("--extra", action="store_true")
    make_container(parser.parse_args())


if __name__ == "__main__":
    main()
