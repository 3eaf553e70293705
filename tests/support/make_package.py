#!/usr/bin/env python3
"""Builds update packages for the updater tests, independently of the launcher's own code.

  make_package.py zip OUT SPEC.json
      SPEC is a list of {"name": str, "data": str (latin-1), "mode": int (octal bits), "link": bool}.
      Names are stored exactly as given, hostile ones included.
  make_package.py container ZIP OUT KEY_B64 [options]
      Encrypts ZIP with AES-256-GCM into the container layout:
      "ZELVAN1\\0", version, IV length, tag length, reserved, big-endian n, IV, ciphertext, tag.
      --version V --ivlen L --taglen L --reserved R --magic TEXT   header fields
      --declared N          payload length written into the header
      --extra               one byte after the tag
      --truncate L          keep only the first L bytes
      --flip OFFSET         flip the low bit of the ciphertext byte at OFFSET
"""
import argparse
import base64
import json
import os
import struct
import sys
import zipfile

from cryptography.hazmat.primitives.ciphers.aead import AESGCM


def make_zip(out, spec_path):
    with open(spec_path, encoding="utf-8") as f:
        entries = json.load(f)
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for entry in entries:
            info = zipfile.ZipInfo(entry["name"])
            info.compress_type = zipfile.ZIP_DEFLATED
            mode = entry.get("mode", 0o644)
            kind = 0o120000 if entry.get("link") else 0o100000
            info.external_attr = ((kind | mode) & 0xFFFF) << 16
            info.create_system = 3
            archive.writestr(info, entry.get("data", "").encode("latin-1"))


def make_container(args):
    with open(args.zip, "rb") as f:
        plain = f.read()
    key = base64.b64decode(args.key)
    iv = os.urandom(12)
    sealed = AESGCM(key).encrypt(iv, plain, None)
    ciphertext, tag = bytearray(sealed[:-16]), sealed[-16:]
    if args.flip is not None:
        ciphertext[args.flip] ^= 1
    declared = len(ciphertext) if args.declared is None else args.declared
    magic = args.magic.encode("latin-1") if args.magic is not None else b"ZELVAN1\0"
    header = magic[:8].ljust(8, b"\0") + bytes([args.version, args.ivlen, args.taglen, args.reserved])
    header += struct.pack(">Q", declared) + iv
    data = header + bytes(ciphertext) + tag
    if args.extra:
        data += b"\0"
    if args.truncate is not None:
        data = data[: args.truncate]
    with open(args.out, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "zip":
        make_zip(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("command")
    parser.add_argument("zip")
    parser.add_argument("out")
    parser.add_argument("key")
    parser.add_argument("--version", type=int, default=1)
    parser.add_argument("--ivlen", type=int, default=12)
    parser.add_argument("--taglen", type=int, default=16)
    parser.add_argument("--reserved", type=int, default=0)
    parser.add_argument("--magic")
    parser.add_argument("--declared", type=int)
    parser.add_argument("--extra", action="store_true")
    parser.add_argument("--truncate", type=int)
    parser.add_argument("--flip", type=int)
    make_container(parser.parse_args())


if __name__ == "__main__":
    main()
