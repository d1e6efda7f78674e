"""A WSGI or ASGI app served on 127.0.0.1 for the length of a block, on real servers."""

from __future__ import annotations

import contextlib
import socket
import threading
import wsgiref.simple_server
from collections.abc import Iterator
from socketserver import ThreadingMixIn


class Server(ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True


class Quiet(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, format: str, *args: object) -> None:
        pass


@contextlib.contextmanager
def serving(app, *, asgi: bool = False) -> Iterator[str]:
    """Yields the base URL of ``app`` served by wsgiref, or by uvicorn when ``asgi``."""
    if not asgi:
        server = wsgiref.simple_server.make_server("127.0.0.1", 0, app, Server, Quiet)
        threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True).start()
        try:
            yield f"http://127.0.0.1:{server.server_address[1]}"
        finally:
            server.shutdown()
            server.server_close()
        return
    import uvicorn
    listening = socket.socket()
    listening.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, lifespan="off", log_level="error"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listening]})
    thread.start()
    while not server.started and thread.is_alive():
        thread.join(0.01)
    try:
        yield f"http://127.0.0.1:{listening.getsockname()[1]}"
    finally:
        server.should_exit = True
        thread.join()
