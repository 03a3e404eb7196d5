"""A local SMTP server for Korvane's tests and demo, on aiosmtpd.

Recipients whose local part starts with "reject" are refused with 550; a message to one
starting with "stall" is stored but never answered, and one to "refuse" is refused after its
data with 554. Each accepted message
is stored as a JSON file (envelope and raw data) in --store, and printed with --print.
With --auth USER:PASSWORD the server requires that login (plain AUTH is allowed without TLS:
it only ever listens on loopback). With --xoauth2 FILE it takes XOAUTH2 alone, for the
mailbox --mailbox and the bearer tokens listed in FILE (one a line, as the token endpoint
issues them); with both, it takes either. --attempts FILE gets a line for every sign-in.
"""
import argparse
import asyncio
import base64
import email
import email.policy
import json
import logging
import os
import signal
import sys
import time
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword


def note_attempt(path):
    if path:
        with open(path, "a") as attempts:
            attempts.write("sign-in\n")


class Handler:
    def __init__(self, store, show, delay=0.0):
        self.store = store
        self.show = show
        self.delay = delay
        self.count = 0


    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        await asyncio.sleep(self.delay)
        session.host_name = hostname
        return responses

    async def handle_MAIL(self, server, session, envelope, address, mail_options):
        await asyncio.sleep(self.delay)
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        await asyncio.sleep(self.delay)
        if address.split("@")[0].lower().startswith("reject"):
            return "550 5.1.1 Mailbox unavailable"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        await asyncio.sleep(self.delay)
        locals_ = [address.split("@")[0].lower() for address in envelope.rcpt_tos]
        if any(name.startswith("refuse") for name in locals_):
            return "554 5.7.1 Message refused"
        self.count += 1
        if self.store:
            name = os.path.join(self.store, "%d-%06d.json" % (os.getpid(), self.count))
            with open(name + ".tmp", "w") as out:
                json.dump({"peer": list(session.peer),
                           "mail_from": envelope.mail_from,
                           "rcpt_tos": envelope.rcpt_tos,
                           "data": envelope.original_content.decode("latin-1")}, out)
            os.rename(name + ".tmp", name)
        if self.show:
            message = email.message_from_bytes(envelope.original_content, policy=email.policy.default)
            body = message.get_body(preferencelist=("plain",))
            attachments = [part.get_filename() for part in message.iter_attachments()]
            print("Mail sink: from %s to %s, subject %r, body %r%s" % (
                envelope.mail_from, ", ".join(envelope.rcpt_tos), str(message["subject"]),
                body.get_content().strip() if body else "",
                ", attachments %s" % attachments if attachments else ""), flush=True)
        if any(name.startswith("stall") for name in locals_):
            await asyncio.sleep(30)
        return "250 Message accepted for delivery"


class BearerHandler(Handler):
    def __init__(self, store, show, tokens, mailbox):
        super().__init__(store, show)
        self.tokens = tokens
        self.mailbox = mailbox
        self.attempts = None

    async def auth_XOAUTH2(self, server, args):
        if len(args) > 1:
            response = args[1]
        else:
            response = await server.challenge_auth("", encode_to_b64=False)
        note_attempt(self.attempts)
        try:
            fields = base64.b64decode(response).decode().split("\x01")
        except ValueError:
            fields = []
        with open(self.tokens) as listed:
            issued = set(line.strip() for line in listed)
        ok = ("user=" + self.mailbox) in fields and any(
            field.startswith("auth=Bearer ") and field[12:] in issued for field in fields)
        return AuthResult(success=ok, handled=False,
                          message=None if ok else "535 5.7.3 Authentication unsuccessful")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--store")
    parser.add_argument("--auth")
    parser.add_argument("--xoauth2")
    parser.add_argument("--mailbox")
    parser.add_argument("--attempts")
    parser.add_argument("--print", action="store_true")
    parser.add_argument("--delay", type=float, default=0, help="milliseconds before each reply")
    options = parser.parse_args()

    # AUTH without TLS is deliberate on loopback; keep the server quiet about it.
    warnings.simplefilter("ignore")
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    kwargs = {}
    if options.auth:
        user, password = options.auth.split(":", 1)

        def authenticator(server, session, envelope, mechanism, auth_data):
            note_attempt(options.attempts)
            ok = isinstance(auth_data, LoginPassword) and \
                auth_data.login.decode() == user and auth_data.password.decode() == password
            return AuthResult(success=ok, handled=False)

        kwargs = dict(authenticator=authenticator, auth_required=True, auth_require_tls=False)
    handler = Handler(options.store, options.print, options.delay / 1000.0)
    if options.xoauth2:
        open(options.xoauth2, "a").close()
        handler = BearerHandler(options.store, options.print, options.xoauth2, options.mailbox)
        handler.delay = options.delay / 1000.0
        handler.attempts = options.attempts
        kwargs.update(auth_required=True, auth_require_tls=False)
        if not options.auth:
            kwargs.update(auth_exclude_mechanism=["LOGIN", "PLAIN"])
    controller = Controller(handler, hostname="127.0.0.1", port=options.port, **kwargs)
    controller.start()
    if options.print:
        print("Mail sink listening on 127.0.0.1:%d" % options.port, flush=True)
    stop = []
    signal.signal(signal.SIGTERM, lambda *a: stop.append(1))
    signal.signal(signal.SIGINT, lambda *a: stop.append(1))
    while not stop:
        time.sleep(0.2)
    controller.stop()


if __name__ == "__main__":
    sys.exit(main())
