#!/usr/bin/env python3
"""Serves the browser edition's folder on this machine only, with the headers its threads
need: a page shares memory between threads only when it is cross-origin isolated.

    python3 web/serve.py [--port 8080] [--bind 127.0.0.1] [FOLDER]   (FOLDER: build-web/site)
"""
import argparse
import functools
import http.server
import os
import sys


class IsolatedHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {
        **http.server.SimpleHTTPRequestHandler.extensions_map,
        ".wasm": "application/wasm",
        ".js": "text/javascript",
        ".mjs": "text/javascript",
        ".bin": "application/octet-stream",
    }

    def end_headers(self):
        self.send_header("Cross-Origin-Opener-Policy", "same-origin")
        self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        self.send_header("Cross-Origin-Resource-Policy", "same-origin")
        self.send_header("X-Content-Type-Options", "nosniff")
        # A rebuilt site is seen at the next load.
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()

    def log_message(self, format, *args):
        if os.environ.get("PALVEX_SERVE_QUIET") is None:
            super().log_message(format, *args)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("folder", nargs="?", default="build-web/site")
    options = parser.parse_args()
    if not os.path.isfile(os.path.join(options.folder, "index.html")):
        sys.exit(f"serve: {options.folder} holds no site; build it with scripts/web-build")
    handler = functools.partial(IsolatedHandler, directory=options.folder)
    with http.server.ThreadingHTTPServer((options.bind, options.port), handler) as server:
        host, port = server.server_address[:2]
        print(f"Palvex in a browser: http://{host}:{port}/ (simulated Kit: "
              f"http://{host}:{port}/?sim); Ctrl+C stops", flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass


if __name__ == "__main__":
    main()
