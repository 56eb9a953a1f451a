// The shared codecs: SOAP envelopes (1.2 written, 1.1 and 1.2 read, faults) and MTOM packaging
// with its bounded parser and the two ways an element can carry bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/mtom.h"
#include "service/soapcodec.h"
#include "util/base64.h"

namespace {

TEST(SoapCodec, WritesSoap12AndReadsItBack) {
    pugi::xml_document payload;
    pugi::xml_node op = payload.append_child("operation");
    op.append_attribute("name") = "login";
    op.append_child("request_head").append_attribute("user_name") = "a&b<c\"";
    std::string text = soap::BuildEnvelope(op);
    EXPECT_NE(text.find("http://www.w3.org/2003/05/soap-envelope"), std::string::npos);
    EXPECT_STREQ(soap::ContentType(soap::Version::k12), "application/soap+xml; charset=UTF-8");

    soap::Envelope env;
    std::string error;
    ASSERT_TRUE(env.Parse(text.data(), text.size(), &error)) << error;
    EXPECT_EQ(env.version(), soap::Version::k12);
    EXPECT_FALSE(env.IsFault());
    EXPECT_STREQ(env.Payload().name(), "operation");
    EXPECT_STREQ(env.Payload().child("request_head").attribute("user_name").value(), "a&b<c\"");
}

TEST(SoapCodec, ReadsSoap11WithAnyPrefixAndSkipsHeaders) {
    std::string text =
        "<?xml version=\"1.0\"?>\n<S:Envelope xmlns:S=\"http://schemas.xmlsoap.org/soap/envelope/\">\n"
        "  <S:Header><x/></S:Header>\n  <S:Body>\n    <operation name=\"heartbeat_rsp\"/>\n  </S:Body>\n"
        "</S:Envelope>";
    soap::Envelope env;
    ASSERT_TRUE(env.Parse(text.data(), text.size(), nullptr));
    EXPECT_EQ(env.version(), soap::Version::k11);
    EXPECT_STREQ(env.Payload().attribute("name").value(), "heartbeat_rsp");
    // The default namespace works as well as a prefix.
    std::string plain =
        "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Body><op/></Body></Envelope>";
    ASSERT_TRUE(env.Parse(plain.data(), plain.size(), nullptr));
    EXPECT_STREQ(env.Payload().name(), "op");
}

TEST(SoapCodec, RecognisesFaultsOfBothVersions) {
    for (soap::Version v : {soap::Version::k12, soap::Version::k11}) {
        std::string text = soap::BuildFault(v == soap::Version::k12 ? "Sender" : "Client", "bad request", v);
        soap::Envelope env;
        ASSERT_TRUE(env.Parse(text.data(), text.size(), nullptr));
        EXPECT_TRUE(env.IsFault());
        EXPECT_EQ(env.fault().code, v == soap::Version::k12 ? "Sender" : "Client");
        EXPECT_EQ(env.fault().reason, "bad request");
    }
    std::string axis =
        "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>"
        "<soapenv:Fault><faultcode>soapenv:Server</faultcode><faultstring>boom</faultstring>"
        "</soapenv:Fault></soapenv:Body></soapenv:Envelope>";
    soap::Envelope env;
    ASSERT_TRUE(env.Parse(axis.data(), axis.size(), nullptr));
    EXPECT_TRUE(env.IsFault());
    EXPECT_EQ(env.fault().code, "Server");
    EXPECT_EQ(env.fault().reason, "boom");
    // An element named Fault outside the SOAP namespace is an ordinary payload.
    std::string own =
        "<e:Envelope "
        "xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body><Fault/></e:Body></e:Envelope>";
    ASSERT_TRUE(env.Parse(own.data(), own.size(), nullptr));
    EXPECT_FALSE(env.IsFault());
}

TEST(SoapCodec, RefusesCharactersXmlDoesNotAllowInsteadOfCuttingValues) {
    auto parse = [](const std::string& value) {
        std::string text =
            "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body><op n=\"" + value +
            "\"/></e:Body></e:Envelope>";
        soap::Envelope env;
        return env.Parse(text.data(), text.size(), nullptr)
                   ? std::string(env.Payload().attribute("n").value())
                   : std::string("refused");
    };
    for (const char* bad :
         {"a&#0;b", "a&#x0;b", "a&#x000;b", "a&#1;b", "a&#xD800;b", "a&#xFFFE;b", "a&#99999999999;b"})
        EXPECT_EQ(parse(bad), "refused") << bad;
    EXPECT_EQ(parse(std::string("a\0b", 3)), "refused");
    EXPECT_EQ(parse("a&#x4E2D;b"),
              "a\xe4\xb8\xad"
              "b");
    EXPECT_EQ(parse("a&#65;&#x9;b"), "aA\tb");
    EXPECT_EQ(parse("a&amp;#0;b"), "a&#0;b") << "an escaped ampersand is text";
    EXPECT_EQ(parse("a&#;b&#x;"), "a&#;b&#x;") << "references without digits stay text";
}

TEST(SoapCodec, RefusesWhatIsNotAnEnvelope) {
    const char* cases[] = {
        "",
        "<operation/>",
        "<e:Envelope xmlns:e=\"urn:other\"><e:Body/></e:Envelope>",
        "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"></e:Envelope>",
        "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body>",
    };
    for (const char* c : cases) {
        soap::Envelope env;
        std::string error;
        EXPECT_FALSE(env.Parse(c, std::strlen(c), &error)) << c;
        EXPECT_FALSE(error.empty()) << c;
    }
}

// Bytes that look like MIME structure: CRLFs, dashes and the boundary prefix without its tail.
std::string Awkward() {
    std::string s = "\r\n--\r\n\r\n--MIMEBoundary_\r\n";
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    return s + "\r\n--";
}

TEST(Mtom, PackagesBytesAsAnAttachmentAndParsesThemBackWithoutCopy) {
    std::string bytes = Awkward();
    mtom::Package pkg;
    std::string cid = pkg.AddAttachment(bytes);
    soap::EnvelopeWriter w;
    pugi::xml_node content = w.Body().append_child("upload_chunk").append_child("content");
    mtom::AddXopInclude(content, cid);
    pkg.SetRoot(w.ToString());
    std::string type = pkg.ContentType();
    EXPECT_EQ(mtom::MediaType(type), "multipart/related");
    EXPECT_EQ(mtom::HeaderParam(type, "type"), "application/xop+xml");
    EXPECT_EQ(pkg.Pieces()[3].data(), bytes.data()) << "the attachment is borrowed, not copied";
    std::string body = pkg.Flatten();
    EXPECT_EQ(body.size(), pkg.Size());

    mtom::Message msg;
    std::string error;
    ASSERT_TRUE(mtom::Parse(type, body.data(), body.size(), &msg, &error)) << error;
    EXPECT_TRUE(msg.multipart);
    ASSERT_EQ(msg.attachments.size(), 1u);
    EXPECT_EQ(msg.attachments[0].bytes, bytes);
    EXPECT_GE(msg.attachments[0].bytes.data(), body.data());
    EXPECT_LT(msg.attachments[0].bytes.data(), body.data() + body.size());
    soap::Envelope env;
    ASSERT_TRUE(env.Parse(msg.root.data(), msg.root.size(), &error)) << error;
    std::string_view got;
    std::string storage;
    ASSERT_TRUE(mtom::ReadBinary(env.Payload().child("content"), msg, &got, &storage, &error)) << error;
    EXPECT_EQ(got, bytes);
}

TEST(Mtom, ReadsAttachmentsAsIncludeOrInlineBase64) {
    std::string type = "multipart/related; boundary=BB; start=\"<root>\"";
    std::string body =
        "preamble\r\n--BB\r\nContent-ID: <part%1>\r\n\r\nDATA\r\n--BB\nContent-Id: <root>\n\n<r/>\r\n--BB--";
    mtom::Message msg;
    std::string error;
    ASSERT_TRUE(mtom::Parse(type, body.data(), body.size(), &msg, &error)) << error;
    EXPECT_EQ(msg.root, "<r/>");
    ASSERT_NE(msg.Find("cid:part%251"), nullptr) << "the href is percent-decoded";
    EXPECT_EQ(msg.Find("cid:part%251")->bytes, "DATA");
    EXPECT_EQ(msg.Find("cid:other"), nullptr);

    struct Case {
        const char* xml;
        bool ok;
        const char* bytes;
    } cases[] = {
        {"<c><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" href=\"cid:part%251\"/></c>",
         true, "DATA"},
        {"<c>\n  YWJj\n  ZA==\n</c>", true, "abcd"},
        {"<c></c>", true, ""},
        {"<c>YWJ</c>", false, ""},
        {"<c>YW=j</c>", false, ""},
        {"<c>Y*Jj</c>", false, ""},
        {"<c><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" href=\"cid:none\"/></c>", false,
         ""},
        {"<c><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\"/></c>", false, ""},
    };
    for (const Case& k : cases) {
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_string(k.xml)) << k.xml;
        std::string_view got;
        std::string storage;
        EXPECT_EQ(mtom::ReadBinary(doc.first_child(), msg, &got, &storage, &error), k.ok) << k.xml;
        if (k.ok) {
            EXPECT_EQ(got, k.bytes) << k.xml;
        }
    }
}

