#!/usr/bin/python3
"""Serves page.html over https (port 8444) and http (port 8080) on 127.0.0.1 and appends every
POST /result body, with the port it came to, to the file given as the first argument."""
import http.server
import os
import ssl
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(os.path.join(HERE, "page.html"), "rb") as f:
            data = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode()
        with open(sys.argv[1], "a") as f:
            f.write("%d %s\n" % (self.server.server_port, body))
        self.send_response(204)
        self.end_headers()


def serve(port, cert=None, key=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


threading.Thread(target=serve, args=(8080,), daemon=True).start()
serve(8444, sys.argv[2], sys.argv[3])
