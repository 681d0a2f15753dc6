#!/usr/bin/env python3
"""HTTPS in front of a plain HTTP server on 127.0.0.1 that cuts downloads, for bench/run.sh.

    python3 bench/cutproxy.py PORT UPSTREAM_PORT CHAIN_PEM KEY_PEM CUT_BYTES

A request for /cut/PATH is passed on for /PATH, and the body of a GET's answer is cut (the
connection closed, as a dropped link does) where it reaches the first multiple of CUT_BYTES of
the file that no earlier answer was cut at. A download that starts again from byte 0 so meets
the next cut further on and ends after a cut at every multiple, once each; one that resumes meets
a cut every CUT_BYTES. Other paths pass through whole. Each request gets its own connection to
the upstream server, which keeps its headers (Range, If-Range, ETag, Content-Range) intact.

GET /reset clears the cuts and the counts; GET /stats answers the counts since then as
key=value: get_body_bytes (the body bytes of GET answers sent to the client), gets, cuts and
statuses (the GET answers' status codes in order).
"""
import re
import socket
import ssl
import sys
import threading

CHUNK = 256 * 1024
lock = threading.Lock()
state = {"cut_at": set(), "get_body_bytes": 0, "gets": 0, "statuses": []}


def read_head(sock):
    """The bytes up to the blank line that ends a head, and what came after it; b"" at EOF."""
    data = b""
    while b"\r\n\r\n" not in data:
        more = sock.recv(CHUNK)
        if not more:
            return b"", b""
        data += more
    head, _, rest = data.partition(b"\r\n\r\n")
    return head + b"\r\n\r\n", rest


def answer(client, body):
    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                   b"Content-Length: %d\r\n\r\n%s" % (len(body), body))


def next_cut(start, total, cut_bytes):
    """The body length at which an answer starting at file offset start is cut, or None."""
    boundary = (start // cut_bytes + 1) * cut_bytes
    while boundary < total:
        if boundary not in state["cut_at"]:
            return boundary
        boundary += cut_bytes
    return None


def serve(client, upstream_port, cut_bytes):
    head, _ = read_head(client)
    if not head:
        return
    lines = head.split(b"\r\n")[:-2]
    method, path, version = lines[0].split(b" ", 2)
    with lock:
        if path == b"/reset":
            state.update(cut_at=set(), get_body_bytes=0, gets=0, statuses=[])
            return answer(client, b"reset\n")
        if path == b"/stats":
            return answer(client, b"get_body_bytes=%d gets=%d cuts=%d statuses=%s\n" % (
                state["get_body_bytes"], state["gets"], len(state["cut_at"]),
                b",".join(b"%d" % s for s in state["statuses"]) or b"-"))
    cutting = path.startswith(b"/cut/")
    if cutting:
        path = path[len(b"/cut"):]
    headers = [h for h in lines[1:] if not h.lower().startswith(b"connection:")]
    request = b"\r\n".join([b" ".join([method, path, version])] + headers
                           + [b"Connection: close", b"", b""])
    with socket.create_connection(("127.0.0.1", upstream_port)) as upstream:
        upstream.sendall(request)
        response, body = read_head(upstream)
        if not response:
            return
        client.sendall(response)
        status = int(response.split(b" ", 2)[1])
        limit = None
        if method == b"GET":
            ranged = re.search(rb"(?im)^content-range: *bytes (\d+)-\d+/(\d+)", response)
            length = re.search(rb"(?im)^content-length: *(\d+)", response)
            start, total = (int(ranged[1]), int(ranged[2])) if ranged else (0, None)
            if total is None and length:
                total = int(length[1])
            with lock:
                state["gets"] += 1
                state["statuses"].append(status)
                if cutting and status in (200, 206) and total:
                    boundary = next_cut(start, total, cut_bytes)
                    limit = None if boundary is None else boundary - start
        sent = 0
        while True:
            if not body:
                body = upstream.recv(CHUNK)
                if not body:
                    break
            if limit is not None and sent + len(body) >= limit:
                client.sendall(body[:limit - sent])
                sent = limit
                with lock:
                    state["cut_at"].add(start + limit)
                break
            client.sendall(body)
            sent += len(body)
            body = b""
        if method == b"GET":
            with lock:
                state["get_body_bytes"] += sent


def connection(raw, context, upstream_port, cut_bytes):
    try:
        with context.wrap_socket(raw, server_side=True) as client:
            serve(client, upstream_port, cut_bytes)
            # Closed without a TLS close_notify, as a dropped link ends.
    except (OSError, ValueError):
        pass
    finally:
        raw.close()


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    port, upstream_port = int(sys.argv[1]), int(sys.argv[2])
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[3], sys.argv[4])
    cut_bytes = int(sys.argv[5])
    listener = socket.create_server(("127.0.0.1", port))
    while True:
        raw, _ = listener.accept()
        threading.Thread(target=connection, args=(raw, context, upstream_port, cut_bytes),
                         daemon=True).start()


if __name__ == "__main__":
    main()
