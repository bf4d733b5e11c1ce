#!/usr/bin/python3
"""An SMTP server for the pager tests, on 127.0.0.1 (aiosmtpd).

Prints "listening PORT" once it accepts connections. Every accepted message
is appended to the record file as one JSON line (mail_from, rcpt_tos, data).
Recipients given with --reject are refused with "550 5.1.1 <ADDRESS>:
Recipient address rejected". With --cert and --key it offers STARTTLS and
requires it before mail is accepted.
"""
import argparse
import asyncio
import json
import logging
import ssl

from aiosmtpd.smtp import SMTP

parser = argparse.ArgumentParser()
parser.add_argument("--record", required=True)
parser.add_argument("--reject", action="append", default=[])
parser.add_argument("--cert")
parser.add_argument("--key")
args = parser.parse_args()
# Refused TLS handshakes are part of the tests, not news.
logging.getLogger("mail.log").setLevel(logging.CRITICAL)


class Handler:
    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in args.reject:
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        with open(args.record, "a", encoding="utf-8") as record:
            record.write(json.dumps({"mail_from": envelope.mail_from,
                                     "rcpt_tos": envelope.rcpt_tos,
                                     "data": envelope.content.decode("utf-8", "replace")}) + "\n")
        return "250 Message accepted for delivery"


async def main():
    context = None
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(Handler(), hostname="pager-test", tls_context=context,
                     require_starttls=context is not None, decode_data=False),
        "127.0.0.1", 0)
    print("listening", server.sockets[0].getsockname()[1], flush=True)
    await server.serve_forever()


try:
    asyncio.run(main())
except KeyboardInterrupt:
    pass
