// A SIPp scenario for tests that need plain callees (sipp_callee.h): it rings
// for 0.2 s, answers with PCMU, and hangs up when the line does, logging the
// moment each INVITE and each BYE reached it ("INVITE <date> <time> <epoch
// seconds> <call number>", SippCallee::Log).
//
// Thread-safety: a constant.
#pragma once

namespace ringwell::host::sip::testing {

inline constexpr char kAnsweringCallee[] =
    "<recv request=\"INVITE\"><action>"
    "<log message=\"INVITE [timestamp] [call_number]\"/></action></recv>\n"
    "<send><![CDATA[\nSIP/2.0 180 Ringing\n[last_Via:]\n[last_From:]\n"
    "[last_To:];tag=[pid]callee[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
    "Content-Length: 0\n\n]]></send>\n"
    "<pause milliseconds=\"200\"/>\n"
    "<send retrans=\"500\"><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n"
    "[last_To:];tag=[pid]callee[call_number]\n[last_Call-ID:]\n[last_CSeq:]\n"
    "Contact: <sip:callee@[local_ip]:[local_port]>\nContent-Type: application/sdp\n"
    "Content-Length: [len]\n\n"
    "v=0\no=callee 1 1 IN IP4 127.0.0.1\ns=-\nc=IN IP4 127.0.0.1\nt=0 0\n"
    "m=audio [media_port] RTP/AVP 0\na=rtpmap:0 PCMU/8000\n]]></send>\n"
    "<recv request=\"ACK\"/>\n"
    "<recv request=\"BYE\"><action>"
    "<log message=\"BYE [timestamp] [call_number]\"/></action></recv>\n"
    "<send><![CDATA[\nSIP/2.0 200 OK\n[last_Via:]\n[last_From:]\n[last_To:]\n"
    "[last_Call-ID:]\n[last_CSeq:]\nContent-Length: 0\n\n]]></send>\n";

}  // namespace ringwell::host::sip::testing
