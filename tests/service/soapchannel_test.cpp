// The SOAP channel: request frames, replies of our own service and of other SOAP stacks (1.1 and
// 1.2, MTOM with and without XOP), malformed and oversized replies, the head and element checks
// with their per-channel messages, deadlines, cancelling, proxies and connection reuse; then the
// real reference service with its injected faults.
#include "service/soapchannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/logger.h"
#include "service/auth.h"
#include "support/cannedhttp.h"
#include "support/env.h"
#include "support/logcapture.h"
#include "support/randombytes.h"
#include "support/testserver.h"
#include "util/base64.h"
#include "util/util.h"

namespace {

using testsupport::CannedHttpServer;
using Result = CSoapChannel::Result;
using SendResult = CSoapChannel::SendResult;

const char* kNs12 = "http://www.w3.org/2003/05/soap-envelope";
const char* kNs11 = "http://schemas.xmlsoap.org/soap/envelope/";

std::string Env12(const std::string& payload) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><soap:Envelope xmlns:soap=\"") + kNs12 +
           "\"><soap:Body>" + payload + "</soap:Body></soap:Envelope>";
}

std::string Frame(const std::string& name, const std::string& head, const std::string& body,
                  const std::string& version = "version01") {
    return "<operation name=\"" + name + "\" version=\"" + version + "\">" + head + body + "</operation>";
}

std::string OkHead(int seq) {
    return "<response_head result=\"OK\" rsp_sequence=\"" + std::to_string(seq) + "\"/>";
}

std::string SoapOk(const std::string& payload) {
    return CannedHttpServer::Response(200, "application/soap+xml; charset=UTF-8", Env12(payload));
}

using testsupport::RandomBytes;

// A channel of the given profile pointed at a canned server.
struct Canned {
    explicit Canned(const SoapChannelProfile& profile) : channel(profile) {
        EXPECT_TRUE(server.Start());
        EXPECT_TRUE(channel.Init(server.Url("/axis2/services/mirn_service_x"), "alice", "pw-alice", "host-1",
                                 "/opt/kestrine"));
        channel.SetCredentials("alice", "pw-alice", "passport-1");
    }
    Result Call(const char* op, std::string* ack, pugi::xml_node* body = nullptr) {
        request = channel.NewRequest(op);
        pugi::xml_node b;
        Result r = channel.Call(*request, "CTest::Op", "op time out!", ack, &reply, body ? body : &b);
        return r;
    }
    CannedHttpServer server;
    CSoapChannel channel;
    std::unique_ptr<CSoapRequest> request;
    CSoapReply reply;
};

// The operation element of a request as the service received it.
struct Received {
    explicit Received(const CannedHttpServer::Request& r) {
        std::string error;
        ok = message.Parse(r.Header("Content-Type"), r.body, 200, &error);
        EXPECT_TRUE(ok) << error;
    }
    CSoapReply message;
    bool ok = false;
    pugi::xml_node op() const { return message.Payload(); }
};

std::vector<std::string> AttributeNames(const pugi::xml_node& n) {
    std::vector<std::string> out;
    for (pugi::xml_attribute a : n.attributes())
        out.push_back(a.name());
    return out;
}

// --------------------------------------------------------------------------------------------

TEST(SoapChannel, PasswordDigest) {
    EXPECT_EQ(soapchannel::PasswordDigest("pw-alice"), "DF33881B4A7BEDBF");
}

TEST(SoapChannel, InitStoresTextsAndRefusesAnEmptyEndpoint) {
    testsupport::LogCapture log;
    CSoapChannel back(soapchannel::BackProfile());
    EXPECT_FALSE(back.Init("", "alice", "pw", "h", ""));
    EXPECT_FALSE(back.IsInitialised());
    ASSERT_TRUE(back.Init("http://127.0.0.1:9/x", "alice", "pw-alice", "h", "/opt/kestrine"));
    EXPECT_EQ(back.Password(), "pw-alice") << "back keeps the plain password until SetCredentials";
    EXPECT_EQ(back.RepositoryPath(), "/opt/kestrine/axis2c");
    EXPECT_NE(back.LogFile().find("/axis2c_bs.log"), std::string::npos);
    back.SetCredentials("alice", "pw-alice", "pp");
    EXPECT_EQ(back.Password(), "DF33881B4A7BEDBF");

    CSoapChannel trs(soapchannel::TransmitterProfile());
    ASSERT_TRUE(trs.Init("http://127.0.0.1:9/y", "alice", "pw-alice", "h", ""));
    EXPECT_EQ(trs.Password(), "DF33881B4A7BEDBF");
    EXPECT_NE(trs.LogFile().find("/axis2c_trs.log"), std::string::npos);

    CSoapChannel hb(soapchannel::HeartBeatProfile());
    ASSERT_TRUE(hb.Init("http://127.0.0.1:9/z", "alice", "pw-alice", "h", ""));
    EXPECT_TRUE(log.Contains("Using endpoint : http://127.0.0.1:9/z"));
    EXPECT_EQ(soapchannel::HeartBeatProfile().deadlineMs, 120000);
    EXPECT_EQ(soapchannel::BackProfile().deadlineMs, 37000);
    EXPECT_EQ(soapchannel::TransmitterProfile().deadlineMs, 361000);
}

