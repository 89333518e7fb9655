#!/usr/bin/env python3
"""An HTTP proxy on 127.0.0.1 that inspects TLS, as the proxies of some
managed networks do: it answers CONNECT, shows the client a certificate that
its own CA issued, and carries the bytes on over a TLS connection of its own
to the host asked for, which it verifies against --upstream-ca.

  tls_inspecting_proxy.py --cert PEM --key PEM --upstream-ca PEM --log FILE --port-file FILE

Writes its port to --port-file once it listens; logs one line per CONNECT
("CONNECT host:port") and per refused or failed tunnel."""
import argparse
import os
import socket
import ssl
import sys
import threading


def pump(source, sink):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    finally:
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def log(args, line):
    with open(args.log, "a") as out:
        out.write(line + "\n")


def serve(client, args, inner, outer):
    with client:
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 8192:
            data = client.recv(4096)
            if not data:
                return
            head += data
        words = head.split(b"\r\n", 1)[0].decode("latin-1").split()
        if len(words) != 3 or words[0] != "CONNECT" or ":" not in words[1]:
            log(args, "refused " + " ".join(words))
            client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
            return
        log(args, "CONNECT " + words[1])
        host, port = words[1].rsplit(":", 1)
        try:
            upstream = outer.wrap_socket(socket.create_connection((host, int(port)), timeout=10),
                                         server_hostname=host)
        except (OSError, ValueError) as error:
            log(args, "upstream failed: %s" % error)
            client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
            return
        with upstream:
            client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
            try:
                shown = inner.wrap_socket(client, server_side=True)
            except OSError as error:
                log(args, "client refused the certificate: %s" % error)
                return
            with shown:
                back = threading.Thread(target=pump, args=(upstream, shown), daemon=True)
                back.start()
                pump(shown, upstream)
                back.join()


def main():
    parser = argparse.ArgumentParser()
    for name in ("--cert", "--key", "--upstream-ca", "--log", "--port-file"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    inner = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    inner.load_cert_chain(args.cert, args.key)
    outer = ssl.create_default_context(cafile=args.upstream_ca)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    with open(args.port_file + ".new", "w") as out:
        out.write(str(listener.getsockname()[1]))
    os.rename(args.port_file + ".new", args.port_file)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, args, inner, outer), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
