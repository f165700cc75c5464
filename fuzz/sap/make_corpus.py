#!/usr/bin/env python3
"""Writes the seed corpora of the SAP fuzz targets: real-world-style announcements (AES67, RAVENNA,
Dante-style, ST 2110-30) and the malformed cases. Run from this folder; the output is committed."""
import os
import socket
import struct

AES67 = (
    "v=0\r\no=- 1311738121 1311738121 IN IP4 192.168.1.20\r\ns=AES67 Stage left\r\n"
    "c=IN IP4 239.69.1.2/32\r\nt=0 0\r\na=clock-domain:PTPv2 0\r\nm=audio 5004 RTP/AVP 98\r\n"
    "c=IN IP4 239.69.1.2/32\r\na=rtpmap:98 L24/48000/2\r\na=ptime:1\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-12-34-56:0\r\na=mediaclk:direct=0\r\n")
RAVENNA = (
    "v=0\r\no=- 4 0 IN IP4 192.168.1.30\r\ns=RAVENNA Session 4\r\nc=IN IP4 239.1.30.4/15\r\n"
    "t=0 0\r\na=recvonly\r\nm=audio 5004 RTP/AVP 98\r\na=rtpmap:98 L24/48000/8\r\na=framecount:48\r\n"
    "a=ptime:1\r\na=sync-time:0\r\na=ts-refclk:ptp=IEEE1588-2008:00-0E-64-FF-FE-01-02-03:domain-nmbr=0\r\n"
    "a=mediaclk:direct=1285614020\r\na=palign:0\r\n")
DANTE = (
    "v=0\r\no=- 1423986 1423991 IN IP4 169.254.22.1\r\ns=Y001-Yamaha-Rio3224-0a1b2c : 32\r\n"
    "c=IN IP4 239.69.83.133/32\r\nt=0 0\r\na=keywds:Dante\r\nm=audio 5004 RTP/AVP 97\r\n"
    "i=2 channels: 01, 02\r\na=recvonly\r\na=rtpmap:97 L24/48000/2\r\na=ptime:1\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:00-1D-C1-FF-FE-0A-1B-2C:0\r\na=mediaclk:direct=414141\r\n")
ST2110 = (
    "v=0\r\no=- 1443716955 1443716955 IN IP4 10.10.1.5\r\ns=ST 2110-30 audio\r\nt=0 0\r\n"
    "a=group:DUP primary secondary\r\nm=audio 50000 RTP/AVP 97\r\nc=IN IP4 239.100.1.1/64\r\n"
    "a=source-filter: incl IN IP4 239.100.1.1 10.10.1.5\r\na=rtpmap:97 L24/48000/16\r\na=ptime:0.125\r\n"
    "a=ts-refclk:ptp=IEEE1588-2008:08-00-11-FF-FE-22-33-44:127\r\na=mediaclk:direct=0\r\na=mid:primary\r\n"
    "m=audio 50000 RTP/AVP 97\r\nc=IN IP4 239.200.1.1/64\r\na=rtpmap:97 L24/48000/16\r\na=mid:secondary\r\n")


