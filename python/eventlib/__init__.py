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
from typing import Callable, Iterator, List, NamedTuple, Optional, Sequence, Union

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
Data = Union[bytes, bytearray, memoryview, str]

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


def _data_bytes(data: Data) -> bytes:
    return data.encode() if isinstance(data, str) else bytes(data)


class Client:
    """A client of the service on this machine.

    ``name`` names the client in the service's logs and dumps. With
    ``on_event``, every item is passed to it on the library's thread (it may
    publish and subscribe, but not close the client); without it, items wait
    in a queue for iteration. The constructor waits up to
    ``connect_timeout`` seconds for the connection (``Error`` with code
    ``NOT_CONNECTED`` when it does not come); with 0 it returns at once and
    the library connects in the background, now and after every restart of
    the service, renewing what the client publishes and subscribes to.
    """

    def __init__(self, name: str, on_event: Optional[Callable[[Item], None]] = None, *,
                 connect_timeout: float = 10.0) -> None:
        self._native = _native.Client(name, on_event)
        with _open_lock:
            _open_clients.add(self)
        if connect_timeout > 0 and not self._native.wait_connected(connect_timeout):
            self.close()
            raise Error(codes["NOT_CONNECTED"], f"no connection to the service within {connect_timeout} s")

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Hands the service what is queued (at most 2 s) and stops; items
        not yet taken from the queue are dropped. Idempotent."""
        self._native.close()
        with _open_lock:
            _open_clients.discard(self)

    @property
    def closed(self) -> bool:
        return self._native.closed

    @property
    def connected(self) -> bool:
        """Whether the client is registered with the service now."""
        return self._native.connected

    @property
    def server_id(self) -> int:
        """This machine's server id (0 before the first connection)."""
        return self._native.server_id

    def wait_connected(self, timeout: Optional[float] = None) -> bool:
        """Waits until connected; False when ``timeout`` seconds passed first."""
        return self._native.wait_connected(-1.0 if timeout is None else timeout)

    def publish(self, category: str) -> None:
        """Announces that this client publishes ``category``."""
        self._native.publish(category)

    def retract(self, category: str) -> None:
        """Withdraws ``publish``."""
        self._native.retract(category)

    def subscribe(self, category: str, keys: Sequence[str] = (), server_id: int = THIS_SERVER) -> str:
        """Subscribes to events of ``category`` whose keys begin with the
        patterns ``keys`` ("*" matches any one key, and when last all the
        rest). Returns the subscription, which ``unsubscribe`` takes."""
        return self._native.subscribe(category, list(keys), server_id)

    def unsubscribe(self, subscription: str) -> None:
        self._native.unsubscribe(subscription)

    def publish_event(self, category: str, keys: Sequence[str] = (), data: Data = b"") -> None:
        """Numbers and queues one event; it leaves within 200 ms, at once
        with ``send()`` or ``flush()``. ``str`` data is sent as UTF-8.
        Raises ``Error`` (``NOT_CONNECTED``) while the service is away: no
        number is taken, so retrying leaves no gap."""
        self._native.deliver(category, list(keys), _data_bytes(data))

    def send(self) -> None:
        """Lets what is queued leave within 200 ms (at once past 64 KiB)."""
        self._native.execute()

    def flush(self, timeout: Optional[float] = 10.0) -> None:
        """Sends what is queued and waits until the service has handled all
        of it (waiting first for the connection). Raises ``TimeoutError``
        after ``timeout`` seconds, ``Error`` when the connection is lost."""
        self._native.flush(-1.0 if timeout is None else timeout)

    def report_connectivity(self, value: int) -> None:
        self._native.report_connectivity(value)

    def dump(self) -> None:
        """Writes the client's tables to its log and asks the service to dump."""
        self._native.dump()

    def next_event(self, timeout: Optional[float] = None) -> Optional[Item]:
        """The next item, waiting up to ``timeout`` seconds (None: for ever);
        None when none came or the client closed."""
        batch = self._native.next_batch(1, -1.0 if timeout is None else timeout)
        return batch[0] if batch else None

    def events(self, timeout: Optional[float] = None) -> Iterator[Item]:
        """Items as they come, until none comes for ``timeout`` seconds
        (None: until the client closes)."""
        wait = -1.0 if timeout is None else timeout
        next_batch = self._native.next_batch
        while True:
            batch = next_batch(1024, wait)
            if not batch:
                return
            yield from batch

    def __iter__(self) -> Iterator[Item]:
        return self.events()

    def __del__(self) -> None:
        native = getattr(self, "_native", None)
        if native is not None and not native.closed:
            try:
                native.close()
            except Exception:
                pass
