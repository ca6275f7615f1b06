#!/usr/bin/env python3
"""Times one bring-up of a tunnel to its first handshake, and where the time went.

  connect_timing.py service SOCKET CONFIG_JSON UNIT INTERFACE
      APPLY_CONFIG over the service's socket, then GET_STATUS every millisecond until
      CONNECTED. The unit's start comes from systemd's timestamps, the daemon's readiness
      from its UAPI socket's creation time, the handshake from the daemon itself.
  connect_timing.py hand INTERFACE WG_CONF ADDRESS NETWORK
      The same tunnel by hand: wireguard-go, wg setconf, ip address, link and route, then
      the interface's handshake asked every millisecond.
  connect_timing.py wg-quick UNIT INTERFACE
      The peer an administrator would use: `systemctl start wg-quick@...`, and the
      interface's handshake asked every millisecond meanwhile (the start returns only once
      wg-quick has ended, after the handshake).
  connect_timing.py summary < LINES
      Medians of the lines the other commands printed, and the service's ratio to each
      bring-up measured beside it.

Each round prints one JSON line: milliseconds since the first request or command for each
step reached. Every clock is CLOCK_MONOTONIC; wall-clock readings (a file's ctime, a
handshake time) are moved onto it with the offset between the two clocks.
"""
import json
import os
import socket
import statistics
import struct
import subprocess
import sys
import time

POLL_SECONDS = 0.001
TIMEOUT_SECONDS = 20
ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LOG_LEVEL": "error"}


def now_ms():
    return time.monotonic_ns() / 1e6


def wall_to_ms(wall_ns):
    """A CLOCK_REALTIME reading in nanoseconds, as milliseconds of CLOCK_MONOTONIC."""
    offset = time.clock_gettime_ns(time.CLOCK_REALTIME) - time.monotonic_ns()
    return (wall_ns - offset) / 1e6


def request(path, body):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(30)
        s.connect(path)
        data = body.encode()
        s.sendall(struct.pack("<I", len(data)) + data)
        with s.makefile("rb") as stream:  # the service hangs up after its answer
            return json.loads(stream.read()[4:])


def uapi_socket(interface):
    return f"/run/wireguard/{interface}.sock"


