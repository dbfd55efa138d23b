# The WebSocket rules of RFC 6455 that a client's frames can test, from a raw socket: framing,
# fragmentation, control frames, close codes and UTF-8.

import base64
import os
import socket
import struct

TEXT, BINARY, CLOSE, PING, PONG, CONTINUATION = 0x1, 0x2, 0x8, 0x9, 0xA, 0x0
PING_TEXT = b'{"type":"ping"}'


def frame(opcode, payload=b"", fin=True, rsv=0, masked=True, length=None):
    n = len(payload) if length is None else length
    head = bytes([(0x80 if fin else 0) | rsv << 4 | opcode])
    mask_bit = 0x80 if masked else 0
    head += bytes([mask_bit | n]) if n < 126 else bytes([mask_bit | 126]) + struct.pack(">H", n)
    if not masked:
        return head + payload
    mask = os.urandom(4)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


def close(code, reason=b""):
    return frame(CLOSE, struct.pack(">H", code) + reason)


class RawClient:
    def __init__(self, port):
        self.socket = socket.create_connection(("127.0.0.1", port), timeout=5)
        key = base64.b64encode(os.urandom(16)).decode()
        self.socket.sendall(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % key).encode())
        self.buffer = b""
        while b"\r\n\r\n" not in self.buffer:
            self.buffer += self.socket.recv(4096)
        self.buffer = self.buffer.split(b"\r\n\r\n", 1)[1]
        self.frames = []

    def read_all(self):
        # Every frame until the server closes (or stays quiet for a moment).
        self.socket.settimeout(1.5)
        try:
            while chunk := self.socket.recv(65536):
                self.buffer += chunk
        except (socket.timeout, ConnectionResetError):
            pass
        while len(self.buffer) >= 2:
            n, at = self.buffer[1] & 0x7F, 2
            if n == 126:
                n, at = struct.unpack(">H", self.buffer[2:4])[0], 4
            elif n == 127:
                n, at = struct.unpack(">Q", self.buffer[2:10])[0], 10
            self.frames.append((self.buffer[0] & 0x0F, self.buffer[at:at + n]))
            self.buffer = self.buffer[at + n:]
        return [(op, data) for op, data in self.frames if not (op == TEXT and data.startswith(b'{"id"'))
                and b'"sim_status"' not in data]


def outcome(frames):
    # What the client saw after its own frames: replies, pongs and the close code (None: none).
    seen = []
    for opcode, data in frames:
        if opcode == TEXT:
            seen.append("reply")
        elif opcode == PONG:
            seen.append("pong " + data.decode())
        elif opcode == CLOSE:
            seen.append("close %s" % (struct.unpack(">H", data[:2])[0] if len(data) >= 2 else "none"))
    return seen


CASES = [
    # (what the client sends, what it must see)
    ("a masked text frame", [frame(TEXT, PING_TEXT)], ["reply"]),
    ("a message in three fragments", [frame(TEXT, PING_TEXT[:3], fin=False), frame(CONTINUATION, PING_TEXT[3:9], fin=False),
                                      frame(CONTINUATION, PING_TEXT[9:])], ["reply"]),
    ("a ping between fragments", [frame(TEXT, PING_TEXT[:3], fin=False), frame(PING, b"hi"),
                                  frame(CONTINUATION, PING_TEXT[3:])], ["pong hi", "reply"]),
    ("a binary frame", [frame(BINARY, PING_TEXT), frame(TEXT, PING_TEXT)], ["reply"]),
    ("an unmasked frame", [frame(TEXT, PING_TEXT, masked=False)], ["close 1002"]),
    ("a reserved bit", [frame(TEXT, PING_TEXT, rsv=1)], ["close 1002"]),
    ("an unknown opcode", [frame(0x3, b"x")], ["close 1002"]),
    ("an unknown control opcode", [frame(0xB, b"x")], ["close 1002"]),
    ("a control frame over 125 bytes", [frame(PING, b"x" * 126)], ["close 1002"]),
    ("a fragmented control frame", [frame(PING, b"x", fin=False)], ["close 1002"]),
    ("a continuation without a start", [frame(CONTINUATION, PING_TEXT)], ["close 1002"]),
    ("a new message inside a fragmented one", [frame(TEXT, b"{", fin=False), frame(TEXT, PING_TEXT)], ["close 1002"]),
    ("invalid UTF-8", [frame(TEXT, b'{"type":"\xff"}')], ["close 1007"]),
    ("UTF-8 broken across fragments", [frame(TEXT, b'"\xe2\x82', fin=False), frame(CONTINUATION, b'\x28"')],
     ["close 1007"]),
    ("a close without a code", [frame(CLOSE)], ["close 1000"]),
    ("a close with one byte", [frame(CLOSE, b"\x03")], ["close 1002"]),
    ("close 1000", [close(1000, b"bye")], ["close 1000"]),
    ("close 3000", [close(3000)], ["close 3000"]),
    ("close 4999", [close(4999)], ["close 4999"]),
    ("close 5000", [close(5000)], ["close 1002"]),
    ("close 65535", [close(65535)], ["close 1002"]),
    ("close 999", [close(999)], ["close 1002"]),
    ("close 1005", [close(1005)], ["close 1002"]),
    ("close 1006", [close(1006)], ["close 1002"]),
    ("close 2999", [close(2999)], ["close 1002"]),
    ("a close whose reason is not UTF-8", [close(1000, b"\xff")], ["close 1002"]),
]


def test_client_frames_get_the_answer_the_rfc_asks_for(bridge):
    process = bridge()
    wrong = {}
    for name, frames, expected in CASES:
        client = RawClient(process.port)
        client.socket.sendall(b"".join(frames))
        seen = outcome(client.read_all())
        client.socket.close()
        if seen != expected:
            wrong[name] = (seen, expected)
    assert not wrong, "\n".join("%s: saw %s, expected %s" % (k, *v) for k, v in wrong.items())
