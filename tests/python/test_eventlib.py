"""The Python package against a real eventd, with C++ and Python hosts in
processes of their own."""

import os
import signal
import threading
import time

import pytest

import eventlib
from conftest import wait_until


def read(path):
    with open(path) as f:
        return f.read()


def data_events(items):
    return [item for item in items if isinstance(item, eventlib.Event)]


def test_python_and_cpp_hosts_exchange_events_both_ways(service):
    # C++ subscriber, Python publisher: the helper checks order per publisher.
    sub, sub_out = service.spawn("sub", "py-to-cpp", 1, 60000, name="cpp-sub")
    assert wait_until(lambda: "ready" in read(sub_out), 30)
    with eventlib.Client("py-pub") as client:
        client.publish("py-to-cpp")
        for i in range(2000):
            client.publish_event("py-to-cpp", [], f"py:{i}:")
        client.publish_event("py-to-cpp", [], "end")
        client.flush()
    assert sub.wait(60) == 0
    assert "received 2000 missed 0 disorder 0 unreported 0" in read(sub_out)

    # C++ publisher, Python subscriber.
    with eventlib.Client("py-sub") as client:
        client.subscribe("cpp-to-py")
        client.flush()
        pub, pub_out = service.spawn("pub", "cpp-to-py", "cpp", 2000, 0, 100, "end", name="cpp-pub")
        received = []
        for item in client.events(timeout=30):
            assert not isinstance(item, eventlib.MissedEvent), item
            if isinstance(item, eventlib.Event):
                if item.data == b"end":
                    break
                received.append(item)
        assert pub.wait(60) == 0, read(pub_out)
    assert [int(e.data.split(b":")[1]) for e in received] == list(range(2000))
    assert all(len(e.data) == 100 and e.category == "cpp-to-py" for e in received)
    seq = [e.seq_no for e in received]
    assert seq == sorted(seq) and len(set(seq)) == len(seq)


def test_key_patterns_texts_and_errors(service):
    with eventlib.Client("py-keys") as client:
        client.subscribe("keyed", keys=["eu", "*"])
        exact = client.subscribe("keyed", keys=["us", "ny"])
        client.flush()
        sent = [["eu", "paris"], ["eu", "rome", "old"], ["us", "ny"], ["us", "la"], ["asia"], ["eu"], []]
        for keys in sent:
            client.publish_event("keyed", keys, "x,y;\\ é")
        client.flush()
        got = [item for item in client.events(timeout=1.0) if isinstance(item, eventlib.Event)]
        # A last "*" matches all the rest, none included.
        assert [e.keys for e in got] == [["eu", "paris"], ["eu", "rome", "old"], ["us", "ny"], ["eu"]]
        assert all(e.data == "x,y;\\ é".encode() for e in got)

        client.unsubscribe(exact)
        client.flush()
        client.publish_event("keyed", ["us", "ny"], b"after")
        client.publish_event("keyed", ["eu", "x"], bytearray(b"after"))
        client.flush()
        assert [e.keys for e in data_events(client.events(timeout=1.0))] == [["eu", "x"]]

        # Refused at the call, with the library's code.
        for call, code in ((lambda: client.publish_event("keyed", [], b"a\0b"), "INVALID_TEXT"),
                           (lambda: client.publish_event("eventsystem", [], b"x"), "INVALID_TEXT"),
                           (lambda: client.publish_event("", [], b"x"), "INVALID_TEXT"),
                           (lambda: client.subscribe("keyed", keys=["a\0"]), "INVALID_TEXT")):
            with pytest.raises(eventlib.Error) as refused:
                call()
            assert refused.value.name == code and refused.value.code == eventlib.codes[code]
    with pytest.raises(eventlib.Error) as stopped:
        client.publish_event("keyed", [], b"x")
    assert stopped.value.name == "STOPPING"
    client.close()  # again: nothing happens


