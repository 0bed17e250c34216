#!/usr/bin/env python3
"""A player's line on loopback, for bench/line_bench.sh: relays every
connection made to 127.0.0.1:<listen> to 127.0.0.1:<upstream>, with distance.

  line_relay.py <listen port> <upstream port> <round trip ms> [options]
    --down-rate B   the server-to-client bytes of all connections share one
                    line of B bytes a second (default: no cap)
    --stats FILE    written when the relay stops: connections, the most open
                    at once, bytes down, bytes up
    --lifetime S    stops by itself after S seconds (default 3600)

Each chunk read from either side is delivered half a round trip after it was
read (after it left the capped line, downstream), in order; a connection's
first bytes each way go no earlier than one round trip after the connection
was accepted: the handshake a real connect would have waited for. Prints
"ready" once it listens; stops on SIGTERM or SIGINT.
"""
import argparse
import asyncio
import signal

CHUNK = 65536
QUEUED_CHUNKS = 256  # per direction: 16 MiB on the wire before the reader waits
BURST_SECONDS = 0.05  # a capped line may catch up on this much lateness of ours


class Line:
    """The capped downlink, shared by every connection."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    def sent_at(self, size, now):
        """When the last of size bytes read at now has left the sender."""
        if not self.rate:
            return now
        self.free_at = max(self.free_at, now - BURST_SECONDS) + size / self.rate
        return max(self.free_at, now)


class Stats:
    def __init__(self):
        self.connections = 0
        self.open = 0
        self.most_open = 0
        self.down = 0
        self.up = 0


async def carry(reader, writer, half, earliest, line, count):
    """Carries one direction: reads, holds each chunk half a round trip, writes."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(QUEUED_CHUNKS)

    async def deliver():
        while True:
            at, data = await queue.get()
            if data is None:
                break
            wait = at - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()

    delivery = asyncio.ensure_future(deliver())
    last = 0.0
    try:
        while True:
            data = await reader.read(CHUNK)
            now = loop.time()
            if not data:
                break
            count(len(data))
            left = line.sent_at(len(data), now) if line else now
            last = max(last, max(left, earliest) + half)
            await queue.put((last, data))
            if left > now:  # the line is busy until then: read no further ahead
                await asyncio.sleep(left - now)
        await queue.put((last, None))
        await delivery
    finally:
        delivery.cancel()


async def relay(client_reader, client_writer, upstream, half, line, stats):
    loop = asyncio.get_running_loop()
    earliest = loop.time() + 2 * half
    stats.connections += 1
    stats.open += 1
    stats.most_open = max(stats.most_open, stats.open)
    server_writer = None
    ways = []
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", upstream)

        def count_up(n):
            stats.up += n

        def count_down(n):
            stats.down += n

        ways = [
            asyncio.ensure_future(
                carry(client_reader, server_writer, half, earliest, None, count_up)),
            asyncio.ensure_future(
                carry(server_reader, client_writer, half, earliest, line, count_down))]
        await asyncio.gather(*ways)
    except (ConnectionError, OSError):
        pass
    finally:
        for way in ways:
            way.cancel()
        stats.open -= 1
        for writer in (client_writer, server_writer):
            if writer:
                writer.close()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("listen", type=int)
    parser.add_argument("upstream", type=int)
    parser.add_argument("round_trip_ms", type=float)
    parser.add_argument("--down-rate", type=float, default=0)
    parser.add_argument("--stats")
    parser.add_argument("--lifetime", type=float, default=3600)
    args = parser.parse_args()

    half = args.round_trip_ms / 2000.0
    line = Line(args.down_rate)
    stats = Stats()
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    loop.call_later(args.lifetime, stop.set)

    server = await asyncio.start_server(
        lambda r, w: relay(r, w, args.upstream, half, line, stats),
        "127.0.0.1", args.listen, backlog=128)
    print("ready", flush=True)
    await stop.wait()
    server.close()
    if args.stats:
        with open(args.stats, "w") as f:
            f.write("%d %d %d %d\n" % (stats.connections, stats.most_open, stats.down, stats.up))


if __name__ == "__main__":
    asyncio.run(main())
