"""receiver.py PORT LOG: the report server's stand-in inside the emulated
machine. Listens on 127.0.0.1:PORT, appends every request line to LOG and
answers 200 with an empty body."""
import http.server
import sys

port, log = int(sys.argv[1]), sys.argv[2]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with open(log, "a") as f:
            f.write(self.requestline + "\n")
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", port), Handler)
print("listening on 127.0.0.1:%d" % port, flush=True)
server.serve_forever()