def test_restart_of_eventd_reports_the_gap_and_connection_changes(service):
    with eventlib.Client("py-gap") as client:
        client.subscribe("gap")
        client.publish("gap")
        client.flush()
        client.publish_event("gap", [], b"before")
        client.flush()
        service.kill()
        # Numbers taken while the service is away, never sent: a gap.
        taker, taker_out = service.spawn("nextseq", "gap", 5, os.path.join(service.root, "numbers"), name="take")
        assert taker.wait(30) == 0, read(taker_out)
        with pytest.raises(TimeoutError):
            client.flush(timeout=0.3)
        service.start()
        assert client.wait_connected(30)
        # The renewed subscription is in place once a flush is answered; an
        # event numbered before that would count as before the subscription.
        client.flush()
        client.publish_event("gap", [], b"after")
        client.flush()
        items = []
        for item in client.events(timeout=30):
            items.append(item)
            if isinstance(item, eventlib.Event) and item.data == b"after":
                break
    kinds = [type(item).__name__ for item in items]
    own = [item.connected for item in items if isinstance(item, eventlib.ConnectionChange) and item.own]
    assert own[-2:] == [False, True]
    events = data_events(items)
    assert [e.data for e in events] == [b"before", b"after"], items
    missed = [item for item in items if isinstance(item, eventlib.MissedEvent)]
    assert len(missed) == 1 and missed[0].category == "gap", kinds
    assert events[1].seq_no == events[0].seq_no + 6
    assert events[0].seq_no < missed[0].seq_no <= events[1].seq_no
    assert kinds.index("MissedEvent") < len(kinds) - 1 - kinds[::-1].index("Event")


def test_flush_waits_for_the_service_and_times_out_without_it(service):
    with eventlib.Client("py-flush") as client:
        started = time.monotonic()
        client.flush(timeout=5)
        assert time.monotonic() - started < 2
        service.process.send_signal(signal.SIGSTOP)  # connected, but nothing is answered
        try:
            started = time.monotonic()
            with pytest.raises(TimeoutError):
                client.flush(timeout=0.5)
            assert 0.4 < time.monotonic() - started < 3
        finally:
            service.process.send_signal(signal.SIGCONT)
        client.flush(timeout=10)


def test_a_callback_that_publishes_and_one_that_closes(service):
    forwarded = threading.Event()
    problems = []

    with eventlib.Client("py-sink") as sink:
        sink.subscribe("forwarded")
        sink.flush()

        def forward(item):
            if isinstance(item, eventlib.Event):
                relay.publish_event("forwarded", item.keys, item.data)
                relay.send()
                if item.data == b"last":
                    try:
                        relay.close()
                    except eventlib.Error as e:
                        problems.append(e.name)
                    forwarded.set()

        relay = eventlib.Client("py-relay", on_event=forward)
        relay.subscribe("incoming")
        relay.flush()
        with eventlib.Client("py-source") as source:
            for i in range(500):
                source.publish_event("incoming", [str(i)], f"{i}")
            source.publish_event("incoming", [], "last")
            source.flush()
        assert forwarded.wait(30)
        relay.flush()
        relay.close()
        got = data_events(sink.events(timeout=1.0))
    assert [e.data for e in got] == [str(i).encode() for i in range(500)] + [b"last"]
    assert problems == ["IN_HANDLER"]
    with pytest.raises(ValueError):
        relay.next_event(0)


@pytest.mark.parametrize("mode", ["callback", "queue"])
def test_interpreter_exit_with_a_live_client(service, mode):
    code = f"""
import eventlib
client = eventlib.Client("py-exit", on_event=(lambda item: None) if "{mode}" == "callback" else None)
client.subscribe("exit")
client.publish("exit")
client.flush()
for i in range(20000):
    client.publish_event("exit", [], b"x" * 100)
client.send()
print("leaving", flush=True)
"""
    process, out = service.python(code, name=f"exit-{mode}")
    assert process.wait(30) == 0, read(out)
    assert "leaving" in read(out)


def test_ten_thousand_events_from_a_python_process_nothing_lost(service):
    with eventlib.Client("py-many-sub") as client:
        client.subscribe("many")
        client.flush()
        process, out = service.python("""
import eventlib
with eventlib.Client("py-many-pub") as client:
    client.publish("many")
    for i in range(10000):
        client.publish_event("many", ["k"], str(i))
    client.flush()
""", name="many-pub")
        received = []
        for item in client.events(timeout=30):
            assert not isinstance(item, eventlib.MissedEvent), item
            if isinstance(item, eventlib.Event):
                received.append(int(item.data))
                if len(received) == 10000:
                    break
        assert process.wait(60) == 0, read(out)
    assert received == list(range(10000))
