#!/usr/bin/env python3
"""Builds an editor package for the local update server and prints its manifest members.

Usage: make_package.py OUT VERSION [--encrypt] [--blob BYTES] [--evil NAME] [--tamper]
  --encrypt     wrap the zip in the AES-256-GCM container (key in the printed manifest)
  --blob BYTES  add BYTES of incompressible data (slow or large downloads)
  --evil NAME   add an entry with this raw name (zip-slip attempts such as ../escaped)
  --tamper      flip one ciphertext byte after encrypting (the tag no longer matches)
  --no-editor   leave the editor program out (a package that installs nothing to run)
Prints one JSON object: sha256, plaintext_sha256, key (empty when plain), size.
The package holds "editor", the test editor program: it records its pid, working folder,
arguments in $E2E_LOG_DIR/editor.log and stays alive until killed; with --version it prints
its version and ends.
"""
import argparse
import base64
import hashlib
import io
import json
import os
import sys
import zipfile

from cryptography.hazmat.primitives.ciphers.aead import AESGCM

EDITOR = """#!/bin/sh
# Test editor of version @VERSION@.
if [ "${1:-}" = "--version" ]; then echo "@VERSION@"; exit 0; fi
log="${E2E_LOG_DIR:-/tmp}/editor.log"
{
  echo "start pid=$$ version=@VERSION@ cwd=$(pwd) argc=$#"
  for a in "$@"; do echo "arg=$a"; done
} >>"$log"
trap 'exit 0' TERM INT
while :; do sleep 1; done
"""


def build_zip(version, blob, evil, with_editor=True):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        if with_editor:
            info = zipfile.ZipInfo("editor")
            info.external_attr = (0o100755 << 16)
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, EDITOR.replace("@VERSION@", version))
        info = zipfile.ZipInfo("data/readme.txt")
        info.external_attr = (0o100644 << 16)
        z.writestr(info, "ORVO Editor test build %s\n" % version)
        if blob:
            info = zipfile.ZipInfo("data/blob.bin")
            info.external_attr = (0o100644 << 16)
            info.compress_type = zipfile.ZIP_STORED
            z.writestr(info, os.urandom(blob))
        if evil:
            info = zipfile.ZipInfo("zz_placeholder")
            info.filename = evil  # ZipInfo would normalise the name; keep it raw
            info.external_attr = (0o100644 << 16)
            z.writestr(info, "escaped\n")
    return buf.getvalue()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("out")
    p.add_argument("version")
    p.add_argument("--encrypt", action="store_true")
    p.add_argument("--blob", type=int, default=0)
    p.add_argument("--evil", default="")
    p.add_argument("--tamper", action="store_true")
    p.add_argument("--no-editor", action="store_true")
    a = p.parse_args()
    plain = build_zip(a.version, a.blob, a.evil, not a.no_editor)
    key_text = ""
    data = plain
    if a.encrypt:
        key = os.urandom(32)
        iv = os.urandom(12)
        sealed = AESGCM(key).encrypt(iv, plain, None)  # ciphertext followed by the 16-byte tag
        header = b"ZELVAN1\0" + bytes([1, 12, 16, 0]) + len(plain).to_bytes(8, "big") + iv
        body = bytearray(header + sealed)
        if a.tamper:
            body[32 + len(plain) // 2] ^= 0x01
        data = bytes(body)
        key_text = base64.b64encode(key).decode()
    with open(a.out, "wb") as f:
        f.write(data)
    json.dump({
        "sha256": hashlib.sha256(data).hexdigest(),
        "plaintext_sha256": hashlib.sha256(plain).hexdigest() if a.encrypt else "",
        "key": key_text,
        "size": len(data),
    }, sys.stdout)
    print()


if __name__ == "__main__":
    main()
