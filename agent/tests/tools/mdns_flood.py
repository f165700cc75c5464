#!/usr/bin/env python3
"""An mDNS responder that floods a link with churning engine-like adverts.

Announces COUNT services of type _http._tcp, subtype _ravenna (PTR, SRV, TXT and A records, the
way a responder announces), each withdrawn (goodbye) after about LIFETIME seconds and replaced by
one of a new name and port; beside them one LUMORA master ("master:1") stays present throughout.
It answers no query: everything a resolver needs is in the announcements. Run it where its
multicast reaches the daemon under test (the far end of a veth pair); it runs until killed.

usage: mdns_flood.py <own address> <count> <lifetime s> <master name> <master port>
"""
import random
import socket
import struct
import sys
import time

MDNS_GROUP = "224.0.0.251"
MDNS_PORT = 5353
TYPE_A, TYPE_PTR, TYPE_TXT, TYPE_SRV = 1, 12, 16, 33
CLASS_IN, CACHE_FLUSH = 1, 0x8000
TTL = 120
MAX_PACKET = 1400
HOSTS = 50  # the flood's services share this many hosts


def encode_name(name):
    data = b""
    for label in name.rstrip(".").split("."):
        raw = label.encode()
        data += bytes([len(raw)]) + raw
    return data + b"\0"


def record(name, rtype, rclass, ttl, rdata):
    return encode_name(name) + struct.pack("!HHIH", rtype, rclass, ttl, len(rdata)) + rdata


def txt_data(entries):
    return b"".join(bytes([len(entry)]) + entry for entry in entries) or b"\0"


def service(instance, host, address, port, txt, ttl):
    full = instance + "._http._tcp.local"
    records = [
        record("_http._tcp.local", TYPE_PTR, CLASS_IN, ttl, encode_name(full)),
        record("_ravenna._sub._http._tcp.local", TYPE_PTR, CLASS_IN, ttl, encode_name(full)),
    ]
    if ttl > 0:
        records += [
            record(full, TYPE_SRV, CLASS_IN | CACHE_FLUSH, ttl, struct.pack("!HHH", 0, 0, port) + encode_name(host)),
            record(full, TYPE_TXT, CLASS_IN | CACHE_FLUSH, ttl, txt_data(txt)),
            record(host, TYPE_A, CLASS_IN | CACHE_FLUSH, ttl, socket.inet_aton(address)),
        ]
    return records


def send(sock, records):
    packet = []
    size = 12

    def flush():
        if packet:
            header = struct.pack("!HHHHHH", 0, 0x8400, 0, len(packet), 0, 0)
            sock.sendto(header + b"".join(packet), (MDNS_GROUP, MDNS_PORT))
            packet.clear()

    for entry in records:
        if size + len(entry) > MAX_PACKET:
            flush()
            size = 12
        packet.append(entry)
        size += len(entry)
    flush()


def main():
    own, count, lifetime, master, master_port = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), sys.argv[4], int(
        sys.argv[5])
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(own))
    sock.bind(("", MDNS_PORT))
    prefix = own.split(".")[:3]
    padding = [b"model=flood", b"x=" + b"y" * 200]
    serial = 0
    live = []  # (withdraw time, instance, host, address, port)

    def new_service(now):
        nonlocal serial
        serial += 1
        host_number = serial % HOSTS
        entry = (now + random.uniform(0.5, 1.5) * lifetime, "flood-%d" % serial, "flood-host-%d.local" % host_number,
                 ".".join(prefix + [str(10 + host_number)]), 20000 + serial % 40000)
        live.append(entry)
        return service(entry[1], entry[2], entry[3], entry[4], padding, TTL)

    master_records = service(master, "master-host.local", ".".join(prefix + [str(9)]), master_port, [b"master:1"], TTL)
    send(sock, master_records)
    start = time.monotonic()
    records = []
    for _ in range(count):
        records += new_service(start)
    send(sock, records)
    last_master = start
    while True:
        time.sleep(0.05)
        now = time.monotonic()
        due = [entry for entry in live if entry[0] <= now]
        live[:] = [entry for entry in live if entry[0] > now]
        records = []
        for entry in due:
            records += service(entry[1], entry[2], entry[3], entry[4], padding, 0)
            records += new_service(now)
        if now - last_master >= 1.0:
            records += master_records
            last_master = now
        send(sock, records)


if __name__ == "__main__":
    main()
