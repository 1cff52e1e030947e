#!/usr/bin/python3
"""A local SMTP server for the tests: aiosmtpd on 127.0.0.1 and a free port.

Prints "PORT <n>" on stdout once it listens. Every accepted message is stored in the folder as
<n>.eml (the raw data, dots un-stuffed, line ends as received) and <n>.json (HELO argument and
envelope); the JSON file is renamed into place last, so a reader that sees it sees the whole
message. Ends on SIGTERM/SIGINT or when stdin closes (the test process went away).

--refuse rcpt   answers every RCPT TO with 554 (no message can be delivered)
--refuse data   accepts the envelope but answers the end of every message with 554
"""

import argparse
import asyncio
import json
import os
import signal
import sys

from aiosmtpd.smtp import SMTP


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
        }
        with open(base + ".json.tmp", "w", encoding="utf-8") as f:
            json.dump(meta, f)
        os.rename(base + ".json.tmp", base + ".json")
        return "250 OK stored as %06d" % self.count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--refuse", choices=["none", "rcpt", "data"], default="none")
    args = parser.parse_args()
    os.makedirs(args.dir, exist_ok=True)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Sink(args.dir, args.refuse)
    # A fixed host name: the default would do a DNS lookup of this machine's name.
    server = loop.run_until_complete(
        loop.create_server(
            lambda: SMTP(handler, hostname="sink.localhost", ident="Trellion test sink"),
            host="127.0.0.1",
            port=0,
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
