"""A local OAuth 2.0 token endpoint for Korvane's tests, over HTTPS with the test CA's
certificate: POST /token with the client-credentials or refresh-token grant. The right
client id and secret get a new random access token, appended to --tokens (where the SMTP
server reads the tokens it accepts); anything else gets invalid_client, as Entra ID answers.
Requests are counted in --tokens + ".requests".
"""
import argparse
import json
import secrets
import ssl
import sys
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--client", required=True, help="ID:SECRET")
    parser.add_argument("--tokens", required=True)
    options = parser.parse_args()
    client_id, client_secret = options.client.split(":", 1)

    class Handler(BaseHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def answer(self, status, body):
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_POST(self):
            length = min(int(self.headers.get("Content-Length", "0")), 65536)
            form = urllib.parse.parse_qs(self.rfile.read(length).decode())
            with open(options.tokens + ".requests", "a") as out:
                out.write(form.get("grant_type", [""])[0] + "\n")
            if form.get("client_id") != [client_id] or form.get("client_secret") != [client_secret]:
                self.answer(401, {"error": "invalid_client",
                                  "error_description": "AADSTS7000215: Invalid client secret provided."})
                return
            token = secrets.token_urlsafe(24)
            with open(options.tokens, "a") as out:
                out.write(token + "\n")
            self.answer(200, {"access_token": token, "token_type": "Bearer", "expires_in": 3599})

    server = ThreadingHTTPServer(("127.0.0.1", options.port), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    sys.exit(main())