def sap(sdp, hash_=0x1234, origin="192.168.1.20", ptype=b"application/sdp", flags=0, auth=b"", version=1):
    v6 = ":" in origin
    head = bytes([(version << 5) | (0x10 if v6 else 0) | flags, len(auth) // 4]) + struct.pack(">H", hash_)
    address = socket.inet_pton(socket.AF_INET6 if v6 else socket.AF_INET, origin)
    body = sdp.encode("utf-8", "surrogateescape") if isinstance(sdp, str) else sdp
    return head + address + auth + (ptype + b"\0" if ptype is not None else b"") + body


def origin_line(sdp):
    return next(l for l in sdp.split("\r\n") if l.startswith("o=")) + "\r\n"


PACKETS = {
    "aes67": sap(AES67),
    "ravenna": sap(RAVENNA, 0x0004, "192.168.1.30"),
    "dante": sap(DANTE, 0xA1B2, "169.254.22.1"),
    "st2110_30": sap(ST2110, 0x7777, "10.10.1.5"),
    "ipv6_origin": sap(AES67, 0x10, "2001:db8::20"),
    "with_auth": sap(AES67, auth=b"\x01\x02\x03\x04" * 3),
    "deletion_origin_only": sap(origin_line(AES67), flags=0x04),
    "deletion_empty": sap(b"", flags=0x04, ptype=None),
    "deletion_unknown_key": sap(origin_line(DANTE), 0x9999, flags=0x04),
    "no_type_v0": sap(AES67, ptype=None),
    "no_nul": sap(b"s=no type and no nul", ptype=None),
    "nul_first": sap(AES67, ptype=b""),
    "several_nuls": sap(b"v=0\r\n\0s=x\0\0", ptype=b"application/sdp\0junk"),
    "encrypted": sap(AES67, flags=0x02),
    "compressed": sap(AES67, flags=0x01),
    "version_7": sap(AES67, version=7),
    "hash_zero": sap(AES67, 0),
    "origin_zero": sap(AES67, origin="0.0.0.0"),
    "over_1024": sap(AES67 + "a=x-pad:" + "p" * 1500 + "\r\n"),
    "auth_255_short": sap(AES67)[:1] + b"\xff" + sap(AES67)[2:40],
    "ipv6_flag_short": bytes([0x30, 0, 0, 1]) + b"\x01" * 12,
    "short_4": b"\x20\x00\x00\x01",
    "utf8_overlong": sap("v=0\r\ns=\udcc0\udc80\r\n"),
    "utf8_surrogate": sap("v=0\r\ns=\udced\udca0\udc80\r\n"),
    "utf8_above_max": sap("v=0\r\ns=\udcf4\udc90\udc80\udc80\r\n"),
    "utf8_truncated": sap("v=0\r\ns=B\udcc3"),
    "utf8_nul_inside": sap(b"v=0\r\ns=a\0b\r\n", ptype=b"application/sdp"),
    "utf8_del_and_escape": sap("v=0\r\ns=\x7f\x1b[2J\x1b]0;title\x07\r\n"),
    "utf8_valid_multibyte": sap("v=0\r\ns=B\u00fchne \u2603 \U0001F3B5\r\n"),
}
for n in range(9):
    PACKETS[f"length_{n}"] = sap(AES67)[:n]


def record(op, payload=b"", length=None):
    n = len(payload) if length is None else length
    return bytes([op]) + struct.pack(">H", n) + payload


def announce(sdp, hash_, origin="10.0.0.1", flags=0):
    return record(0, sap(sdp, hash_, origin, flags=flags))


def versioned(sdp, version):
    return sdp.replace("1311738121 1311738121", f"1311738121 {version}")


SEQUENCES = {
    "announce_repeat_delete": announce(AES67, 1) * 3 + record(0, sap(origin_line(AES67), 1, "10.0.0.1", flags=4)),
    "change_same_hash": announce(AES67, 1) + announce(AES67.replace("Stage left", "Stage right"), 1),
    "modify_new_hash": announce(versioned(AES67, 1), 1) + announce(versioned(AES67, 2), 2) + announce(versioned(AES67, 1), 1),
    "expire": announce(AES67, 1) + record(1, length=1800) + announce(DANTE, 2) + record(1, length=1801) + record(1, length=1800),
    "fill_the_cap": b"".join(announce(AES67.replace("1311738121 1311738121", f"{k} 1"), k + 1) for k in range(12)),
    "all_kinds": b"".join(announce(s, h, o) for s, h, o in
                          [(AES67, 1, "10.0.0.1"), (RAVENNA, 2, "10.0.0.2"), (DANTE, 3, "2001:db8::1"), (ST2110, 4, "10.0.0.4")])
    + record(0, PACKETS["short_4"]) + record(0, PACKETS["encrypted"]) + record(0, PACKETS["hash_zero"]),
}


def write(folder, items):
    os.makedirs(folder, exist_ok=True)
    for name, data in items.items():
        with open(os.path.join(folder, name + ".bin"), "wb") as out:
            out.write(data)


write("corpus/sap_packet", PACKETS)
write("corpus/sap_listener", SEQUENCES)
