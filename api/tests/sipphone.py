"""Telephones played by SIPp (Debian's sip-tester) on 127.0.0.1, one SIPp for
every number the host dials (sip:NUMBER@127.0.0.1:PORT): the numbers in
`busy` answer "486 Busy Here", the numbers in `keys` pick up and press their
key as RFC 4733 telephone-events (payload type 101, the events SIPp ships in
/usr/share/sip-tester) every second until the caller hangs up, and any other
number rings until the caller gives up. Every INVITE the scenario takes (a
retransmission is not one) is logged as "INVITE NUMBER EPOCH-SECONDS"."""
import os
import socket

from alertroad import free_port, read
from apitest import wait_for

EVENTS = "/usr/share/sip-tester/dtmf_2833_%s.pcap"

HEAD = """[last_Via:]
[last_From:]
[last_To:];tag=[pid]phone[call_number]
[last_Call-ID:]
[last_CSeq:]
"""

SCENARIO = """<?xml version="1.0" encoding="ISO-8859-1"?>
<scenario name="on-call phones">
<recv request="INVITE">
  <action>
    <ereg regexp="^INVITE sip:([^@]+)@" search_in="msg" check_it="true" assign_to="all,number"/>
    <log message="INVITE [$number] [timestamp] ([$all])"/>
%(choices)s  </action>
</recv>
%(branches)s
<label id="1"/>
<send><![CDATA[
SIP/2.0 180 Ringing
%(head)sContent-Length: 0

]]></send>
<recv request="CANCEL"/>
<send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]phone[call_number]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
<send><![CDATA[
SIP/2.0 487 Request Terminated
%(head)sContent-Length: 0

]]></send>
<recv request="ACK" next="99"/>
<label id="2"/>
<send><![CDATA[
SIP/2.0 486 Busy Here
%(head)sContent-Length: 0

]]></send>
<recv request="ACK" next="99"/>
%(answers)s
<label id="99"/>
</scenario>
"""

# Picks up with PCMU and telephone-event, then presses KEY every second
# until the BYE.
ANSWER = """<label id="%(label)d"/>
<send retrans="500"><![CDATA[
SIP/2.0 200 OK
%(head)sContact: <sip:phone@[local_ip]:[local_port]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=phone 1 1 IN IP4 127.0.0.1
s=-
c=IN IP4 127.0.0.1
t=0 0
m=audio [media_port] RTP/AVP 0 101
a=rtpmap:0 PCMU/8000
a=rtpmap:101 telephone-event/8000
a=fmtp:101 0-15
]]></send>
<recv request="ACK"/>
<label id="%(press)d"/>
<nop><action><exec play_pcap_audio="%(events)s"/></action></nop>
<recv request="BYE" timeout="1000" ontimeout="%(press)d"/>
<send><![CDATA[
SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:]
[last_Call-ID:]
[last_CSeq:]
Content-Length: 0

]]></send>
<nop next="99"/>
"""


class Phones:
    """The SIPp process of a test, started by `services` (alertroad.Services)
    and stopped with it."""

    def __init__(self, services, busy=(), keys=None):
        keys = dict(keys or {})
        directory = os.path.join(services.inst.dir, "sipp")
        os.makedirs(directory, exist_ok=True)
        choices, branches, answers = [], [], []
        for n, number in enumerate(list(busy) + list(keys)):
            choices.append('    <ereg regexp="^INVITE sip:%s@" search_in="msg" check_it="false" '
                           'assign_to="is%d"/>\n' % (number, n))
            label = 2 if number in busy else 10 + 2 * n
            branches.append('<nop next="%d" test="is%d"/>' % (label, n))
            if number in keys:
                answers.append(ANSWER % {"label": label, "press": label + 1, "head": HEAD,
                                         "events": EVENTS % keys[number]})
        branches.append('<nop next="1"/>')  # ring until the caller gives up
        path = os.path.join(directory, "phones.xml")
        with open(path, "w") as f:
            f.write(SCENARIO % {"choices": "".join(choices), "branches": "\n".join(branches), "head": HEAD,
                                "answers": "".join(answers)})
        self.log = os.path.join(directory, "log.txt")
        self.port = free_port(socket.SOCK_DGRAM)
        media = free_port(socket.SOCK_DGRAM)
        argv = ["/usr/bin/sipp", "-sf", path, "-i", "127.0.0.1", "-mi", "127.0.0.1", "-p", str(self.port),
                "-mp", str(media), "-nostdin", "-trace_logs", "-log_file", self.log,
                "-trace_err", "-error_file", os.path.join(directory, "errors.log")]
        self.process = services.start("sipp", argv, lambda _: self.listening())

    def listening(self):
        with open("/proc/net/udp") as f:
            return (":%04X " % self.port) in f.read()

    def invites(self):
        """[(number, seconds since the epoch)] of the INVITEs taken so far."""
        found = []
        for line in read(self.log).splitlines():
            parts = line.split()
            if len(parts) >= 5 and parts[0] == "INVITE":
                found.append((parts[1], float(parts[4])))
        return found

    def numbers(self):
        return [number for number, _ in self.invites()]

    def wait_for_invite(self, number, count=1, timeout=60):
        return wait_for(lambda: self.numbers().count(number) >= count, timeout=timeout,
                        what="INVITE number %d to %s" % (count, number))