TEST(SoapChannel, RequestFramesPerChannel) {
    struct Case {
        const SoapChannelProfile& profile;
        std::vector<std::string> opAttrs;
        std::vector<std::string> headAttrs;
    } cases[] = {
        {soapchannel::BackProfile(),
         {"name", "version", "src"},
         {"user_name", "password", "passport", "req_sequence"}},
        {soapchannel::TransmitterProfile(), {"name", "version"}, {"user_name", "password", "req_sequence"}},
        {soapchannel::HeartBeatProfile(), {"name", "version"}, {"user_name", "password", "req_sequence"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile.tag);
        Canned t(c.profile);
        for (int seq = 1; seq <= 3; ++seq)
            t.server.Push(SoapOk(Frame("login_rsp", OkHead(seq), "<login_rsp/>")));
        t.server.Push(SoapOk(Frame("login_rsp", OkHead(1), "<login_rsp/>")));
        std::string ack;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(t.Call("login", &ack), Result::kOk) << i;
            EXPECT_EQ(ack, "OK");
            EXPECT_EQ(t.request->Sequence(), i + 1);
        }
        // After a reset the numbering starts again at 1.
        t.channel.Reset();
        EXPECT_EQ(t.channel.Sequence(), 0);
        ASSERT_TRUE(t.channel.Init(t.server.Url("/axis2/services/mirn_service_x"), "alice", "pw-alice",
                                   "host-1", ""));
        t.channel.SetCredentials("alice", "pw-alice", "passport-1");
        ASSERT_EQ(t.Call("login", &ack), Result::kOk);

        std::vector<CannedHttpServer::Request> reqs = t.server.Requests();
        ASSERT_EQ(reqs.size(), 4u);
        for (size_t i = 0; i < reqs.size(); ++i) {
            EXPECT_EQ(reqs[i].RequestLine(), "POST /axis2/services/mirn_service_x HTTP/1.1");
            EXPECT_EQ(reqs[i].Header("Content-Type"), "application/soap+xml; charset=UTF-8");
            Received r(reqs[i]);
            ASSERT_TRUE(r.ok);
            EXPECT_EQ(r.message.version(), soap::Version::k12);
            pugi::xml_node op = r.op();
            EXPECT_STREQ(op.name(), "operation");
            EXPECT_EQ(AttributeNames(op), c.opAttrs);
            EXPECT_STREQ(op.attribute("name").value(), "login");
            EXPECT_STREQ(op.attribute("version").value(), "version01");
            if (c.profile.srcAttribute) {
                EXPECT_STREQ(op.attribute("src").value(), "windows");
            }
            pugi::xml_node head = op.first_child();
            EXPECT_STREQ(head.name(), "request_head");
            EXPECT_EQ(AttributeNames(head), c.headAttrs);
            EXPECT_STREQ(head.attribute("user_name").value(), "alice");
            EXPECT_STREQ(head.attribute("password").value(), "DF33881B4A7BEDBF");
            if (c.profile.passportAttribute) {
                EXPECT_STREQ(head.attribute("passport").value(), "passport-1");
            }
            EXPECT_EQ(std::string(head.attribute("req_sequence").value()), std::to_string(i < 3 ? i + 1 : 1));
            EXPECT_STREQ(head.child("host_id").text().get(), "host-1");
            EXPECT_STREQ(head.next_sibling().name(), "login");
            EXPECT_FALSE(head.next_sibling().next_sibling());
        }
        // One handle per channel: calls share a connection, the reset drops it.
        EXPECT_EQ(reqs[0].connection, reqs[2].connection);
        EXPECT_NE(reqs[2].connection, reqs[3].connection);
    }
}

TEST(SoapChannel, AttachmentsTravelAsMtomAndStayBorrowed) {
    Canned t(soapchannel::TransmitterProfile());
    t.server.Push(SoapOk(Frame("upload_chunk_rsp", OkHead(1), "<upload_chunk_rsp/>")));
    std::string bytes = RandomBytes(300000, 7);
    bytes.replace(1000, 6, "\r\n--MI");  // boundary-like bytes inside the attachment
    t.request = t.channel.NewRequest("upload_chunk");
    t.request->Body().append_attribute("MD5") = "k";
    t.request->Attach(t.request->Body().append_child("content"), bytes);
    std::string ack;
    pugi::xml_node body;
    ASSERT_EQ(t.channel.Call(*t.request, "CTest::Op", "op time out!", &ack, &t.reply, &body), Result::kOk);

    auto reqs = t.server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    std::string type = reqs[0].Header("Content-Type");
    EXPECT_EQ(mtom::MediaType(type), "multipart/related");
    EXPECT_EQ(mtom::HeaderParam(type, "type"), "application/xop+xml");
    Received r(reqs[0]);
    ASSERT_TRUE(r.ok);
    pugi::xml_node content = r.op().child("upload_chunk").child("content");
    EXPECT_TRUE(content.child("xop:Include")) << "the bytes travel as an attachment, not inline";
    std::string_view got;
    std::string storage, error;
    ASSERT_TRUE(r.message.ReadBinary(content, &got, &storage, &error)) << error;
    EXPECT_TRUE(got == bytes);
}

