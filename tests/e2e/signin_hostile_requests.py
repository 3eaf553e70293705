#!/usr/bin/env python3
"""Sends the sign-in listener on 127.0.0.1:PORT what no browser would: a 1 GiB chunked POST, a
1 MiB header line and negative chunk sizes. Prints one line per request: what it was, how many
bytes went out before the listener stopped reading, and the status line it answered (or
"closed")."""
import socket
import sys

port = int(sys.argv[1])
GIB = 1 << 30


def exchange(name, head, body_chunks=()):
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    sent = 0
    try:
        s.sendall(head)
        sent += len(head)
        for chunk in body_chunks:
            s.sendall(chunk)
            sent += len(chunk)
    except OSError:
        pass  # the listener closed the connection: what we want for an oversized body
    answer = b""
    try:
        while True:
            data = s.recv(65536)
            if not data:
                break
            answer += data
    except OSError:
        pass
    s.close()
    status = answer.split(b"\r\n", 1)[0].decode(errors="replace") or "closed"
    print(f"{name} sent={sent} status={status}")


def gibibyte_of_chunks():
    mib = b"x" * (1 << 20)
    chunk = b"100000\r\n" + mib + b"\r\n"
    for _ in range(GIB // len(mib)):
        yield chunk


exchange("chunked-post", b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n",
         gibibyte_of_chunks())
exchange("long-header", b"GET /?state=x HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + b"h" * (1 << 20) + b"\r\n\r\n")
for size in (b"-1", b"-5"):
    exchange("negative-chunk" + size.decode(),
             b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" + size + b"\r\nabc\r\n0\r\n\r\n")
