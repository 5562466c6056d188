#!/usr/bin/python3
# A local model server for the desktop session test: on 127.0.0.1:11434, where the application
# looks for one, it lists one model and answers every question with the same sentence. Prints
# "listening" once it listens.
import json
from http.server import BaseHTTPRequestHandler, HTTPServer


class Model(BaseHTTPRequestHandler):
    def answer(self, document):
        body = json.dumps(document).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        if self.path == "/api/tags":
            self.answer({"models": [{"name": "tiny"}]})
        else:
            self.send_error(404)

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if self.path == "/api/chat":
            said = "Nothing listens there yet. Start the database first."
            self.answer({"message": {"role": "assistant", "content": said}, "done": True})
        else:
            self.send_error(404)


server = HTTPServer(("127.0.0.1", 11434), Model)
print("listening", flush=True)
server.serve_forever()