// Replies as other SOAP stacks shape them.
TEST(SoapChannel, ReadsRepliesOfOtherStacks) {
    const std::string bytes = RandomBytes(5000, 3);
    const std::string b64 = base64::Encode(bytes.data(), bytes.size());
    const std::string payload =
        "<ns1:operation xmlns:ns1=\"urn:kestrine\" name=\"download_chunk_rsp\" "
        "version=\"version01\">\n  <ns1:response_head result=\"OK\" rsp_sequence=\"1\"/>\n"
        "  <ns1:download_chunk_rsp MD5=\"k\" storage_key=\"s\"><ns1:content>CONTENT"
        "</ns1:content></ns1:download_chunk_rsp>\n</ns1:operation>";
    auto with = [&](const std::string& content) {
        std::string p = payload;
        p.replace(p.find("CONTENT"), 7, content);
        return p;
    };
    const std::string boundary = "uuid:6b62cd2b-93f4-4bfb-8e0c-8d4a1d5b6b3c";
    auto mtom = [&](const std::string& envelope, const std::string& startInfo) {
        std::string body =
            "\r\n--" + boundary + "\r\nContent-Type: application/xop+xml; charset=UTF-8; type=\"" +
            startInfo +
            "\"\r\nContent-Transfer-Encoding: binary\r\nContent-ID: <root.message@cxf.apache.org>"
            "\r\n\r\n" +
            envelope + "\r\n--" + boundary +
            "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n"
            "Content-ID: <5aeaa450-17f0-4484-b845-a8480c363444-1@cxf.apache.org>\r\n\r\n" +
            bytes + "\r\n--" + boundary + "--";
        return CannedHttpServer::Response(
            200,
            "multipart/related; type=\"application/xop+xml\"; boundary=\"" + boundary +
                "\"; start=\"<root.message@cxf.apache.org>\"; start-info=\"" + startInfo + "\"",
            body);
    };
    const std::string xop =
        "<xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" "
        "href=\"cid:5aeaa450-17f0-4484-b845-a8480c363444-1%40cxf.apache.org\"/>";
    struct Case {
        const char* what;
        std::string reply;
    } cases[] = {
        {"SOAP 1.1, pretty-printed, inline Base64",
         CannedHttpServer::Response(200, "text/xml;charset=utf-8",
                                    std::string("<?xml version='1.0' encoding='utf-8'?>\n<soapenv:Envelope "
                                                "xmlns:soapenv=\"") +
                                        kNs11 + "\">\n <soapenv:Header/>\n <soapenv:Body>\n" + with(b64) +
                                        "\n </soapenv:Body>\n</soapenv:Envelope>\n")},
        {"SOAP 1.2, default namespace, Base64 with line breaks",
         CannedHttpServer::Response(200, "application/soap+xml; charset=utf-8; action=\"urn:x\"",
                                    std::string("<Envelope xmlns=\"") + kNs12 + "\"><Body>" +
                                        with(b64.substr(0, 76) + "\r\n" + b64.substr(76)) +
                                        "</Body></Envelope>")},
        {"MTOM 1.2 with an XOP include",
         mtom(std::string("<soap:Envelope xmlns:soap=\"") + kNs12 + "\"><soap:Body>" + with(xop) +
                  "</soap:Body></soap:Envelope>",
              "application/soap+xml")},
        {"MTOM 1.1 without an XOP include (inline Base64)",
         mtom(std::string("<s:Envelope xmlns:s=\"") + kNs11 + "\"><s:Body>" + with(b64) +
                  "</s:Body></s:Envelope>",
              "text/xml")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Canned t(soapchannel::TransmitterProfile());
        t.server.Push(c.reply);
        std::string ack;
        pugi::xml_node body;
        ASSERT_EQ(t.Call("download_chunk", &ack, &body), Result::kOk);
        EXPECT_EQ(ack, "OK");
        EXPECT_TRUE(t.channel.PareseOmElementValue(body, "download_chunk_rsp", nullptr, nullptr));
        pugi::xml_node content = body.first_child();
        EXPECT_TRUE(t.channel.PareseOmElementValue(content, "content", nullptr, nullptr));
        std::string_view got;
        std::string storage, error;
        ASSERT_TRUE(t.reply.ReadBinary(content, &got, &storage, &error)) << error;
        EXPECT_TRUE(got == bytes);
    }
}

TEST(SoapChannel, UnusableRepliesFailWithoutTouchingTheAcknowledgement) {
    const std::string good = Env12(Frame("x_rsp", OkHead(1), "<x_rsp/>"));
    const std::string mp =
        "multipart/related; type=\"application/xop+xml\"; boundary=\"bnd\"; start=\"<r@x>\"";
    struct Case {
        const char* what;
        std::string reply;
        bool headFailure;  // "Fail to parse the responsed head" expected
    } cases[] = {
        {"HTML error page",
         CannedHttpServer::Response(502, "text/html", "<html><body>Bad gateway</body></html>"), false},
        {"plain text", CannedHttpServer::Response(200, "text/plain", "OK"), false},
        {"empty body", CannedHttpServer::Response(200, "application/soap+xml", ""), false},
        {"malformed XML",
         CannedHttpServer::Response(200, "application/soap+xml", good.substr(0, good.size() - 9)), false},
        {"XML that is not SOAP",
         CannedHttpServer::Response(200, "text/xml", "<operation version=\"version01\"/>"), false},
        {"envelope of an unknown version",
         CannedHttpServer::Response(
             200, "text/xml", "<e:Envelope xmlns:e=\"urn:other\"><e:Body><operation/></e:Body></e:Envelope>"),
         false},
        {"envelope without Body",
         CannedHttpServer::Response(200, "application/soap+xml",
                                    std::string("<s:Envelope xmlns:s=\"") + kNs12 + "\"/>"),
         false},
        {"empty Body", SoapOk(""), false},
        {"SOAP 1.2 fault",
         CannedHttpServer::Response(500, "application/soap+xml", soap::BuildFault("Receiver", "boom")), true},
        {"SOAP 1.1 fault",
         CannedHttpServer::Response(500, "text/xml", soap::BuildFault("Server", "boom", soap::Version::k11)),
         true},
        {"MTOM truncated", CannedHttpServer::Response(200, mp, "--bnd\r\nContent-ID: <r@x>\r\n\r\n" + good),
         false},
        {"MTOM without boundary",
         CannedHttpServer::Response(200, "multipart/related; type=\"application/xop+xml\"",
                                    "--bnd\r\n\r\n" + good + "\r\n--bnd--"),
         false},
        {"MTOM whose start part is missing",
         CannedHttpServer::Response(200, mp, "--bnd\r\nContent-ID: <other@x>\r\n\r\n" + good + "\r\n--bnd--"),
         false},
        {"MTOM root that is binary garbage",
         CannedHttpServer::Response(200, mp, "--bnd\r\nContent-ID: <r@x>\r\n\r\n\x01\x02\xff\r\n--bnd--"),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        Canned t(soapchannel::BackProfile());
        t.server.Push(c.reply);
        std::string ack = "untouched";
        EXPECT_EQ(t.Call("x", &ack), Result::kFailed);
        EXPECT_EQ(ack, "untouched");
        EXPECT_EQ(log.Contains("Fail to parse the responsed head"), c.headFailure);
        // The channel stays usable.
        t.server.Push(SoapOk(Frame("x_rsp", OkHead(2), "<x_rsp/>")));
        EXPECT_EQ(t.Call("x", &ack), Result::kOk);
    }
}

TEST(SoapChannel, HeadChecksWithEachChannelsMessages) {
    struct Case {
        const char* what;
        bool transmitter;
        std::string payload;
        Result result;
        const char* ack;      // expected afterwards ("untouched" when not written)
        const char* message;  // expected in the log
    } cases[] = {
        {"wrong version", false, Frame("x_rsp", OkHead(1), "<x_rsp/>", "version02"), Result::kFailed,
         "untouched", "Mismatched VER version02 with version01"},
        {"no version", true, "<operation name=\"x_rsp\">" + OkHead(1) + "</operation>", Result::kFailed,
         "untouched", "Mismatched VER  with version01"},
        {"no head", false, Frame("x_rsp", "", ""), Result::kFailed, "untouched", "Fail to get a node HEAD"},
        {"head of another name", false, Frame("x_rsp", "<head result=\"OK\"/>", ""), Result::kFailed,
         "untouched", "Fail to get a element"},
        {"root of another name (back)", false, "<op version=\"version01\">" + OkHead(1) + "</op>",
         Result::kFailed, "untouched", "Mismatched element \"op\" with \"operation\""},
        {"root of another name (transmitter)", true, "<op version=\"version01\">" + OkHead(1) + "</op>",
         Result::kFailed, "untouched", "Mismatched element KEY op with operation"},
        {"refusal with reason (back)", false,
         Frame("x_rsp", "<response_head result=\"fail\"><reason>8</reason></response_head>", ""),
         Result::kRefused, "fail", "Return fail for 8"},
        {"delay", false,
         Frame("x_rsp", "<response_head result=\"delay\"><reason>24</reason></response_head>", ""),
         Result::kRefused, "delay", "Return delay for 24"},
        {"refusal without reason (back)", false, Frame("x_rsp", "<response_head result=\"fail\"/>", ""),
         Result::kFailed, "fail", "Fail to get a node child"},
        {"refusal without reason (transmitter)", true,
         Frame("x_rsp", "<response_head result=\"fail\" rsp_sequence=\"1\"/>", ""), Result::kFailed, "fail",
         "Fail to get a element"},
        {"refusal whose child is not reason", false,
         Frame("x_rsp", "<response_head result=\"fail\"><why>8</why></response_head>", ""), Result::kFailed,
         "fail", "Fail to get a element"},
        {"transmitter: another sequence, even with OK", true, Frame("x_rsp", OkHead(5), "<x_rsp/>"),
         Result::kFailed, "untouched", "Mismatched CSEQ 5 with 1"},
        {"transmitter: no sequence", true, Frame("x_rsp", "<response_head result=\"OK\"/>", "<x_rsp/>"),
         Result::kFailed, "untouched", "Mismatched CSEQ  with 1"},
        {"back does not compare sequences", false, Frame("x_rsp", OkHead(5), "<x_rsp/>"), Result::kOk, "OK",
         "reponse:<operation"},
        {"transmitter reply logged", true, Frame("x_rsp", OkHead(1), "<x_rsp/>"), Result::kOk, "OK",
         "reqonse:<operation"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::LogCapture log;
        Canned t(c.transmitter ? soapchannel::TransmitterProfile() : soapchannel::BackProfile());
        t.server.Push(SoapOk(c.payload));
        std::string ack = "untouched";
        pugi::xml_node body;
        EXPECT_EQ(t.Call("x", &ack, &body), c.result);
        EXPECT_EQ(ack, c.ack);
        EXPECT_TRUE(log.Contains(c.message)) << log.Text();
        if (c.result == Result::kFailed) {
            EXPECT_EQ(log.LastError(), "Fail to parse the responsed head");
        }
        if (c.result == Result::kOk) {
            EXPECT_STREQ(body.name(), "x_rsp");
        }
    }
}

TEST(SoapChannel, ReasonsAndTheirLastCopy) {
    Canned t(soapchannel::BackProfile());
    t.server.Push(
        SoapOk(Frame("x_rsp", "<response_head result=\"fail\"><reason>29</reason></response_head>", "")));
    t.server.Push(SoapOk(Frame("x_rsp", OkHead(2), "<x_rsp/>")));
    std::string ack;
    ASSERT_EQ(t.Call("x", &ack), Result::kRefused);
    EXPECT_EQ(t.channel.GetReason(), "29");
    EXPECT_EQ(t.channel.GetLastReason(), "29");
    t.channel.ClearReason();
    EXPECT_EQ(t.channel.GetReason(), "");
    EXPECT_EQ(t.channel.GetLastReason(), "29");
    ASSERT_EQ(t.Call("x", &ack), Result::kOk);
    EXPECT_EQ(t.channel.GetLastReason(), "") << "an OK head empties both";

    Canned trs(soapchannel::TransmitterProfile());
    trs.server.Push(SoapOk(
        Frame("x_rsp",
              "<response_head result=\"fail\" rsp_sequence=\"1\"><reason>21</reason></response_head>", "")));
    ASSERT_EQ(trs.Call("x", &ack), Result::kRefused);
    EXPECT_EQ(trs.channel.GetReason(), "21");
    EXPECT_EQ(trs.channel.GetLastReason(), "") << "only the back channel keeps a last reason";
}

TEST(SoapChannel, ElementCheckMessages) {
    pugi::xml_document doc;
    doc.load_string("<a><b>text</b>loose</a>");
    pugi::xml_node a = doc.child("a");
    pugi::xml_node b = a.child("b");
    pugi::xml_node loose = b.next_sibling();
    struct Case {
        bool back;
        pugi::xml_node node;
        const char* name;
        bool ok;
        const char* message;
    } cases[] = {
        {true, pugi::xml_node(), "b", false, "Fail to get a element {b} of node NULL"},
        {false, pugi::xml_node(), "b", false, "Fail to get a element"},
        {true, loose, "b", false, "Fail to get a element {b}"},
        {false, loose, "b", false, "Fail to get a element"},
        {true, a, "b", false, "Mismatched element \"a\" with \"b\""},
        {false, a, "b", false, "Mismatched element KEY a with b"},
        {true, b, "B", false, "Mismatched element \"b\" with \"B\""},
        {true, b, "b", true, ""},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        CSoapChannel ch(c.back ? soapchannel::BackProfile() : soapchannel::TransmitterProfile());
        std::string text = "unchanged";
        pugi::xml_node element;
        EXPECT_EQ(ch.PareseOmElementValue(c.node, c.name, &text, &element), c.ok) << c.message;
        if (c.ok) {
            EXPECT_EQ(text, "text");
            EXPECT_EQ(element, b);
        } else {
            EXPECT_EQ(log.LastError(), c.message);
            EXPECT_EQ(text, "unchanged");
        }
    }
}

TEST(SoapChannel, LoggingOfRequestsAndReplies) {
    {
        testsupport::LogCapture log;
        Canned t(soapchannel::TransmitterProfile());
        std::string big = RandomBytes(3000, 1);
        std::string b64 = base64::Encode(big.data(), big.size());
        t.server.Push(
            SoapOk(Frame("download_chunk_rsp", OkHead(1),
                         "<download_chunk_rsp><content>" + b64 + "</content></download_chunk_rsp>")));
        std::string ack;
        ASSERT_EQ(t.Call("download_chunk", &ack), Result::kOk);
        std::string text = log.Text();
        EXPECT_NE(text.find("request:<operation name=\"download_chunk\""), std::string::npos);
        EXPECT_NE(text.find("reqonse:<operation"), std::string::npos);
        EXPECT_NE(text.find("[4000 bytes of Base64]"), std::string::npos);
        EXPECT_EQ(text.find(b64.substr(0, 64)), std::string::npos) << "chunk bytes never reach the log";
    }
    {
        testsupport::LogCapture log;
        Canned t(soapchannel::HeartBeatProfile());
        t.server.Push(SoapOk(Frame("heartbeat_rsp", OkHead(1), "<heartbeat_rsp new_event=\"no\"/>")));
        t.request = t.channel.NewRequest("heartbeat");
        ASSERT_EQ(t.channel.Send(*t.request, &t.reply), SendResult::kReply);
        EXPECT_STREQ(t.reply.Payload().name(), "operation");
        EXPECT_EQ(log.Text().find("<operation"), std::string::npos) << "the heartbeat does not log its XML";
    }
}

TEST(SoapChannel, RepliesBeyondTheBoundAreNotRead) {
    const size_t limit = soapchannel::HeartBeatProfile().maxReplyBytes;
    std::string filler(limit, 'x');
    std::string payload = Frame("heartbeat_rsp", OkHead(1),
                                "<heartbeat_rsp new_event=\"no\"><pad>" + filler + "</pad></heartbeat_rsp>");
    // Announced by Content-Length, and sent chunked without any length.
    std::string chunked =
        "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string env = Env12(payload);
    for (size_t off = 0; off < env.size(); off += 8192) {
        std::string piece = env.substr(off, 8192);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";
    for (const std::string& reply : {SoapOk(payload), chunked}) {
        Canned t(soapchannel::HeartBeatProfile());
        t.server.Push(reply);
        t.request = t.channel.NewRequest("heartbeat");
        EXPECT_EQ(t.channel.Send(*t.request, &t.reply), SendResult::kNoReply);
        EXPECT_NE(t.channel.LastErrorMessage().find("reply larger than"), std::string::npos)
            << t.channel.LastErrorMessage();
        EXPECT_FALSE(t.reply.HasEnvelope());
    }
}

TEST(SoapChannel, AReplySplitIntoSmallPiecesIsReadWhole) {
    Canned t(soapchannel::TransmitterProfile());
    CannedHttpServer::Reply r;
    r.bytes = SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp MD5=\"abc\"/>"));
    r.pieceSize = 7;
    r.pieceDelayMs = 1;
    t.server.Push(r);
    std::string ack;
    pugi::xml_node body;
    ASSERT_EQ(t.Call("x", &ack, &body), Result::kOk);
    EXPECT_STREQ(body.attribute("MD5").value(), "abc");
}

// A kept connection that the server closed while idle: the request was already sent on it, so
// the channel must rewind the request and send it again on a fresh connection.
TEST(SoapChannel, AKeptConnectionClosedByTheServerIsRetriedOnAFreshOne) {
    Canned t(soapchannel::TransmitterProfile());
    t.server.Push(SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp/>")));
    CannedHttpServer::Reply dropped;  // reads the request, answers nothing, closes
    dropped.close = true;
    t.server.Push(dropped);
    t.server.Push(SoapOk(Frame("x_rsp", OkHead(2), "<x_rsp/>")));
    std::string ack;
    ASSERT_EQ(t.Call("x", &ack), Result::kOk);
    const std::string payload = RandomBytes(100000, 7);
    t.request = t.channel.NewRequest("x");
    t.request->Attach(t.request->Body().append_child("data"), payload);
    pugi::xml_node body;
    ASSERT_EQ(t.channel.Call(*t.request, "CTest::Op", "op time out!", &ack, &t.reply, &body), Result::kOk);
    auto reqs = t.server.Requests();
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[1].connection, reqs[0].connection) << "the second call used the kept connection";
    EXPECT_NE(reqs[2].connection, reqs[1].connection);
    EXPECT_EQ(reqs[2].body, reqs[1].body) << "the resent request is the whole request again";
}

TEST(SoapChannel, DeadlineAbandonsTheCallAndTheNextCallWorks) {
    testsupport::LogCapture log;
    Canned t(soapchannel::BackProfile());
    t.channel.SetDeadlineMs(300);
    CannedHttpServer::Reply stall;
    stall.bytes = SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp/>"));
    stall.delayMs = 20000;
    t.server.Push(stall);
    t.server.Push(SoapOk(Frame("x_rsp", OkHead(2), "<x_rsp/>")));
    std::string ack = "untouched";
    EXPECT_EQ(t.Call("x", &ack), Result::kFailed);
    EXPECT_EQ(ack, "untouched");
    EXPECT_EQ(log.LastError(), "op time out!");
    EXPECT_EQ(t.channel.LastErrorCode(), 28);  // CURLE_OPERATION_TIMEDOUT
    EXPECT_EQ(t.Call("x", &ack), Result::kOk);
    EXPECT_EQ(ack, "OK");
    auto reqs = t.server.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_NE(reqs[0].connection, reqs[1].connection) << "the abandoned connection is not reused";
}

TEST(SoapChannel, CancelEndsThePendingCallOnly) {
    Canned t(soapchannel::HeartBeatProfile());
    CannedHttpServer::Reply stall;
    stall.bytes = SoapOk(Frame("heartbeat_rsp", OkHead(1), "<heartbeat_rsp/>"));
    stall.delayMs = 60000;
    t.server.Push(stall);
    std::shared_ptr<CSoapCancel> token = t.channel.GetCancelToken();
    token->Cancel();  // nothing in flight: no effect on the next call

    std::atomic<int> result{-1};
    t.request = t.channel.NewRequest("heartbeat");
    std::thread caller([&] { result = static_cast<int>(t.channel.Send(*t.request, &t.reply)); });
    ASSERT_TRUE(t.server.WaitForRequests(1, 10000));
    token->Cancel();
    caller.join();
    EXPECT_EQ(result.load(), static_cast<int>(SendResult::kCancelled));

    // The call after a cancel runs normally.
    t.server.Push(SoapOk(Frame("heartbeat_rsp", OkHead(2), "<heartbeat_rsp/>")));
    t.request = t.channel.NewRequest("heartbeat");
    EXPECT_EQ(t.channel.Send(*t.request, &t.reply), SendResult::kReply);

    // A token may outlive its channel.
    auto orphan = std::make_unique<CSoapChannel>(soapchannel::HeartBeatProfile());
    std::shared_ptr<CSoapCancel> kept = orphan->GetCancelToken();
    orphan.reset();
    kept->Cancel();
}

// A transfer in which no byte moves fails after the stall time, long before the profile's
// deadline: the transmitter's is six minutes, and a chunk exchange that went silent must not hold
// the worker that long.
TEST(SoapChannel, SilenceFailsTheCallLongBeforeItsDeadline) {
    const std::string answer = SoapOk(Frame("upload_chunk_rsp", OkHead(1), "<upload_chunk_rsp/>"));
    struct Case {
        const char* name;
        CannedHttpServer::Reply reply;
    };
    CannedHttpServer::Reply silent;
    silent.bytes = answer;
    silent.delayMs = 120000;
    CannedHttpServer::Reply midReply;  // the head and a few bytes, then nothing
    midReply.bytes = answer;
    midReply.pieceSize = answer.find("\r\n\r\n") + 10;
    midReply.pieceDelayMs = 120000;
    const Case cases[] = {{"silent before answering", silent},
                          {"stalls in the middle of the reply", midReply}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Canned t(soapchannel::TransmitterProfile());
        EXPECT_LT(t.channel.StallMs(), t.channel.DeadlineMs() / 4) << "the default stall time";
        t.channel.SetStallMs(1000);
        t.server.Push(c.reply);
        t.request = t.channel.NewRequest("upload_chunk");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(t.channel.Send(*t.request, &t.reply), SendResult::kNoReply);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(30)) << "the answer would have come after 120 s";
        EXPECT_EQ(t.channel.LastErrorCode(), 28);  // CURLE_OPERATION_TIMEDOUT
        EXPECT_TRUE(t.channel.LastCallUnanswered());
    }
}

// The owner's abort ends a call in flight within the poll interval, is a cancel (not a service
// that did not answer), and a call after it runs normally.
TEST(SoapChannel, AbortEndsTheCallInFlight) {
    Canned t(soapchannel::BackProfile());
    CannedHttpServer::Reply stall;
    stall.bytes = SoapOk(Frame("login_rsp", OkHead(1), "<login_rsp/>"));
    stall.delayMs = 60000;
    t.server.Push(stall);
    std::atomic<bool> abort{false};
    t.channel.SetAbort([&abort] { return abort.load(); });

    std::atomic<int> result{-1};
    std::atomic<long long> endedMs{0};
    t.request = t.channel.NewRequest("login");
    const auto start = std::chrono::steady_clock::now();
    auto sinceStart = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    };
    std::thread caller([&] {
        result = static_cast<int>(t.channel.Send(*t.request, &t.reply));
        endedMs = sinceStart();
    });
    ASSERT_TRUE(t.server.WaitForRequests(1, 10000));
    const long long abortedAt = sinceStart();
    abort.store(true);
    caller.join();
    EXPECT_EQ(result.load(), static_cast<int>(SendResult::kCancelled));
    EXPECT_LT(endedMs.load() - abortedAt, 3000) << "polled every " << CSoapChannel::kAbortPollMs << " ms";
    EXPECT_FALSE(t.channel.LastCallUnanswered());

    abort.store(false);
    t.server.Push(SoapOk(Frame("login_rsp", OkHead(2), "<login_rsp/>")));
    t.request = t.channel.NewRequest("login");
    EXPECT_EQ(t.channel.Send(*t.request, &t.reply), SendResult::kReply);
}

