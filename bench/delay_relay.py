#!/usr/bin/env python3
"""A TCP relay that holds every chunk for a fixed time in each direction.

    delay_relay.py TARGET_PORT DELAY_MS PORT_FILE

Listens on a free port of 127.0.0.1 (written to PORT_FILE once it listens)
and passes each connection on to 127.0.0.1:TARGET_PORT. Bytes leave the
relay DELAY_MS after they arrived, in order, so a round trip through it
takes 2 * DELAY_MS longer while the throughput stays what the link gives:
a long, fat link for benchmarks on one machine, where the kernel's own
delay queue is not available.
"""
import asyncio
import os
import sys
import time

CHUNK = 256 * 1024
# Chunks in flight per direction: enough for the bandwidth-delay product of
# a fast link, bounded so a slow reader pushes back on the writer.
QUEUED = 64


async def pump(reader, writer, delay):
    queue = asyncio.Queue(QUEUED)

    async def receive():
        try:
            while True:
                data = await reader.read(CHUNK)
                await queue.put((time.monotonic() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            await queue.put((time.monotonic(), b""))

    async def send():
        try:
            while True:
                due, data = await queue.get()
                wait = due - time.monotonic()
                if wait > 0:
                    await asyncio.sleep(wait)
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
        except (ConnectionError, OSError):
            pass

    await asyncio.gather(receive(), send())


async def main():
    target_port, delay, port_file = int(sys.argv[1]), int(sys.argv[2]) / 1000.0, sys.argv[3]

    async def handle(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay),
                             pump(server_reader, client_writer, delay))
        for w in (client_writer, server_writer):
            w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=256)
    with open(port_file + ".tmp", "w") as f:
        f.write("%d\n" % server.sockets[0].getsockname()[1])
    os.replace(port_file + ".tmp", port_file)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.stderr.write(__doc__)
        sys.exit(2)
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
