#!/usr/bin/env python3
"""A TCP relay that can cut a database connection in the middle of a transaction.

  cutproxy.py TARGET_HOST TARGET_PORT PATTERN

Listens on a free port of 127.0.0.1 and prints "port N". Relays every connection to the
target. Commands on stdin, one a line:
  arm     the next client bytes that contain PATTERN are not passed on: the connection is
          closed both ways and the relay goes down (prints "cut")
  up      accept connections again (prints "up")
  down    close every connection and refuse new ones (prints "down")
  silent  a server that stops answering: open connections stay open but nothing more is
          passed on either way, new connections are accepted and never answered (prints
          "silent"); "up" ends it
While down, a new connection is closed at once.
"""
import socket
import sys
import threading

host, port, pattern = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode().lower()
lock = threading.Lock()
state = {"armed": False, "down": False, "silent": False, "pairs": [], "held": []}


def say(text):
    print(text, flush=True)


def close_pair(pair):
    for s in pair:
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        s.close()


def pump(src, dst, pair, from_client):
    buf = b""
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            with lock:
                silent = state["silent"]
            if silent:
                continue  # swallowed: the other side hears nothing
            if from_client:
                buf = (buf + data.lower())[-4096:]
                with lock:
                    if state["armed"] and pattern in buf:
                        state["armed"] = False
                        state["down"] = True
                        cut = True
                    else:
                        cut = False
                if cut:
                    with lock:
                        pairs = list(state["pairs"])
                        state["pairs"].clear()
                    for p in pairs:
                        close_pair(p)
                    say("cut")
                    return
            dst.sendall(data)
    except OSError:
        pass
    close_pair(pair)


def serve(listener):
    while True:
        client, _ = listener.accept()
        with lock:
            down = state["down"]
            silent = state["silent"]
            if silent and not down:
                state["held"].append(client)
        if down:
            client.close()
            continue
        if silent:
            continue  # accepted, never answered
        try:
            server = socket.create_connection((host, port))
        except OSError:
            client.close()
            continue
        pair = (client, server)
        with lock:
            state["pairs"].append(pair)
        threading.Thread(target=pump, args=(client, server, pair, True), daemon=True).start()
        threading.Thread(target=pump, args=(server, client, pair, False), daemon=True).start()


listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("127.0.0.1", 0))
listener.listen(16)
threading.Thread(target=serve, args=(listener,), daemon=True).start()
say("port %d" % listener.getsockname()[1])
for line in sys.stdin:
    command = line.strip()
    with lock:
        held = []
        if command == "arm":
            state["armed"] = True
        elif command == "up":
            state["down"] = False
            state["silent"] = False
            held = list(state["held"])
            state["held"].clear()
        elif command == "silent":
            state["silent"] = True
        elif command == "down":
            state["down"] = True
            pairs = list(state["pairs"])
            state["pairs"].clear()
        else:
            say("unknown command " + command)
            continue
    for c in held:
        close_pair((c,))
    if command == "down":
        for p in pairs:
            close_pair(p)
    say(command if command != "arm" else "armed")
