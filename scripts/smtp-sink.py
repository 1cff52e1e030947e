#!/usr/bin/python3
"""A local SMTP server for the tests: aiosmtpd on 127.0.0.1 and a free port.

Prints "PORT <n>" on stdout once it listens. Every accepted message is stored in the folder as
<n>.eml (the raw data, dots un-stuffed, line ends as received) and <n>.json (HELO argument and
envelope); the JSON file is renamed into place last, so a reader that sees it sees the whole
message. Each connection, when it ends, adds a line to sessions.log: the commands in the order
received, each marked "+tls" when it came encrypted. Ends on SIGTERM/SIGINT or when stdin
closes (the test process went away).

--refuse rcpt   answers every RCPT TO with 554 (no message can be delivered)
--refuse data   accepts the envelope but answers the end of every message with 554
--pki DIR       a test CA (ca.pem) and server certificates, made with openssl if DIR is missing
--tls starttls  offers STARTTLS (not required: the log shows what a client sends before it)
--tls implicit  TLS from the first byte
--cert NAME     good (CA-signed for localhost and 127.0.0.1), wronghost (CA-signed for
                other.test) or untrusted (self-signed for localhost)
--login U:P     offers AUTH and accepts only this user and password (UTF-8)
--mechanisms M  the AUTH mechanisms offered, e.g. "LOGIN" (default: PLAIN and LOGIN)
"""

import argparse
import asyncio
import functools
import json
import os
import signal
import ssl
import subprocess
import sys
import tempfile
from email import policy
from email.parser import BytesParser

from aiosmtpd.smtp import SMTP, AuthResult


def make_pki(folder):
    if os.path.exists(os.path.join(folder, "ca.pem")):
        return
    work = tempfile.mkdtemp(prefix=".pki-", dir=os.path.dirname(folder) or ".")

    def run(*args):
        subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)

    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    run("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "30",
        "-subj", "/CN=Trellion Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, san in (("good", "DNS:localhost,IP:127.0.0.1"), ("wronghost", "DNS:other.test")):
        with open(os.path.join(work, name + ".ext"), "w") as f:
            f.write("subjectAltName=%s\n" % san)
        run("req", *key, "-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        run("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "30", "-out", name + ".pem", "-extfile", name + ".ext")
    run("req", "-x509", *key, "-keyout", "untrusted.key", "-out", "untrusted.pem", "-days", "30",
        "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1")
    try:
        os.rename(work, folder)
    except OSError:
        pass  # another sink made it first


def parse(data):
    """The message as a standard mail library reads it: decoded headers, the date, the body."""
    try:
        message = BytesParser(policy=policy.default).parsebytes(data)
        date = message["date"]
        return {
            "subject": str(message["subject"]),
            "from": str(message["from"]),
            "message_id": str(message["message-id"]),
            "date": date.datetime.isoformat() if date is not None and date.datetime else "",
            "defects": len(message.defects) + sum(len(message[h].defects) for h in message.keys()),
            "body": message.get_content(),
        }
    except Exception as error:  # a message the library cannot read: the test shows why
        return {"error": repr(error)}


class Sink:
    def __init__(self, folder, refuse):
        self.folder = folder
        self.refuse = refuse
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse == "rcpt":
            return "554 5.7.1 Recipient refused by the test sink"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.refuse == "data":
            return "554 5.7.1 Message refused by the test sink"
        self.count += 1
        base = os.path.join(self.folder, "%06d" % self.count)
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content or b"")
        meta = {
            "helo": session.host_name or "",
            "mail_from": envelope.mail_from or "",
            "rcpt_tos": list(envelope.rcpt_tos),
            "parsed": parse(envelope.original_content or b""),
        }
        with open(base + ".json.tmp", "w", encoding="utf-8") as f:
            json.dump(meta, f)
        os.rename(base + ".json.tmp", base + ".json")
        return "250 OK stored as %06d" % self.count


class Recorder(SMTP):
    """Logs every command with whether it arrived encrypted."""

    folder = None

    def connection_made(self, transport):
        if not hasattr(self, "events"):
            self.events = []
        super().connection_made(transport)

    def connection_lost(self, exc):
        if not getattr(self, "logged", False):
            self.logged = True
            with open(os.path.join(self.folder, "sessions.log"), "a") as f:
                f.write(" ".join(self.events) + "\n")
        super().connection_lost(exc)


def recorded(name):
    original = getattr(SMTP, "smtp_" + name)

    @functools.wraps(original)
    async def method(self, arg):
        tls = self.transport is not None and self.transport.get_extra_info("ssl_object")
        self.events.append(name + ("+tls" if tls else ""))
        return await original(self, arg)

    return method


for command in ("HELO", "EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA", "RSET", "QUIT"):
    setattr(Recorder, "smtp_" + command, recorded(command))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--refuse", choices=["none", "rcpt", "data"], default="none")
    parser.add_argument("--pki")
    parser.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    parser.add_argument("--cert", choices=["good", "wronghost", "untrusted"], default="good")
    parser.add_argument("--login")
    parser.add_argument("--mechanisms")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)
    Recorder.folder = args.dir

    context = None
    if args.tls != "none":
        make_pki(args.pki)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(os.path.join(args.pki, args.cert + ".pem"),
                                os.path.join(args.pki, args.cert + ".key"))

    # Without a login, no AUTH mechanism is offered.
    options = {"auth_exclude_mechanism": ["PLAIN", "LOGIN"]}
    if args.login:
        user, password = args.login.encode().split(b":", 1)

        def authenticator(server, session, envelope, mechanism, data):
            ok = data.login == user and data.password == password
            return AuthResult(success=ok, handled=False)

        options["authenticator"] = authenticator
        # Also over plain text: the session log, not the server, shows a careless client.
        options["auth_require_tls"] = False
        offered = (args.mechanisms or "PLAIN LOGIN").split()
        options["auth_exclude_mechanism"] = [m for m in ("PLAIN", "LOGIN") if m not in offered]

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Sink(args.dir, args.refuse)
    # A fixed host name: the default would do a DNS lookup of this machine's name.
    server = loop.run_until_complete(
        loop.create_server(
            lambda: Recorder(handler, hostname="sink.localhost", ident="Trellion test sink",
                             tls_context=context if args.tls == "starttls" else None, **options),
            host="127.0.0.1",
            port=0,
            ssl=context if args.tls == "implicit" else None,
        )
    )
    port = server.sockets[0].getsockname()[1]

    def stop(*_):
        loop.stop()

    loop.add_signal_handler(signal.SIGTERM, stop)
    loop.add_signal_handler(signal.SIGINT, stop)

    def on_stdin():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.stop()

    loop.add_reader(sys.stdin.fileno(), on_stdin)

    print("PORT %d" % port, flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    main()
