"""Python client of the eventd publish/subscribe service.

    import eventlib

    with eventlib.Client("my-tool") as client:
        client.subscribe("orders", keys=["eu", "*"])
        client.flush()                      # the service has the subscription
        client.publish_event("orders", ["eu", "paris"], b"order 17")
        client.flush()
        for item in client.events(timeout=1.0):
            print(item)

Events arrive as ``Event``; the service's own news as ``MissedEvent`` (events
were lost before the next one), ``ConnectionChange`` and ``PublishNotice``.
They come either through iteration (``for item in client``,
``client.events(timeout)``, ``client.next_event(timeout)``) or, when the
client is made with ``on_event``, as calls of that function on the library's
own thread. Failures raise ``eventlib.Error`` with the library's result code.
"""

from __future__ import annotations

import atexit
import threading
import weakref
from typing import Callable, Iterator, List, NamedTuple, Optional, Union

from . import _native

__all__ = [
    "Client", "Error", "Event", "MissedEvent", "ConnectionChange", "PublishNotice", "THIS_SERVER", "codes",
]

#: ``server_id`` of ``subscribe`` for this machine's own server.
THIS_SERVER: int = _native.THIS_SERVER

#: The library's result codes by name (``codes["NOT_CONNECTED"]``).
codes = dict(_native.CODES)


class Error(Exception):
    """A call the library refused; ``code`` is its 32-bit result code
    (negative), ``name`` its name such as ``"NOT_CONNECTED"``."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(f"eventlib error 0x{code & 0xFFFFFFFF:08X}: {message}")
        self.code = code
        self.name = next((name for name, value in codes.items() if value == code), None)


class Event(NamedTuple):
    """An event of a subscribed category."""
    category: str
    keys: List[str]
    data: bytes
    seq_no: int
    server_id: int


class MissedEvent(NamedTuple):
    """Events of ``category`` were lost before the one numbered ``seq_no``."""
    category: str
    seq_no: int
    server_id: int


class ConnectionChange(NamedTuple):
    """This client's connection to the service came or went (``own``), or,
    in a federation, another server was heard again or lost."""
    connected: bool
    server_id: int
    own: bool


class PublishNotice(NamedTuple):
    """A server started (``published``) or stopped publishing ``category``."""
    category: str
    server_id: int
    published: bool


Item = Union[Event, MissedEvent, ConnectionChange, PublishNotice]

_native.set_types(Error, Event, MissedEvent, ConnectionChange, PublishNotice)

# Clients still open when the interpreter exits are closed while it still
# runs, so that the library's threads never call into a finalizing one.
_open_clients: "weakref.WeakSet[Client]" = weakref.WeakSet()
_open_lock = threading.Lock()


@atexit.register
def _close_all() -> None:
    with _open_lock:
        clients = list(_open_clients)
    for client in clients:
        try:
            client.close()
        except Error:
            pass


class Client(_native.Client):
    """A client of the service on this machine.

    ``name`` names the client in the service's logs and dumps. With
    ``on_event``, every item is passed to it on the library's thread (it may
    publish and subscribe, but not close the client); without it, items wait
    in a queue for iteration. The constructor waits up to
    ``connect_timeout`` seconds for the connection (``Error`` with code
    ``NOT_CONNECTED`` when it does not come); with 0 it returns at once and
    the library connects in the background, now and after every restart of
    the service, renewing what the client publishes and subscribes to.

    Methods from the native half: ``publish``, ``retract``, ``subscribe``,
    ``unsubscribe``, ``publish_event``, ``send``, ``flush``,
    ``wait_connected``, ``report_connectivity``, ``dump`` and the properties
    ``connected``, ``server_id``, ``closed`` (see their docstrings).
    """

    def __init__(self, name: str, on_event: Optional[Callable[[Item], None]] = None, *,
                 connect_timeout: float = 10.0) -> None:
        super().__init__(name, on_event)
        with _open_lock:
            _open_clients.add(self)
        if connect_timeout > 0 and not self.wait_connected(connect_timeout):
            self.close()
            raise Error(codes["NOT_CONNECTED"], f"no connection to the service within {connect_timeout} s")

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Hands the service what is queued (at most 2 s) and stops; items
        not yet taken from the queue are dropped. Idempotent; from
        ``on_event``, ``Error`` ``IN_HANDLER``."""
        self._close()
        with _open_lock:
            _open_clients.discard(self)

    def next_event(self, timeout: Optional[float] = None) -> Optional[Item]:
        """The next item, waiting up to ``timeout`` seconds (None: for ever);
        None when none came or the client closed."""
        batch = self._next_batch(1, timeout)
        return batch[0] if batch else None

    def events(self, timeout: Optional[float] = None) -> Iterator[Item]:
        """Items as they come, until none comes for ``timeout`` seconds
        (None: until the client closes)."""
        next_batch = self._next_batch
        while True:
            batch = next_batch(1024, timeout)
            if not batch:
                return
            yield from batch

    def __iter__(self) -> Iterator[Item]:
        return self.events()