// Which failures mean "the service did not answer" (a sign-in tries again later) and which are
// answers: a refusal or a reply that is not SOAP at all is not retried.
TEST(SoapChannel, UnansweredCallsAreToldFromAnswers) {
    struct Case {
        const char* name;
        CannedHttpServer::Reply reply;
        int deadlineMs;
        bool unanswered;
    };
    CannedHttpServer::Reply late;
    late.bytes = SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp/>"));
    late.delayMs = 20000;
    CannedHttpServer::Reply dropped;
    dropped.close = true;
    const Case cases[] = {
        {"time-out", late, 300, true},
        {"connection closed without an answer", dropped, 10000, true},
        {"gateway error", {CannedHttpServer::Response(503, "text/html", "<html>busy</html>")}, 10000, true},
        {"server error page",
         {CannedHttpServer::Response(500, "text/html", "<html>oops</html>")},
         10000,
         false},
        {"refusal",
         {SoapOk(Frame("x_rsp", "<response_head result=\"fail\"><reason>8</reason></response_head>", ""))},
         10000,
         false},
        {"answer", {SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp/>"))}, 10000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Canned t(soapchannel::BackProfile());
        t.channel.SetDeadlineMs(c.deadlineMs);
        t.server.Push(c.reply);
        std::string ack;
        t.Call("x", &ack);
        EXPECT_EQ(t.channel.LastCallUnanswered(), c.unanswered);
    }
    // Nothing listening at all.
    int port;
    {
        CannedHttpServer gone;
        ASSERT_TRUE(gone.Start());
        port = gone.Port();
    }
    CSoapChannel ch(soapchannel::BackProfile());
    ASSERT_TRUE(ch.Init("http://127.0.0.1:" + std::to_string(port) + "/bs", "alice", "pw", "h", ""));
    auto req = ch.NewRequest("login");
    CSoapReply reply;
    EXPECT_EQ(ch.Send(*req, &reply), SendResult::kNoReply);
    EXPECT_TRUE(ch.LastCallUnanswered());
}

TEST(SoapChannel, TransportFailuresAndAnUninitialisedChannel) {
    testsupport::LogCapture log;
    CannedHttpServer closed;
    ASSERT_TRUE(closed.Start());
    std::string url = closed.Url("/x");
    int port = closed.Port();
    (void)port;
    CSoapChannel ch(soapchannel::BackProfile());
    CSoapReply reply;
    std::string ack = "untouched";
    pugi::xml_node body;
    auto req = ch.NewRequest("x");
    EXPECT_EQ(ch.Call(*req, "CTest::Op", "op time out!", &ack, &reply, &body), Result::kFailed);
    EXPECT_EQ(ack, "untouched");

    // A connection closed without an answer.
    CannedHttpServer::Reply drop;
    drop.close = true;
    closed.Push(drop);
    ASSERT_TRUE(ch.Init(url, "alice", "pw", "h", ""));
    req = ch.NewRequest("x");
    EXPECT_EQ(ch.Call(*req, "CTest::Op", "op time out!", &ack, &reply, &body), Result::kFailed);
    EXPECT_EQ(ack, "untouched");
    EXPECT_NE(ch.LastErrorCode(), 0);
    EXPECT_FALSE(ch.LastErrorMessage().empty());
    EXPECT_FALSE(log.Contains("op time out!"));
}

TEST(SoapChannel, NothingListensAtTheEndpoint) {
    int port;
    {
        CannedHttpServer gone;
        ASSERT_TRUE(gone.Start());
        port = gone.Port();
    }
    CSoapChannel ch(soapchannel::HeartBeatProfile());
    ASSERT_TRUE(ch.Init("http://127.0.0.1:" + std::to_string(port) + "/hb", "alice", "pw", "h", ""));
    auto req = ch.NewRequest("heartbeat");
    CSoapReply reply;
    EXPECT_EQ(ch.Send(*req, &reply), SendResult::kNoReply);
    EXPECT_EQ(ch.LastErrorCode(), 7);  // CURLE_COULDNT_CONNECT
    EXPECT_FALSE(reply.Payload());
}

TEST(SoapChannel, Proxies) {
    testsupport::ScopedEnv env;
    env.Unset("HTTP_PROXY");
    env.Unset("no_proxy");
    env.Unset("NO_PROXY");
    const std::string endpoint = "http://10.255.255.1:81/axis2/services/mirn_service_bs";
    struct Case {
        const char* kind;
        bool viaEnv;
        const char* user;
        std::string expect;  // start of what the proxy receives
    } cases[] = {
        {"HTTP", false, "", "POST " + endpoint + " HTTP/1.1"},
        {"HTTP", false, "puser", "POST " + endpoint + " HTTP/1.1"},
        {"浏览器设置", true, "", "POST " + endpoint + " HTTP/1.1"},
        {"SOCKS5", false, "", std::string("\x05", 1)},
        {"SOCKS4", false, "", std::string("\x04\x01\x00\x51", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.user);
        CannedHttpServer proxy;
        ASSERT_TRUE(proxy.Start());
        proxy.Push(SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp/>")));
        std::string address = "127.0.0.1:" + std::to_string(proxy.Port());
        if (c.viaEnv)
            env.Set("http_proxy", "http://" + address);
        else
            env.Unset("http_proxy");
        CSoapChannel ch(soapchannel::BackProfile());
        ch.SetProxy(c.kind, c.viaEnv ? "" : address, c.user, "ppass");
        ch.SetDeadlineMs(2000);
        ASSERT_TRUE(ch.Init(endpoint, "alice", "pw", "h", ""));
        auto req = ch.NewRequest("x");
        CSoapReply reply;
        std::string ack;
        pugi::xml_node body;
        Result r = ch.Call(*req, "CTest::Op", "op time out!", &ack, &reply, &body);
        ASSERT_TRUE(proxy.WaitForRequests(1, 5000));
        std::string head = proxy.Requests()[0].head;
        EXPECT_EQ(head.substr(0, c.expect.size()), c.expect);
        if (c.expect[0] == 'P') {
            EXPECT_EQ(r, Result::kOk);
            std::string auth = proxy.Requests()[0].Header("Proxy-Authorization");
            EXPECT_EQ(auth, *c.user ? "Basic " + base64::Encode("puser:ppass", 11) : std::string());
        } else {
            EXPECT_EQ(r, Result::kFailed);
        }
    }

    // No proxy kind: direct, even when the environment names a proxy.
    CannedHttpServer service;
    ASSERT_TRUE(service.Start());
    service.Push(SoapOk(Frame("x_rsp", OkHead(1), "<x_rsp/>")));
    env.Set("http_proxy", "http://127.0.0.1:9");
    CSoapChannel ch(soapchannel::BackProfile());
    ch.SetProxy("", "127.0.0.1:9", "", "");
    ASSERT_TRUE(ch.Init(service.Url("/axis2/services/mirn_service_bs"), "alice", "pw", "h", ""));
    auto req = ch.NewRequest("x");
    CSoapReply reply;
    std::string ack;
    pugi::xml_node body;
    EXPECT_EQ(ch.Call(*req, "CTest::Op", "op time out!", &ack, &reply, &body), Result::kOk);
    EXPECT_EQ(service.Requests()[0].RequestLine(), "POST /axis2/services/mirn_service_bs HTTP/1.1");
}

// --------------------------------------------------------------------------------------------
// The reference service.

class ChannelAgainstService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        CAuth auth;
        ASSERT_TRUE(
            auth.Init(server.BaseUrl(), testsupport::TestServer::kUser, testsupport::TestServer::kPassword));
        ASSERT_TRUE(auth.Request(&passport, "", "")) << auth.GetResponseCode();
        ASSERT_TRUE(back.Init(auth.GetBackServer(), "alice", "pw-alice", "", ""));
        back.SetCredentials("alice", "pw-alice", passport);
        auto req = back.NewRequest("obtain_host_id");
        req->Body().append_attribute("computer_name") = "TESTBOX";
        std::string ack;
        pugi::xml_node body;
        ASSERT_EQ(back.Call(*req, "CBack::GetHostID", "get host id time out!", &ack, &reply, &body),
                  Result::kOk);
        host = body.attribute("host_id").value();
        ASSERT_EQ(host.size(), 32u);
        back.SetHostID(host);
        ASSERT_EQ(Login(&ack), Result::kOk);
        ASSERT_TRUE(trs.Init(auth.GetTransmitterServer(), "alice", "pw-alice", host, ""));
        ASSERT_TRUE(hb.Init(auth.GetHeartBeatServer(), "alice", "pw-alice", host, ""));
    }

    Result Login(std::string* ack) {
        auto req = back.NewRequest("login");
        req->Body().append_attribute("account") = "alice";
        pugi::xml_node body;
        return back.Call(*req, "CBack::Login", "login time out!", ack, &reply, &body);
    }

    testsupport::TestServer server;
    std::string passport, host;
    CSoapChannel back{soapchannel::BackProfile()};
    CSoapChannel trs{soapchannel::TransmitterProfile()};
    CSoapChannel hb{soapchannel::HeartBeatProfile()};
    CSoapReply reply;
};

TEST_F(ChannelAgainstService, InjectedFaults) {
    testsupport::LogCapture log;
    std::string ack;
    ASSERT_TRUE(server.Fault("login", "refuse", 1, 8));
    EXPECT_EQ(Login(&ack), Result::kRefused);
    EXPECT_EQ(ack, "fail");
    EXPECT_EQ(back.GetLastReason(), "8");

    ASSERT_TRUE(server.Fault("login", "delay"));
    EXPECT_EQ(Login(&ack), Result::kRefused);
    EXPECT_EQ(ack, "delay");

    back.SetDeadlineMs(1000);
    ack = "untouched";
    ASSERT_TRUE(server.Fault("login", "stall", 1, -1, 3000));
    EXPECT_EQ(Login(&ack), Result::kFailed);
    EXPECT_EQ(ack, "untouched");
    EXPECT_EQ(log.LastError(), "login time out!");

    ASSERT_TRUE(server.Fault("login", "drop"));
    EXPECT_EQ(Login(&ack), Result::kFailed);
    EXPECT_EQ(ack, "untouched");

    back.SetDeadlineMs(soapchannel::BackProfile().deadlineMs);
    EXPECT_EQ(Login(&ack), Result::kOk);
    EXPECT_EQ(back.GetLastReason(), "");
}

TEST_F(ChannelAgainstService, ChunkUpAndDownAsAttachmentsAndTheSequenceCheck) {
    std::string bytes = RandomBytes(1024 * 1024 + 3, 11);
    std::string md5;
    ASSERT_TRUE(CUtil::GetMd5String(bytes.data(), bytes.size(), &md5));
    std::string ack;
    pugi::xml_node body;

    auto up = back.NewRequest("upload_file");
    pugi::xml_node u = up->Body();
    u.append_attribute("file_name") = "alice/chan.bin";
    u.append_attribute("dir_flag") = "no";
    u.append_attribute("file_size") = std::to_string(bytes.size()).c_str();
    u.append_attribute("modify_time") = "130000000000000000";
    u.append_attribute("new_chunk_num") = "1";
    u.append_attribute("new_file_flag") = "yes";
    u.append_attribute("old_chunk_num") = "0";
    pugi::xml_node nc = u.append_child("new_chunk");
    nc.append_attribute("MD5") = md5.c_str();
    nc.append_attribute("chunk_size") = std::to_string(bytes.size()).c_str();
    nc.append_attribute("block_num") = "0";
    ASSERT_EQ(back.Call(*up, "CBack::Upload", "upload time out!", &ack, &reply, &body), Result::kOk);
    pugi::xml_node next = body.child("next_op");
    ASSERT_STREQ(next.attribute("op").value(), "upload_chunk");
    std::string storageKey = next.child("storage_key").text().get();

    auto put = trs.NewRequest("upload_chunk");
    put->Body().append_attribute("MD5") = md5.c_str();
    put->Body().append_attribute("storage_key") = storageKey.c_str();
    put->Body().append_attribute("chunk_size") = std::to_string(bytes.size()).c_str();
    put->Body().append_attribute("delta_flag") = "no";
    put->Attach(put->Body().append_child("content"), bytes);
    CSoapReply putReply;
    ASSERT_EQ(trs.Call(*put, "CTransmitter::UploadChunk", "upload chunk time out!", &ack, &putReply, &body),
              Result::kOk);
    EXPECT_STREQ(body.attribute("storage_key").value(), storageKey.c_str());

    auto get = trs.NewRequest("download_chunk");
    get->Body().append_attribute("MD5") = md5.c_str();
    get->Body().append_attribute("storage_key") = storageKey.c_str();
    CSoapReply getReply;
    ASSERT_EQ(
        trs.Call(*get, "CTransmitter::DownloadChunk", "download chunk time out!", &ack, &getReply, &body),
        Result::kOk);
    std::string_view got;
    std::string storage, error;
    ASSERT_TRUE(getReply.ReadBinary(body.child("content"), &got, &storage, &error)) << error;
    EXPECT_TRUE(got == bytes);
    EXPECT_TRUE(storage.empty()) << "the attachment is read in place, not decoded";

    testsupport::LogCapture log;
    ASSERT_TRUE(server.Fault("download_chunk", "bad_sequence"));
    auto again = trs.NewRequest("download_chunk");
    again->Body().append_attribute("MD5") = md5.c_str();
    again->Body().append_attribute("storage_key") = storageKey.c_str();
    ack = "untouched";
    EXPECT_EQ(
        trs.Call(*again, "CTransmitter::DownloadChunk", "download chunk time out!", &ack, &getReply, &body),
        Result::kFailed);
    EXPECT_TRUE(log.Contains("Mismatched CSEQ " + std::to_string(again->Sequence() + 1) + " with " +
                             std::to_string(again->Sequence())));
    EXPECT_EQ(ack, "untouched");

    auto beat = hb.NewRequest("heartbeat");
    CSoapReply beatReply;
    ASSERT_EQ(hb.Send(*beat, &beatReply), SendResult::kReply);
    EXPECT_STREQ(beatReply.Payload().attribute("name").value(), "heartbeat_rsp");
}

}  // namespace
