#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that makes loopback look like a player's link to a distant server.

  link_relay.py --port P --target T --rtt-ms R --mbit B

Every connection to 127.0.0.1:P is forwarded to 127.0.0.1:T. A new connection's bytes wait one
round trip before they enter the link (the handshake a real connection costs); every chunk then
reaches the other side half a round trip after it has been serialised, so a request and its reply on
a kept connection cost one round trip. Each direction is one first-in first-out serialiser of B
Mbit/s shared by all connections, as one access link is. With --port 0 the port chosen is printed.

The relay ends on SIGTERM or SIGINT, or by itself once the process that started it has gone.
Memory stays bounded: a connection reads no more while BACKLOG bytes of it wait for delivery, and no
chunk enters a link whose queue already holds QUEUE_SECONDS of serialisation. TCP's slow start and
losses are not modelled: the link is a clean pipe.
"""
import argparse
import asyncio
import os
import signal
import sys

CHUNK = 64 << 10
BACKLOG = 4 << 20  # per connection and direction: well above what one 150 ms, 100 Mbit/s link holds
QUEUE_SECONDS = 0.05  # the access link's buffer; more would only add queueing delay


class Link:
    """One direction of the access link: when each chunk finishes crossing it."""

    def __init__(self, loop, bytes_per_second, one_way):
        self.loop = loop
        self.bytes_per_second = bytes_per_second
        self.one_way = one_way
        self.busy_until = 0.0  # when the serialiser has sent everything queued so far

    async def admit(self, size):
        """Queues `size` bytes once the queue has room; returns when they reach the other side."""
        while True:
            wait = self.busy_until - self.loop.time() - QUEUE_SECONDS
            if wait <= 0:
                break
            await asyncio.sleep(wait)  # another connection may take the room first: look again
        start = max(self.busy_until, self.loop.time())
        self.busy_until = start + size / self.bytes_per_second
        return self.busy_until + self.one_way


class Direction:
    """Carries one side's bytes to the other across a Link, in order, after their delay."""

    def __init__(self, link, reader, writer, handshake_done, hang_up):
        self.link = link
        self.reader = reader
        self.writer = writer
        self.handshake_done = handshake_done
        self.hang_up = hang_up  # ends the whole connection when one side has gone
        self.queue = asyncio.Queue()
        self.waiting = 0  # bytes read but not yet written on
        self.room = asyncio.Event()
        self.room.set()

    async def pump(self):
        """Reads chunks and hands them, stamped with their arrival time, to deliver()."""
        try:
            while True:
                await self.room.wait()
                data = await self.reader.read(CHUNK)
                if not data:
                    break
                # Held out of the link, not queued in it: other connections' chunks pass meanwhile.
                hold = self.handshake_done - self.link.loop.time()
                if hold > 0:
                    await asyncio.sleep(hold)
                arrival = await self.link.admit(len(data))
                self.waiting += len(data)
                if self.waiting >= BACKLOG:
                    self.room.clear()
                self.queue.put_nowait((arrival, data))
        except (ConnectionError, OSError):
            pass
        finally:
            self.queue.put_nowait((None, b""))  # the end: passed on once all before it has gone

    async def deliver(self):
        loop = asyncio.get_running_loop()
        try:
            while True:
                arrival, data = await self.queue.get()
                if arrival is None:
                    if self.writer.can_write_eof():
                        self.writer.write_eof()
                    return
                delay = arrival - loop.time()
                if delay > 0:
                    await asyncio.sleep(delay)
                self.writer.write(data)
                await self.writer.drain()
                self.waiting -= len(data)
                if self.waiting < BACKLOG:
                    self.room.set()
        except (ConnectionError, OSError):
            self.hang_up()


class Relay:
    def __init__(self, target, round_trip, bytes_per_second):
        loop = asyncio.get_running_loop()
        self.target = target
        self.round_trip = round_trip
        self.up = Link(loop, bytes_per_second, round_trip / 2)
        self.down = Link(loop, bytes_per_second, round_trip / 2)
        self.connections = set()

    async def serve(self, client_reader, client_writer):
        task = asyncio.current_task()
        self.connections.add(task)
        handshake_done = asyncio.get_running_loop().time() + self.round_trip
        server_writer = None
        try:
            server_reader, server_writer = await asyncio.open_connection(
                "127.0.0.1", self.target, limit=CHUNK)
            writers = (client_writer, server_writer)
            for writer in writers:
                writer.transport.set_write_buffer_limits(high=CHUNK * 4)

            def hang_up():
                for writer in writers:
                    writer.transport.abort()
                for direction in directions:
                    direction.room.set()  # a pump waiting for room now reads the end

            directions = (
                Direction(self.up, client_reader, server_writer, handshake_done, hang_up),
                Direction(self.down, server_reader, client_writer, handshake_done, hang_up))
            await asyncio.gather(*(d.pump() for d in directions),
                                 *(d.deliver() for d in directions))
        except (ConnectionError, OSError):
            pass
        finally:
            for writer in (client_writer, server_writer):
                if writer is not None:
                    writer.close()
            self.connections.discard(task)


async def main(options):
    relay = Relay(options.target, options.rtt_ms / 1000, options.mbit * 1e6 / 8)
    server = await asyncio.start_server(relay.serve, "127.0.0.1", options.port, limit=CHUNK)
    if options.port == 0:
        print(server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    parent = os.getppid()
    while not stop.is_set() and os.getppid() == parent:  # a benchmark killed hard leaves no relay
        try:
            await asyncio.wait_for(stop.wait(), timeout=1)
        except asyncio.TimeoutError:
            pass
    server.close()
    for task in list(relay.connections):
        task.cancel()
    await asyncio.gather(*relay.connections, return_exceptions=True)
    await server.wait_closed()


def parse():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="port to listen on; 0: any, printed")
    parser.add_argument("--target", type=int, required=True, help="port on 127.0.0.1 to forward to")
    parser.add_argument("--rtt-ms", type=float, required=True, help="round-trip time")
    parser.add_argument("--mbit", type=float, required=True, help="bandwidth of each direction")
    options = parser.parse_args()
    if options.rtt_ms < 0 or options.mbit <= 0:
        parser.error("--rtt-ms must be at least 0 and --mbit above 0")
    return options


if __name__ == "__main__":
    asyncio.run(main(parse()))
    sys.exit(0)