def uapi_handshake_ms(interface):
    """The interface's latest handshake on the monotonic clock, or None."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(uapi_socket(interface))
            s.sendall(b"get=1\n\n")
            text = b""
            while not text.endswith(b"\n\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                text += chunk
    except OSError:
        return None
    fields = dict(line.split("=", 1) for line in text.decode().splitlines() if "=" in line)
    seconds = int(fields.get("last_handshake_time_sec", "0"))
    if seconds == 0:
        return None
    return wall_to_ms(seconds * 10**9 + int(fields.get("last_handshake_time_nsec", "0")))


def socket_created_ms(interface):
    try:
        return wall_to_ms(os.stat(uapi_socket(interface)).st_ctime_ns)
    except OSError:
        return None


def unit_timestamps_ms(unit):
    out = subprocess.run(
        ["systemctl", "show", "-p", "ExecMainStartTimestampMonotonic",
         "-p", "ActiveEnterTimestampMonotonic", unit],
        capture_output=True, text=True, env=ENV, check=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return (int(values["ExecMainStartTimestampMonotonic"]) / 1e3,
            int(values["ActiveEnterTimestampMonotonic"]) / 1e3)


def service_round(path, config_file, unit, interface):
    with open(config_file) as f:
        config = f.read()
    start = now_ms()
    answer = request(path, '{"command":"APPLY_CONFIG","payload":%s}' % config)
    accepted = now_ms()
    if answer.get("type") != "ACCEPTED":
        sys.exit(f"APPLY_CONFIG answered {answer}")
    deadline = start + TIMEOUT_SECONDS * 1000
    while True:
        status = request(path, '{"command":"GET_STATUS"}')
        if status["payload"]["state"] == "CONNECTED":
            break
        if now_ms() > deadline:
            sys.exit(f"no CONNECTED within {TIMEOUT_SECONDS} s: {status}")
        time.sleep(POLL_SECONDS)
    seen = now_ms()
    main_start, active = unit_timestamps_ms(unit)
    steps = {
        "apply_answered": accepted,
        "unit_process_started": main_start,
        "daemon_ready": socket_created_ms(interface),
        "addresses_links_routes_done": active,
        "first_handshake": uapi_handshake_ms(interface),
        "connected_seen": seen,
    }
    return start, steps


def run(command):
    # The daemon that wireguard-go leaves behind must not hold the caller's output open.
    subprocess.run(command, env=ENV, check=True, stdout=subprocess.DEVNULL)


def await_handshake(interface, start):
    """Asks the interface every millisecond until it has a handshake; when it was seen."""
    deadline = start + TIMEOUT_SECONDS * 1000
    while uapi_handshake_ms(interface) is None:
        if now_ms() > deadline:
            sys.exit(f"no handshake on {interface} within {TIMEOUT_SECONDS} s")
        time.sleep(POLL_SECONDS)
    return now_ms()


def hand_round(interface, wg_conf, address, network):
    start = now_ms()
    run(["wireguard-go", interface])  # returns once the interface and its socket exist
    ready = now_ms()
    run(["wg", "setconf", interface, wg_conf])
    run(["ip", "address", "add", address, "dev", interface])
    run(["ip", "link", "set", "dev", interface, "up"])
    run(["ip", "route", "add", network, "dev", interface])
    links = now_ms()
    seen = await_handshake(interface, start)
    steps = {
        "daemon_ready": ready,
        "addresses_links_routes_done": links,
        "first_handshake": uapi_handshake_ms(interface),
        "connected_seen": seen,
    }
    return start, steps


def wg_quick_round(unit, interface):
    """`systemctl start` returns only once wg-quick has ended, which is after the handshake:
    the handshake is watched for meanwhile, and the unit's own timestamps give its steps."""
    start = now_ms()
    starting = subprocess.Popen(["systemctl", "start", unit], env=ENV, stdout=subprocess.DEVNULL)
    seen = await_handshake(interface, start)
    if starting.wait() != 0:
        sys.exit(f"systemctl start {unit} failed")
    main_start, active = unit_timestamps_ms(unit)
    steps = {
        "unit_process_started": main_start,
        "daemon_ready": socket_created_ms(interface),
        "first_handshake": uapi_handshake_ms(interface),
        "connected_seen": seen,
        "unit_started": active,
    }
    return start, steps


def print_round(kind, start, steps):
    line = {"kind": kind}
    for name, value in steps.items():
        line[name] = None if value is None else round(value - start, 2)
    print(json.dumps(line), flush=True)


def summary(lines):
    rounds = [json.loads(line) for line in lines if line.strip().startswith("{")]
    medians = {}
    kinds = [k for k in ("hand", "wg-quick", "service") if any(r["kind"] == k for r in rounds)]
    if "service" not in kinds or len(kinds) < 2:
        sys.exit("no service rounds, or nothing to compare them with")
    for kind in kinds:
        mine = [r for r in rounds if r["kind"] == kind]
        names = [k for k in mine[0] if k != "kind"]
        print(f"{kind}: {len(mine)} rounds, median ms since the start (min-max of the total)")
        for name in names:
            values = [r[name] for r in mine if r[name] is not None]
            if values:
                medians[(kind, name)] = statistics.median(values)
                print(f"  {name:30} {medians[(kind, name)]:8.2f}")
        totals = [r["connected_seen"] for r in mine]
        print(f"  {'(total range)':30} {min(totals):8.2f} - {max(totals):.2f}")
    names = {"hand": "hand-made bring-up", "wg-quick": "systemctl start wg-quick@"}
    for kind in kinds[:-1]:
        ratio = medians[("service", "connected_seen")] / medians[(kind, "connected_seen")]
        print(f"APPLY_CONFIG to CONNECTED / {names[kind]} to handshake: {ratio:.2f}x")


def main():
    kind = sys.argv[1] if len(sys.argv) > 1 else ""
    if kind == "service" and len(sys.argv) == 6:
        print_round(kind, *service_round(*sys.argv[2:]))
    elif kind == "hand" and len(sys.argv) == 6:
        print_round(kind, *hand_round(*sys.argv[2:]))
    elif kind == "wg-quick" and len(sys.argv) == 4:
        print_round(kind, *wg_quick_round(*sys.argv[2:]))
    elif kind == "summary":
        summary(sys.stdin.read().splitlines())
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
