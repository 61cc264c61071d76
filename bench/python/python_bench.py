"""Python publisher -> Python subscriber, each its own process, through
eventd at its default options and through a ZeroMQ XSUB/XPUB proxy process
(pyzmq, one frame per message with the topic as its prefix, high-water marks
0 so that nothing is dropped). Prints a markdown table: events/s (medians of
the trials), lost, gaps and reordered events.

    PYTHONPATH=build/native/python python3 bench/python/python_bench.py [EVENTS [TRIALS]]

EVT_BENCH_EVENTD names the eventd to run (default: build/native/eventd/eventd).
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZE = 100
HERE = os.path.abspath(__file__)
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))


def payload(i):
    head = b"%012d:" % i
    return head + b"x" * (SIZE - len(head))


def check(sequence_numbers, expected):
    """(lost, gaps, reordered) of the publisher indexes a subscriber saw."""
    lost = expected - len(set(sequence_numbers))
    gaps = reordered = 0
    last = -1
    for n in sequence_numbers:
        if n < last:
            reordered += 1
        elif n > last + 1:
            gaps += 1
        last = max(last, n)
    return lost, gaps, reordered


# The parties, run as `python_bench.py ROLE ...`.

def eventd_subscriber(events, flag):
    import eventlib
    seen = []
    with eventlib.Client("bench-sub") as client:
        client.subscribe("bench")
        client.flush()
        open(flag, "w").close()
        end = None
        for item in client.events(timeout=10):
            if type(item) is eventlib.Event:
                seen.append(int(item.data[:12]))
                if len(seen) == events:
                    end = time.monotonic()
                    break
            elif type(item) is eventlib.MissedEvent:
                print("missed", item.seq_no, file=sys.stderr)
    report(seen, events, end)


def eventd_publisher(events):
    import eventlib
    with eventlib.Client("bench-pub") as client:
        client.publish("bench")
        client.flush()
        print("start", time.monotonic(), flush=True)
        publish = client.publish_event
        keys = []
        for i in range(events):
            publish("bench", keys, payload(i))
        client.flush(timeout=120)


def zmq_proxy(frontend, backend):
    import zmq
    context = zmq.Context()
    xsub, xpub = context.socket(zmq.XSUB), context.socket(zmq.XPUB)
    for socket in (xsub, xpub):
        socket.setsockopt(zmq.SNDHWM, 0)
        socket.setsockopt(zmq.RCVHWM, 0)
    xsub.bind(frontend)
    xpub.bind(backend)
    zmq.proxy(xsub, xpub)


def zmq_subscriber(events, backend, flag):
    import zmq
    socket = zmq.Context().socket(zmq.SUB)
    socket.setsockopt(zmq.RCVHWM, 0)
    socket.setsockopt(zmq.SUBSCRIBE, b"bench ")
    socket.connect(backend)
    seen = []
    while socket.recv()[6:] != b"warm":  # the publisher's warm-up until subscriptions reach it
        pass
    open(flag, "w").close()
    socket.setsockopt(zmq.RCVTIMEO, 10000)
    end = None
    recv = socket.recv
    try:
        while len(seen) < events:
            message = recv()
            if message[6:] != b"warm":
                seen.append(int(message[6:18]))
        end = time.monotonic()
    except zmq.Again:
        pass
    report(seen, events, end)


def zmq_publisher(events, frontend, flag):
    import zmq
    socket = zmq.Context().socket(zmq.PUB)
    socket.setsockopt(zmq.SNDHWM, 0)
    socket.connect(frontend)
    while not os.path.exists(flag):
        socket.send(b"bench warm")
        time.sleep(0.01)
    print("start", time.monotonic(), flush=True)
    send = socket.send
    for i in range(events):
        send(b"bench " + payload(i))
    socket.close(linger=-1)


def report(seen, events, end):
    lost, gaps, reordered = check(seen, events)
    print("end", end if end is not None else "none", lost, gaps, reordered, flush=True)


# The driver.

def python_process(*args, out=subprocess.PIPE):
    return subprocess.Popen([sys.executable, HERE, *map(str, args)], stdout=out, text=True)


def wait_for(path, timeout=30):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            raise RuntimeError(f"{path} did not appear")
        time.sleep(0.005)


def one_trial(transport, events, work):
    flag = os.path.join(work, f"ready-{transport}-{time.monotonic_ns()}")
    middle = None
    if transport == "eventd":
        sub = python_process("eventd-sub", events, flag)
        wait_for(flag)
        pub = python_process("eventd-pub", events)
    else:
        frontend, backend = f"ipc://{work}/front", f"ipc://{work}/back"
        middle = python_process("zmq-proxy", frontend, backend, out=subprocess.DEVNULL)
        sub = python_process("zmq-sub", events, backend, flag)
        pub = python_process("zmq-pub", events, frontend, flag)
    start = float(pub.stdout.readline().split()[1])
    fields = sub.communicate(timeout=600)[0].split()
    pub.wait(600)
    if middle is not None:
        middle.kill()
        middle.wait()
    end = None if fields[1] == "none" else float(fields[1])
    lost, gaps, reordered = map(int, fields[2:5])
    rate = events / (end - start) if end is not None else 0.0
    return rate, lost, gaps, reordered


def main(events, trials):
    eventd = os.environ.get("EVT_BENCH_EVENTD", os.path.join(ROOT, "build/native/eventd/eventd"))
    work = tempfile.mkdtemp(prefix="evt-pybench-")
    prefix = f"evtpybench.{os.getpid()}."
    os.environ.update(EVT_SHM_PREFIX=prefix, EVT_LOG_DIR=os.path.join(work, "log"),
                      EVT_RUNTIME_DIR=os.path.join(work, "run"))
    os.makedirs(os.environ["EVT_LOG_DIR"])
    os.makedirs(os.environ["EVT_RUNTIME_DIR"])
    service = subprocess.Popen([eventd], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        while "listening at" not in service.stderr.readline():
            if service.poll() is not None:
                raise RuntimeError("eventd did not start")
        results = {"eventd": [], "pyzmq proxy": []}
        for _ in range(trials):
            for transport in results:  # the transports in turn within each trial
                results[transport].append(one_trial(transport, events, work))
        print(f"| Python 1→1 {SIZE} B, {events} events | events/s (median of {trials}) | lost / gaps / reordered |")
        print("|---|---:|---|")
        for transport, runs in results.items():
            rate = statistics.median(r[0] for r in runs)
            faults = " / ".join(str(sum(r[i] for r in runs)) for i in (1, 2, 3))
            print(f"| {transport} | {rate:,.0f} | {faults} |")
        ratio = statistics.median(r[0] for r in results["eventd"]) / \
            max(statistics.median(r[0] for r in results["pyzmq proxy"]), 1)
        print(f"\neventd / pyzmq proxy: {ratio:.2f}", flush=True)
        for transport, runs in results.items():
            print(f"{transport} trials: " + ", ".join(f"{r[0]:,.0f}" for r in runs), file=sys.stderr)
    finally:
        service.terminate()
        service.wait()
        for name in os.listdir("/dev/shm"):
            if name.startswith(prefix):
                os.unlink(os.path.join("/dev/shm", name))
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    roles = {
        "eventd-sub": lambda a: eventd_subscriber(int(a[0]), a[1]),
        "eventd-pub": lambda a: eventd_publisher(int(a[0])),
        "zmq-proxy": lambda a: zmq_proxy(a[0], a[1]),
        "zmq-sub": lambda a: zmq_subscriber(int(a[0]), a[1], a[2]),
        "zmq-pub": lambda a: zmq_publisher(int(a[0]), a[1], a[2]),
    }
    if len(sys.argv) > 1 and sys.argv[1] in roles:
        roles[sys.argv[1]](sys.argv[2:])
    else:
        main(int(sys.argv[1]) if len(sys.argv) > 1 else 200000, int(sys.argv[2]) if len(sys.argv) > 2 else 3)
