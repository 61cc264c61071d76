#!/usr/bin/env python3
"""A small Python host of the event service: subscribes to a category,
publishes events into it and waits until they come back, in order.

    host.py [CATEGORY [EVENTS]]

Prints where the eventlib package was imported from, and exits 0 when every
event came back, 1 otherwise.
"""
import sys

import eventlib


def main() -> int:
    category = sys.argv[1] if len(sys.argv) > 1 else "example"
    events = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    print(f"host.py: eventlib from {eventlib.__file__}")
    with eventlib.Client("example-host-py") as client:  # waits up to 10 s for eventd
        client.subscribe(category, keys=["k", "*"])
        client.flush()  # the service has the subscription
        for i in range(events):
            client.publish_event(category, ["k", str(i)], str(i))
        client.flush()
        got = []
        for item in client.events(timeout=2.0):
            if isinstance(item, eventlib.Event):
                got.append(int(item.data))
            elif isinstance(item, eventlib.MissedEvent):
                print(f"host.py: events of {item.category} missed", file=sys.stderr)
                return 1
            if len(got) == events:
                break
    ok = got == list(range(events))
    print(f"host.py: {'every event came back in order' if ok else 'events missing or out of order'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