TEST(Mtom, RefusesMalformedBodiesCleanly) {
    std::string many;
    for (size_t i = 0; i <= mtom::kMaxParts; ++i)
        many += "--b\r\n\r\nx\r\n";
    many += "--b--";
    struct Case {
        const char* name;
        std::string type;
        std::string body;
    } cases[] = {
        {"no boundary parameter", "multipart/related", "--b\r\n\r\nx\r\n--b--"},
        {"boundary absent from the body", "multipart/related; boundary=b", "nothing here"},
        {"boundary of 71 characters", "multipart/related; boundary=" + std::string(71, 'b'), "x"},
        {"no closing delimiter", "multipart/related; boundary=b", "--b\r\n\r\nroot"},
        {"cut inside part headers", "multipart/related; boundary=b", "--b\r\nContent-ID: <x>"},
        {"cut after a delimiter", "multipart/related; boundary=b", "--b"},
        {"garbage after a delimiter", "multipart/related; boundary=b", "--bX\r\n\r\nx\r\n--b--"},
        {"only the closing delimiter", "multipart/related; boundary=b", "--b--"},
        {"start names a missing part", "multipart/related; boundary=b; start=\"<r>\"",
         "--b\r\n\r\nx\r\n--b--"},
        {"too many parts", "multipart/related; boundary=b", many},
        {"endless part headers", "multipart/related; boundary=b",
         "--b\r\nX-Pad: " + std::string(mtom::kMaxPartHeaderBytes + 10, 'a') + "\r\n\r\nx\r\n--b--"},
        {"base64 transfer encoding", "multipart/related; boundary=b",
         "--b\r\nContent-Transfer-Encoding: base64\r\n\r\nYWJj\r\n--b--"},
    };
    for (const Case& k : cases) {
        mtom::Message msg;
        std::string error;
        EXPECT_FALSE(mtom::Parse(k.type, k.body.data(), k.body.size(), &msg, &error)) << k.name;
        EXPECT_FALSE(error.empty()) << k.name;
    }
    // A plain SOAP body passes through whole.
    mtom::Message msg;
    ASSERT_TRUE(mtom::Parse("application/soap+xml; charset=UTF-8", "<x/>", 4, &msg, nullptr));
    EXPECT_FALSE(msg.multipart);
    EXPECT_EQ(msg.root, "<x/>");
}

TEST(Mtom, HeaderParametersAreReadLikeMime) {
    std::string h = "Multipart/Related ; Boundary=\"a \\\"q\\\" b\"; type=application/xop+xml;start=<x>";
    EXPECT_EQ(mtom::MediaType(h), "multipart/related");
    EXPECT_EQ(mtom::HeaderParam(h, "boundary"), "a \"q\" b");
    EXPECT_EQ(mtom::HeaderParam(h, "TYPE"), "application/xop+xml");
    EXPECT_EQ(mtom::HeaderParam(h, "start"), "<x>");
    bool found = true;
    EXPECT_EQ(mtom::HeaderParam(h, "charset", &found), "");
    EXPECT_FALSE(found);
}

}  // namespace
