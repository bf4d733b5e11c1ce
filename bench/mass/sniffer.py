"""When each INVITE left for the callee, by the kernel's clock: a packet socket
on the loopback device, filtered in the kernel to UDP datagrams toward one
port, with the time the kernel sent each (the copy packet sockets see on its
way out, stamped as the sender hands it to the device). SIPp's own
[timestamp] is the moment SIPp got round to a message, and the receiving
side of loopback runs late on a busy machine too: both read several
datagrams at once, which makes set-ups look closer than they were sent.
Needs CAP_NET_RAW (root); `available()` says whether it can run."""
import ctypes
import socket
import struct
import threading

ETH_P_ALL = 0x0003
SO_ATTACH_FILTER = 26
SO_TIMESTAMPNS = 35
PACKET_OUTGOING = 4


def udp_port_filter(port):
    """Classic BPF: IPv4, UDP, not a fragment, destination port `port`."""
    code = [
        (0x28, 0, 0, 12),           # ldh [12]: ethertype
        (0x15, 0, 8, 0x0800),       # IPv4, else drop
        (0x30, 0, 0, 23),           # ldb [23]: protocol
        (0x15, 0, 6, 17),           # UDP, else drop
        (0x28, 0, 0, 20),           # ldh [20]: fragment offset
        (0x45, 4, 0, 0x1FFF),       # a fragment: drop
        (0xB1, 0, 0, 14),           # ldxb 4*([14]&0xf): IP header length
        (0x48, 0, 0, 16),           # ldh [x+16]: destination port
        (0x15, 0, 1, port),         # the port: accept
        (0x06, 0, 0, 0x40000),      # ret: accept
        (0x06, 0, 0, 0),            # ret: drop
    ]
    program = b"".join(struct.pack("HBBI", *insn) for insn in code)
    buffer = ctypes.create_string_buffer(program)
    return buffer, struct.pack("HL", len(code), ctypes.addressof(buffer))


def available():
    try:
        socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL)).close()
        return True
    except OSError:
        return False


class InviteSniffer:
    """Notes the time each call's first INVITE was sent to `port` on lo."""

    def __init__(self, port):
        self.invites = {}  # Call-ID -> first time seen
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        self._filter = udp_port_filter(port)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, self._filter[1])
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.sock.bind(("lo", 0))
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                data, ancillary, _, address = self.sock.recvmsg(65536, 64)
            except socket.timeout:
                continue
            except OSError:
                return
            if address[2] != PACKET_OUTGOING:
                continue  # the copy received
            ip_header = (data[14] & 0x0F) * 4
            payload = data[14 + ip_header + 8:]
            if not payload.startswith(b"INVITE "):
                continue
            when = None
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", value[:16])
                    when = seconds + nanoseconds * 1e-9
            call_id = b""
            for line in payload.split(b"\r\n"):
                if line.lower().startswith((b"call-id:", b"i:")):
                    call_id = line.split(b":", 1)[1].strip()
                    break
            if when is not None and call_id not in self.invites:
                self.invites[call_id] = when  # retransmissions keep the first

    def times(self):
        return sorted(self.invites.values())

    def close(self):
        self.running = False
        self.thread.join()
        self.sock.close()
