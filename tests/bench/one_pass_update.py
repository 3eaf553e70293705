#!/usr/bin/env python3
"""The update as a careful script would do it, for the updater benchmark to measure against: the
manifest, then one streaming pass over the HTTPS package that writes it, hashes it and decrypts it
while hashing the plaintext, each on a thread of its own; the auth server's confirmation; then extraction by four processes
with Python's zipfile, each on its own quarter of the archive; last the swap of the editor folder.

Usage: one_pass_update.py CA_FILE MANIFEST_URL DOWNLOADS EDITOR
  (the previous editor is left in EDITOR-previous, as the launcher leaves its deletion to afterwards)
"""
import base64
import hashlib
import http.client
import json
import os
import queue
import ssl
import struct
import sys
import threading
import zipfile
from urllib.parse import urlsplit

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

BLOCK = 1 << 20
WRITERS = 4


def request(context, url, method="GET", body=None, headers=None):
    parts = urlsplit(url)
    connection = http.client.HTTPSConnection(parts.hostname, parts.port or 443, context=context)
    connection.request(method, parts.path + ("?" + parts.query if parts.query else ""), body, headers or {})
    response = connection.getresponse()
    if response.status != 200:
        sys.exit(f"{method} {url}: HTTP {response.status}")
    return response


def read_exactly(response, count):
    data = response.read(count)
    if len(data) != count:
        sys.exit("the package ended early")
    return data


class Stage:
    """A thread of its own that does `work` on every block handed to it, in order, beside the
    others: hashing, the cipher and file writes leave Python's lock while they work on a block."""

    def __init__(self, work):
        self.work, self.failed = work, None
        self.blocks = queue.Queue(maxsize=16)
        self.thread = threading.Thread(target=self.run)
        self.thread.start()

    def run(self):
        while (block := self.blocks.get()) is not None:
            if self.failed is None:
                try:
                    self.work(block)
                except Exception as error:  # reported by finish; the blocks still drain
                    self.failed = error

    def finish(self):
        self.blocks.put(None)
        self.thread.join()
        if self.failed is not None:
            sys.exit(f"a stage failed: {self.failed}")


def download_and_decrypt(response, package_path, zip_path, key):
    """One pass: every block is written and hashed, and decrypted into a plaintext that is written
    and hashed, each on a thread of its own."""
    package_sha, plain_sha = hashlib.sha256(), hashlib.sha256()
    with open(package_path, "wb") as package, open(zip_path, "wb") as plain:
        header = read_exactly(response, 32)
        if header[:8] != b"ZELVAN1\0" or header[8:11] != bytes([1, 12, 16]):
            sys.exit("not a package container")
        remaining = struct.unpack(">Q", header[12:20])[0]
        decryptor = Cipher(algorithms.AES(key), modes.GCM(header[20:32])).decryptor()
        plain_writer, plain_hasher = Stage(plain.write), Stage(plain_sha.update)

        def decrypt(block):
            clear = decryptor.update(block)
            plain_writer.blocks.put(clear)
            plain_hasher.blocks.put(clear)

        package_writer, package_hasher = Stage(package.write), Stage(package_sha.update)
        decrypter = Stage(decrypt)
        for stage in (package_writer, package_hasher):
            stage.blocks.put(header)
        while remaining:
            block = read_exactly(response, min(BLOCK, remaining))
            remaining -= len(block)
            for stage in (package_writer, package_hasher, decrypter):
                stage.blocks.put(block)
        tag = read_exactly(response, 16)
        if response.read(1):
            sys.exit("bytes after the tag")
        for stage in (package_writer, package_hasher):
            stage.blocks.put(tag)
        for stage in (decrypter, package_writer, package_hasher):
            stage.finish()
        last = decryptor.finalize_with_tag(tag)
        for stage in (plain_writer, plain_hasher):
            stage.blocks.put(last)
            stage.finish()
    return package_sha.hexdigest(), plain_sha.hexdigest()


def extract(zip_path, staging):
    with zipfile.ZipFile(zip_path) as archive:
        entries = [e for e in archive.infolist() if not e.is_dir()]
    # Folders first, here, so that the writers do not race to make them.
    for entry in entries:
        os.makedirs(os.path.join(staging, os.path.dirname(entry.filename)), exist_ok=True)
    # Neighbouring entries in quarters of the compressed bytes: each writer reads its part in order.
    total = sum(e.compress_size for e in entries) or 1
    groups, done = [[] for _ in range(WRITERS)], 0
    for entry in entries:
        groups[min(WRITERS - 1, done * WRITERS // total)].append(entry.filename)
        done += entry.compress_size
    children = []
    for names in groups:
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                with zipfile.ZipFile(zip_path) as archive:
                    for name in names:
                        target = archive.extract(name, staging)
                        mode = archive.getinfo(name).external_attr >> 16
                        if mode & 0o111:
                            os.chmod(target, mode & 0o755)
                status = 0
            finally:
                os._exit(status)
        children.append(pid)
    if any(os.waitpid(pid, 0)[1] != 0 for pid in children):
        sys.exit("extraction failed")


def main():
    ca, manifest_url, downloads, editor = sys.argv[1:5]
    context = ssl.create_default_context(cafile=ca)
    manifest = json.loads(request(context, manifest_url).read())
    version = manifest["version"]
    os.makedirs(downloads, exist_ok=True)
    package_path = os.path.join(downloads, "package")
    zip_path = package_path + ".decrypted.zip"
    key = base64.b64decode(manifest["encryption"]["key"])
    package_sha, plain_sha = download_and_decrypt(
        request(context, manifest["url"]), package_path + ".part", zip_path, key)
    if package_sha != manifest["sha256"] or plain_sha != manifest["plaintext_sha256"]:
        sys.exit("a digest does not match")
    os.rename(package_path + ".part", package_path)
    verify_url = manifest_url[: manifest_url.index("/", len("https://"))] + "/v1/artifacts/verify"
    reply = request(context, verify_url, "POST", json.dumps({"sha256": plain_sha}),
                    {"Content-Type": "application/json"}).read()
    if json.loads(reply).get("genuine") is not True:
        sys.exit("not confirmed as genuine")
    staging = editor + "-staging"
    extract(zip_path, staging)
    os.remove(zip_path)
    if os.path.exists(editor):
        os.rename(editor, editor + "-previous")
    os.rename(staging, editor)
    with open(os.path.join(editor, ".zelvan_editor_version"), "w") as version_file:
        version_file.write(version + "\n")


if __name__ == "__main__":
    main()
