#!/usr/bin/python3
"""A stand-in agent connection for checking the harness itself.

  wsclient.py URL CAFILE DURATION [MESSAGE...]

Connects with subprotocol korvane-agent, sends each MESSAGE as a text frame,
then prints one JSON line per event until the connection closes or DURATION
seconds pass: {"connected": subprotocol, "extensions": [...]},
{"recv": text}, {"closed": code, "reason": text}, {"error": text}.
"""

import asyncio
import json
import ssl
import sys

import websockets


def out(obj):
    print(json.dumps(obj), flush=True)


async def main(url, cafile, duration, messages):
    ctx = ssl.create_default_context(cafile=cafile)
    try:
        ws = await websockets.connect(url, ssl=ctx, subprotocols=["korvane-agent"],
                                      ping_interval=None)
    except Exception as exc:
        out({"error": "%s: %s" % (type(exc).__name__, exc)})
        return
    out({"connected": ws.subprotocol, "extensions": [e.name for e in ws.extensions]})
    for m in messages:
        await ws.send(m)
    try:
        while True:
            text = await asyncio.wait_for(ws.recv(), duration)
            out({"recv": text})
    except asyncio.TimeoutError:
        await ws.close(1000)
        out({"closed": ws.close_code, "reason": ws.close_reason, "by": "client"})
    except websockets.ConnectionClosed:
        out({"closed": ws.close_code, "reason": ws.close_reason, "by": "server"})


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4:]))
