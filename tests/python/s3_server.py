"""A local S3-compatible server on 127.0.0.1 that counts the requests it
serves, for the fsspec tests and the fsspec benchmark. Nothing else on the
network is contacted: the credentials are fake and the endpoint is loopback."""

import contextlib
import threading

from moto.moto_server.threaded_moto_server import MotoRequestHandler
from moto.moto_server.werkzeug_app import DomainDispatcherApplication, create_backend_app
from werkzeug.serving import make_server

# Set while a server runs, so the S3 client finds credentials and a region
# without looking anywhere else (the instance metadata address included).
ENVIRONMENT = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing", "AWS_SESSION_TOKEN": "testing",
               "AWS_DEFAULT_REGION": "us-east-1", "AWS_EC2_METADATA_DISABLED": "true"}
# Variables that would point the client somewhere else.
CLEARED = ("AWS_PROFILE", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE", "AWS_ENDPOINT_URL", "HTTP_PROXY",
           "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy")
PIECE = 256 * 1024  # bytes of response body written at a time


class Counting:
    """WSGI middleware recording (method, path) of every request, and the
    bytes of response body the server wrote to its clients' sockets."""

    def __init__(self, app):
        self.app = app
        self.lock = threading.Lock()
        self.idle = threading.Condition(self.lock)  # notified as each response ends
        self.requests = []  # guarded by lock
        self.sent = 0  # guarded by lock
        self.active = 0  # responses being written; guarded by lock

    def __call__(self, environ, start_response):
        with self.lock:
            self.requests.append((environ["REQUEST_METHOD"], environ.get("PATH_INFO", "")))
            self.active += 1
        body = None
        try:
            body = self.app(environ, start_response)
            for chunk in body:
                # In pieces, each counted once written: a client that hangs up
                # early (s3fs does, to switch to ranged reads) is not charged
                # for the rest of a body the server holds whole.
                for start in range(0, len(chunk), PIECE):
                    piece = chunk[start:start + PIECE]
                    yield piece
                    with self.lock:
                        self.sent += len(piece)
        finally:
            if hasattr(body, "close"):
                body.close()
            with self.lock:
                self.active -= 1
                self.idle.notify_all()

    def settled(self, timeout=10.0):
        """(requests, bytes sent) once no response is being written, so a
        client's last read is counted in full."""
        with self.lock:
            self.idle.wait_for(lambda: not self.active, timeout)
            return len(self.requests), self.sent

    def count(self, path=None):
        """Requests so far, or those for one path ("/bucket/key")."""
        with self.lock:
            return sum(1 for _, p in self.requests if path is None or p == path)


@contextlib.contextmanager
def serve(environ):
    """Yields (endpoint URL, Counting) of a server on a free loopback port;
    `environ` (os.environ or a monkeypatched view of it) gets the fake
    credentials for as long as the server runs."""
    saved = {name: environ.get(name) for name in (*ENVIRONMENT, *CLEARED)}
    for name in CLEARED:
        environ.pop(name, None)
    environ.update(ENVIRONMENT)
    counting = Counting(DomainDispatcherApplication(create_backend_app))
    server = make_server("127.0.0.1", 0, counting, threaded=True, request_handler=MotoRequestHandler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}", counting
    finally:
        server.shutdown()
        thread.join()
        server.server_close()
        for name in saved:
            environ.pop(name, None)
        environ.update({name: value for name, value in saved.items() if value is not None})


def s3_options(endpoint):
    """s3fs's options for the local server."""
    return {"client_kwargs": {"endpoint_url": endpoint}}
