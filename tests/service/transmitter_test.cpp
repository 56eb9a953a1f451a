// The chunk transmitter: request bodies, chunk records refused before any request, download
// replies of our service and of other SOAP stacks (MTOM with and without XOP, SOAP 1.1 inline
// Base64), malformed, truncated, oversized and misdirected replies that must leave the caller's
// buffer alone; then the reference service: whole and delta round trips and its injected faults.
#include "service/transmitter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "service/mtom.h"
#include "store/delta.h"
#include "store/fileinfo.h"
#include "support/cannedhttp.h"
#include "support/hostsession.h"
#include "support/logcapture.h"
#include "support/randombytes.h"
#include "support/testserver.h"
#include "util/base64.h"
#include "util/util.h"

namespace {

using testsupport::CannedHttpServer;

const char* kNs12 = "http://www.w3.org/2003/05/soap-envelope";
const char* kNs11 = "http://schemas.xmlsoap.org/soap/envelope/";
const char* kStorageKey = "sk0123456789abcdef0123456789abcdef";

using testsupport::RandomBytes;

std::string Md5(const std::string& bytes) {
    std::string md5;
    CUtil::GetMd5String(bytes.data(), bytes.size(), &md5);
    return md5;
}

CChunkInfo Chunk(const std::string& bytes, const std::string& storageKey = kStorageKey) {
    CChunkInfo c(Md5(bytes));
    c.storageKey = storageKey;
    c.size = static_cast<int32_t>(bytes.size());
    return c;
}

CChunkBuffer Buffer(const std::string& bytes) {
    CChunkBuffer b(bytes.size());
    std::memcpy(b.GetData(), bytes.data(), bytes.size());
    b.SetSize(bytes.size());
    return b;
}

std::string B64(const std::string& bytes) {
    return base64::Encode(bytes.data(), bytes.size());
}

std::string Bytes(const CChunkBuffer& b) {
    return std::string(reinterpret_cast<const char*>(b.GetData()), b.GetSize());
}

std::string Frame(const std::string& rsp, int seq, const std::string& inner, const std::string& md5,
                  const std::string& key = kStorageKey) {
    return "<operation name=\"" + rsp +
           "\" version=\"version01\"><response_head result=\"OK\" rsp_sequence=\"" + std::to_string(seq) +
           "\"/><" + rsp + " MD5=\"" + md5 + "\" storage_key=\"" + key + "\">" + inner + "</" + rsp +
           "></operation>";
}

std::string Envelope(const std::string& payload, const char* ns = kNs12) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope xmlns:soapenv=\"") + ns +
           "\"><soapenv:Body>" + payload + "</soapenv:Body></soapenv:Envelope>";
}

// A body laid out the way a mainstream SOAP stack sends MTOM: its own boundary and Content-IDs,
// the root named by "start", the chunk as a binary part after it.
std::string StackMtomBody(const std::string& payload, const std::string& attachment,
                          const std::string& partId = "1.chunk@apache.org") {
    return "--MIMEBoundary_7f3a\r\n"
           "Content-Type: application/xop+xml; charset=UTF-8; type=\"application/soap+xml\"\r\n"
           "Content-Transfer-Encoding: binary\r\n"
           "Content-ID: <0.root@apache.org>\r\n\r\n" +
           Envelope(payload) +
           "\r\n--MIMEBoundary_7f3a\r\n"
           "Content-Type: application/octet-stream\r\n"
           "Content-Transfer-Encoding: binary\r\n"
           "Content-ID: <" +
           partId + ">\r\n\r\n" + attachment + "\r\n--MIMEBoundary_7f3a--\r\n";
}

const char* kStackMtomType =
    "multipart/related; boundary=MIMEBoundary_7f3a; type=\"application/xop+xml\"; "
    "start=\"<0.root@apache.org>\"; start-info=\"application/soap+xml\"";

std::string StackMtom(const std::string& payload, const std::string& attachment) {
    return CannedHttpServer::Response(200, kStackMtomType, StackMtomBody(payload, attachment));
}

std::string XopContent() {
    return "<content><xop:Include xmlns:xop=\"http://www.w3.org/2004/08/xop/include\" "
           "href=\"cid:1.chunk@apache.org\"/></content>";
}

std::string Plain(const std::string& payload, const char* ns = kNs12) {
    return CannedHttpServer::Response(
        200, ns == kNs12 ? "application/soap+xml; charset=UTF-8" : "text/xml; charset=UTF-8",
        Envelope(payload, ns));
}

// A transmitter pointed at a canned service.
struct Canned {
    Canned() {
        EXPECT_TRUE(server.Start());
        EXPECT_TRUE(
            trs.Init(server.Url("/axis2/services/mirn_service_trs"), "alice", "pw-alice", "host-1", ""));
    }
    CannedHttpServer server;
    CTransmitter trs;
};

// The operation element of a request as the service received it.
struct Received {
    explicit Received(const CannedHttpServer::Request& r) {
        std::string error;
        EXPECT_TRUE(message.Parse(r.Header("Content-Type"), r.body, 200, &error)) << error;
    }
    pugi::xml_node op() const { return message.Payload(); }
    CSoapReply message;
};

std::vector<std::string> AttributeNames(const pugi::xml_node& n) {
    std::vector<std::string> out;
    for (pugi::xml_attribute a : n.attributes())
        out.push_back(std::string(a.name()) + "=" + a.value());
    return out;
}

// --------------------------------------------------------------------------------------------

TEST(Transmitter, RequestBodiesOfTheThreeOperations) {
    Canned t;
    std::string bytes = RandomBytes(5000, 1);
    CChunkInfo c = Chunk(bytes);
    t.server.Push(Plain(Frame("download_chunk_rsp", 1, "<content>" + B64(bytes) + "</content>", c.key)));
    t.server.Push(Plain(Frame("upload_chunk_rsp", 2, "", c.key)));
    t.server.Push(Plain(Frame("upload_chunk_rsp", 3, "", c.key)));
    t.server.Push(Plain(Frame("remove_chunk_rsp", 4, "", c.key)));

    std::string ack;
    CChunkBuffer got;
    ASSERT_TRUE(t.trs.DownloadChunk(c, &ack, &got));
    EXPECT_EQ(ack, "OK");
    EXPECT_EQ(Bytes(got), bytes);
    CChunkBuffer whole = Buffer(bytes);
    CChunkBuffer delta = Buffer("a delta of 25 bytes......");
    EXPECT_TRUE(t.trs.UploadChunk(c, whole, &ack, false));
    EXPECT_TRUE(t.trs.UploadChunk(c, delta, &ack, true));
    EXPECT_EQ(Bytes(whole), bytes) << "the caller's buffer stays the caller's";
    EXPECT_TRUE(t.trs.RemoveChunk(c, &ack));

    std::vector<CannedHttpServer::Request> requests = t.server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    struct Case {
        const char* name;
        std::vector<std::string> attributes;
        std::string sent;  // bytes in content; empty for no content
    } cases[] = {
        {"download_chunk", {"MD5=" + c.key, std::string("storage_key=") + kStorageKey}, ""},
        {"upload_chunk",
         {"MD5=" + c.key, std::string("storage_key=") + kStorageKey, "chunk_size=5000", "delta_flag=no"},
         bytes},
        {"upload_chunk",
         {"MD5=" + c.key, std::string("storage_key=") + kStorageKey, "chunk_size=25", "delta_flag=yes"},
         "a delta of 25 bytes......"},
        {"remove_chunk", {"MD5=" + c.key, std::string("storage_key=") + kStorageKey}, ""},
    };
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        Received r(requests[i]);
        pugi::xml_node op = r.op();
        EXPECT_EQ(AttributeNames(op),
                  (std::vector<std::string>{std::string("name=") + cases[i].name, "version=version01"}));
        pugi::xml_node head = op.child("request_head");
        EXPECT_EQ(AttributeNames(head),
                  (std::vector<std::string>{"user_name=alice",
                                            "password=" + soapchannel::PasswordDigest("pw-alice"),
                                            "req_sequence=" + std::to_string(i + 1)}));
        EXPECT_STREQ(head.child_value("host_id"), "host-1");
        pugi::xml_node body = head.next_sibling();
        EXPECT_STREQ(body.name(), cases[i].name);
        EXPECT_EQ(AttributeNames(body), cases[i].attributes);
        if (!cases[i].sent.empty()) {
            std::string_view sent;
            std::string storage, error;
            ASSERT_TRUE(r.message.ReadBinary(body.child("content"), &sent, &storage, &error)) << error;
            EXPECT_TRUE(sent == cases[i].sent);
            EXPECT_TRUE(storage.empty()) << "sent as an attachment, not inline";
        } else {
            EXPECT_FALSE(body.first_child());
        }
    }
}

TEST(Transmitter, ChunkRecordsAndBuffersRefusedBeforeAnyRequest) {
    Canned t;
    testsupport::LogCapture log;
    std::string bytes = RandomBytes(100, 2);
    CChunkInfo good = Chunk(bytes);
    struct Case {
        const char* what;
        std::string key, storageKey;
        int32_t size;
        const char* message;
    } downloads[] = {
        {"no key", "", kStorageKey, 100,
         "Fail to download for Missing chunk info: ChunkID {}, StorageKey "
         "{sk0123456789abcdef0123456789abcdef}, "
         "ChunkSize {100}"},
        {"no storage key", good.key, "", 100, "StorageKey {}, ChunkSize {100}"},
        {"size 0", good.key, kStorageKey, 0, "ChunkSize {0}"},
        {"negative size", good.key, kStorageKey, -5, "Fail to download for Invalid chunk info"},
        {"beyond a chunk", good.key, kStorageKey, 4194305, "Fail to download for Invalid chunk info"},
    };
    for (const Case& c : downloads) {
        SCOPED_TRACE(c.what);
        CChunkInfo chunk(c.key);
        chunk.storageKey = c.storageKey;
        chunk.size = c.size;
        CChunkBuffer buffer = Buffer("keep");
        std::string ack = "untouched";
        EXPECT_FALSE(t.trs.DownloadChunk(chunk, &ack, &buffer));
        EXPECT_EQ(ack, "untouched");
        EXPECT_EQ(Bytes(buffer), "keep");
        EXPECT_TRUE(log.Contains(c.message));
    }

    struct Upload {
        const char* what;
        std::string key, storageKey;
        size_t size;
        bool delta;
        const char* message;
    } uploads[] = {
        {"no key", "", kStorageKey, 100, false, "Fail to upload for Missing chunk info: ChunkID {}"},
        {"no storage key", good.key, "", 100, true, "StorageKey {}"},
        {"no bytes", good.key, kStorageKey, 0, false, "a chunk of 0 bytes"},
        {"a whole chunk beyond 4 MiB", good.key, kStorageKey, 4194305, false, "a chunk of 4194305 bytes"},
        {"a delta beyond its bound", good.key, kStorageKey, CTransmitter::kMaxUploadBytes + 1, true,
         "a delta of 4325377 bytes"},
    };
    for (const Upload& u : uploads) {
        SCOPED_TRACE(u.what);
        CChunkInfo chunk(u.key);
        chunk.storageKey = u.storageKey;
        CChunkBuffer buffer;
        // A buffer may hold more than one chunk only by attaching a block.
        buffer.Attach(std::make_unique<uint8_t[]>(u.size + 1), u.size);
        std::string ack = "untouched";
        EXPECT_FALSE(t.trs.UploadChunk(chunk, buffer, &ack, u.delta));
        EXPECT_EQ(ack, "untouched");
        EXPECT_TRUE(log.Contains(u.message)) << log.Text();
    }
    EXPECT_EQ(t.server.Requests().size(), 0u);
    EXPECT_EQ(t.trs.Channel().Sequence(), 0) << "no request was numbered";
}

// Every kind of download reply, and what must come of it. A failure leaves the buffer as it was.
TEST(Transmitter, DownloadReplies) {
    const std::string bytes = RandomBytes(70000, 3);
    const CChunkInfo c = Chunk(bytes);
    const std::string md5 = c.key;
    std::string shorter = bytes.substr(0, bytes.size() - 1);
    std::string corrupt = bytes;
    corrupt[1234] ^= 0x40;
    std::string tooLarge = RandomBytes(CChunkBuffer::kChunkSize + 1, 4);
    std::string inlineTooLarge = B64(RandomBytes(CChunkBuffer::kChunkSize + 100, 5));
    std::string b64 = B64(bytes);
    std::string wrapped;  // Base64 in 76-character lines, as some stacks write it
    for (size_t i = 0; i < b64.size(); i += 76)
        wrapped += b64.substr(i, 76) + "\r\n";
    auto ok = [&](const std::string& inner) { return Frame("download_chunk_rsp", 1, inner, md5); };

    struct Case {
        const char* what;
        std::string reply;
        bool succeeds;
        const char* message;  // expected in the log
    } cases[] = {
        {"MTOM with an XOP include, a mainstream stack's layout", StackMtom(ok(XopContent()), bytes), true,
         ""},
        {"SOAP 1.1 with inline Base64", Plain(ok("<content>" + b64 + "</content>"), kNs11), true, ""},
        {"SOAP 1.2 with Base64 in lines", Plain(ok("<content>\r\n" + wrapped + "</content>")), true, ""},
        {"MTOM without XOP: Base64 inline in the root part",
         StackMtom(ok("<content>" + b64 + "</content>"), "unused"), true, ""},
        {"one byte short", StackMtom(ok(XopContent()), shorter), false,
         "Mismatched chunk download, (chunksize: 70000, 69999)"},
        {"the bytes of another chunk", StackMtom(ok(XopContent()), corrupt), false,
         "Mismatched chunk digest"},
        {"another chunk's key", StackMtom(Frame("download_chunk_rsp", 1, XopContent(), Md5("other")), bytes),
         false, "Mismatched chunk download, (chunksize: 70000, 70000)"},
        {"another storage key",
         StackMtom(Frame("download_chunk_rsp", 1, XopContent(), md5, "sk-other"), bytes), false,
         "Mismatched chunk download"},
        {"content that is not a text", Plain(ok("<content><data/></content>")), false,
         "Mismatched chunk download, (chunksize: 70000, 0)"},
        {"no content", Plain(ok("")), false, "Fail to get a node"},
        {"an include naming no part",
         CannedHttpServer::Response(200, kStackMtomType, StackMtomBody(ok(XopContent()), bytes, "9.other@x")),
         false, "Fail to get a node"},
        {"no MD5 attribute",
         Plain("<operation version=\"version01\"><response_head result=\"OK\" rsp_sequence=\"1\"/>"
               "<download_chunk_rsp storage_key=\"" +
               std::string(kStorageKey) + "\"><content>" + b64 +
               "</content></download_chunk_rsp></operation>"),
         false, "Fail to get a attribute"},
        {"another reply element", Plain(Frame("upload_chunk_rsp", 1, "", md5)), false,
         "Mismatched element KEY upload_chunk_rsp with download_chunk_rsp"},
        {"an attachment beyond a chunk", StackMtom(ok(XopContent()), tooLarge), false,
         "Fail to take an attachment of 4194305 bytes"},
        {"inline Base64 beyond a chunk", Plain(ok("<content>" + inlineTooLarge + "</content>")), false,
         "Fail to take inline content"},
        {"a truncated MTOM body",
         CannedHttpServer::Response(200, kStackMtomType,
                                    StackMtomBody(ok(XopContent()), bytes).substr(0, 40000)),
         false, "No usable reply"},
        {"a multipart reply without a boundary",
         CannedHttpServer::Response(200, "multipart/related; type=\"application/xop+xml\"",
                                    StackMtomBody(ok(XopContent()), bytes)),
         false, "No usable reply"},
        {"malformed XML", CannedHttpServer::Response(200, "application/soap+xml", Envelope("<operation ")),
         false, "No usable reply"},
        {"a SOAP fault",
         CannedHttpServer::Response(
             500, "application/soap+xml",
             Envelope("<soapenv:Fault><soapenv:Code><soapenv:Value>soapenv:Receiver"
                      "</soapenv:Value></soapenv:Code><soapenv:Reason><soapenv:Text "
                      "xml:lang=\"en\">boom</soapenv:Text></soapenv:Reason></soapenv:Fault>")),
         false, "Fail to parse the responsed head"},
        {"another sequence", StackMtom(Frame("download_chunk_rsp", 2, XopContent(), md5), bytes), false,
         "Mismatched CSEQ 2 with 1"},
        {"a refusal",
         Plain("<operation version=\"version01\"><response_head result=\"fail\" rsp_sequence=\"1\">"
               "<reason>21</reason></response_head></operation>"),
         false, "Get a ack (fail) with reason (21)"},
        {"a dropped connection", "", false, "No usable reply"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Canned t;
        testsupport::LogCapture log;
        if (k.reply.empty())
            t.server.Push(CannedHttpServer::Reply{"", 0, true});
        else
            t.server.Push(k.reply);
        CChunkBuffer buffer = Buffer("previous bytes");
        const uint8_t* before = buffer.GetData();
        std::string ack;
        EXPECT_EQ(t.trs.DownloadChunk(c, &ack, &buffer), k.succeeds) << log.Text().substr(0, 3000);
        if (k.succeeds) {
            EXPECT_TRUE(Bytes(buffer) == bytes);
        } else {
            EXPECT_EQ(Bytes(buffer), "previous bytes");
            EXPECT_EQ(buffer.GetData(), before);
            EXPECT_TRUE(log.Contains(k.message)) << log.Text().substr(0, 3000);
        }
    }
}

TEST(Transmitter, ConfirmationsForAnotherChunkFail) {
    std::string bytes = RandomBytes(300, 6);
    CChunkInfo c = Chunk(bytes);
    CChunkBuffer buffer = Buffer(bytes);
    struct Case {
        const char* what;
        bool remove;
        std::string reply;
        const char* message;
    } cases[] = {
        {"upload for another storage key", false, Plain(Frame("upload_chunk_rsp", 1, "", c.key, "sk-other")),
         "Mismatched chunk uploaded"},
        {"upload for another key", false, Plain(Frame("upload_chunk_rsp", 1, "", Md5("x"))),
         "Mismatched chunk uploaded"},
        {"upload without storage_key", false,
         Plain("<operation version=\"version01\"><response_head result=\"OK\" "
               "rsp_sequence=\"1\"/><upload_chunk_rsp "
               "MD5=\"" +
               c.key + "\"/></operation>"),
         "Fail to get a attribute"},
        {"upload without body", false,
         Plain("<operation version=\"version01\"><response_head result=\"OK\" "
               "rsp_sequence=\"1\"/></operation>"),
         "Fail to get a body node"},
        {"removal for another storage key", true, Plain(Frame("remove_chunk_rsp", 1, "", c.key, "sk-other")),
         "Mismatched chunk uploaded"},
        {"removal answered as an upload", true, Plain(Frame("upload_chunk_rsp", 1, "", c.key)),
         "Mismatched element KEY upload_chunk_rsp with remove_chunk_rsp"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Canned t;
        testsupport::LogCapture log;
        t.server.Push(k.reply);
        std::string ack;
        EXPECT_FALSE(k.remove ? t.trs.RemoveChunk(c, &ack) : t.trs.UploadChunk(c, buffer, &ack, false));
        EXPECT_EQ(ack, "OK");
        EXPECT_TRUE(log.Contains(k.message)) << log.Text();
        EXPECT_TRUE(log.Contains(k.remove ? "CTransmitter::RemoveChunk" : "CTransmitter::UploadChunk"));
    }
}

TEST(Transmitter, AServiceThatNeverAnswersIsGivenUpAtTheDeadline) {
    Canned t;
    testsupport::LogCapture log;
    t.trs.Channel().SetDeadlineMs(300);
    std::string bytes = RandomBytes(300, 7);
    CChunkInfo c = Chunk(bytes);
    t.server.SetDefault(CannedHttpServer::Reply{Plain(Frame("remove_chunk_rsp", 1, "", c.key)), 5000});
    std::string ack = "untouched";
    CChunkBuffer buffer;
    EXPECT_FALSE(t.trs.DownloadChunk(c, &ack, &buffer));
    EXPECT_EQ(log.LastError(), "download chunk time out!");
    EXPECT_FALSE(t.trs.UploadChunk(c, Buffer(bytes), &ack, false));
    EXPECT_EQ(log.LastError(), "upload chunk time out!");
    EXPECT_FALSE(t.trs.RemoveChunk(c, &ack));
    EXPECT_EQ(log.LastError(), "remove chunk time out!");
    EXPECT_EQ(ack, "untouched");
    EXPECT_EQ(buffer.GetData(), nullptr);
}

// --------------------------------------------------------------------------------------------
// The reference service.

class TransmitterAgainstService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        ASSERT_TRUE(session.Open(server)) << session.Error();
        ASSERT_TRUE(trs.Init(session.TransmitterUrl(), testsupport::TestServer::kUser,
                             testsupport::TestServer::kPassword, session.HostId(), ""));
    }

    // Offers a one-chunk file and returns the chunk record with the storage key the service named.
    CChunkInfo OfferNew(const std::string& path, const std::string& bytes) {
        CChunkInfo c = Chunk(bytes, "");
        CChunkInfo next;
        EXPECT_EQ(session.Offer(path, static_cast<int64_t>(bytes.size()), {c}, nullptr, &next),
                  "upload_chunk");
        EXPECT_EQ(next.key, c.key);
        c.storageKey = next.storageKey;
        return c;
    }

    testsupport::TestServer server;
    testsupport::HostSession session;
    CTransmitter trs;
};

TEST_F(TransmitterAgainstService, WholeAndDeltaRoundTrips) {
    // Version 1 goes up whole and is committed.
    std::string v1 = RandomBytes(CChunkBuffer::kChunkSize, 8);
    CChunkInfo c1 = OfferNew("doc.bin", v1);
    std::string ack;
    ASSERT_TRUE(trs.UploadChunk(c1, Buffer(v1), &ack, false));
    EXPECT_EQ(ack, "OK");
    ASSERT_EQ(session.Done("doc.bin", {c1}, c1, nullptr), "all_chunk_exist");
    CChunkBuffer down;
    ASSERT_TRUE(trs.DownloadChunk(c1, &ack, &down));
    EXPECT_TRUE(Bytes(down) == v1);

    // Version 2 changes a few places and goes up as a delta against version 1's blocks.
    std::string v2 = v1;
    v2.replace(100, 7, "changed");
    v2.insert(2000000, "inserted bytes");
    v2.resize(CChunkBuffer::kChunkSize);
    CFileInfo old("alice/doc.bin", 0, static_cast<int64_t>(v1.size()));
    CChunkInfo o = c1;
    ASSERT_TRUE(CUtil::GetBlockSignatures(v1.data(), v1.size(), &o.blockSums, &o.blockHashes, &o.blockCount));
    old.chunks.push_back(o);
    ASSERT_TRUE(old.BuildBlockTable());
    CChunkBuffer delta;
    ASSERT_TRUE(old.DeltaEncode(Buffer(v2), &delta));
    EXPECT_LT(delta.GetSize(), v2.size() / 10) << "most blocks are copied";

    CChunkInfo c2 = Chunk(v2, "");
    CChunkInfo next;
    std::vector<CChunkInfo> previous = {c1};
    ASSERT_EQ(session.Offer("doc.bin", static_cast<int64_t>(v2.size()), {c2}, &previous, &next),
              "upload_chunk");
    c2.storageKey = next.storageKey;

    // A damaged delta rebuilds other bytes: refused, and the whole chunk still goes up after it.
    delta::Parsed parsed;
    std::string error;
    ASSERT_TRUE(delta::Parse(delta.GetData(), delta.GetSize(), &parsed, &error)) << error;
    CChunkBuffer damaged = Buffer(Bytes(delta));
    for (const delta::Record& r : parsed.records) {
        if (r.type == delta::kTypeLiteral) {
            damaged.GetData()[r.literal - delta.GetData()] ^= 0x01;
            break;
        }
    }
    {
        testsupport::LogCapture log;
        EXPECT_FALSE(trs.UploadChunk(c2, damaged, &ack, true));
        EXPECT_EQ(ack, "fail");
        EXPECT_EQ(trs.GetReason(), "9");
        EXPECT_TRUE(log.Contains("Get a ack (fail) with reason (9)"));
    }
    ASSERT_TRUE(trs.UploadChunk(c2, delta, &ack, true));
    ASSERT_TRUE(trs.DownloadChunk(c2, &ack, &down));
    EXPECT_TRUE(Bytes(down) == v2);
    EXPECT_EQ(session.Done("doc.bin", {c2}, c2, nullptr), "all_chunk_exist");

    // A short last chunk, and removals: one the service confirms, one of a chunk it does not know.
    std::string tail = RandomBytes(12345, 9);
    CChunkInfo c3 = OfferNew("tail.bin", tail);
    ASSERT_TRUE(trs.UploadChunk(c3, Buffer(tail), &ack, false));
    ASSERT_TRUE(trs.DownloadChunk(c3, &ack, &down));
    EXPECT_TRUE(Bytes(down) == tail);
    EXPECT_TRUE(trs.RemoveChunk(c3, &ack));
    EXPECT_EQ(ack, "OK");
    CChunkInfo unknown = Chunk(RandomBytes(100, 11), "sk00000000000000000000000000000000");
    EXPECT_FALSE(trs.RemoveChunk(unknown, &ack));
    EXPECT_EQ(trs.GetReason(), "21");
    EXPECT_FALSE(trs.DownloadChunk(unknown, &ack, &down));
    EXPECT_EQ(trs.GetReason(), "21");
    EXPECT_TRUE(Bytes(down) == tail) << "a failed download keeps the buffer";
}

TEST_F(TransmitterAgainstService, InjectedFaults) {
    std::string bytes = RandomBytes(1000000, 10);
    CChunkInfo c = OfferNew("f.bin", bytes);
    std::string ack;
    ASSERT_TRUE(trs.UploadChunk(c, Buffer(bytes), &ack, false));
    trs.Channel().SetDeadlineMs(1000);

    struct Case {
        const char* what;
        const char* op;
        const char* action;
        int reason;
        const char* message;
        const char* ack;  // what the acknowledgement holds afterwards
    } cases[] = {
        {"download with a wrong sequence", "download_chunk", "bad_sequence", -1, "Mismatched CSEQ",
         "untouched"},
        {"download of corrupted bytes", "download_chunk", "corrupt", -1, "Mismatched chunk digest", "OK"},
        {"download refused", "download_chunk", "refuse", 8, "Get a ack (fail) with reason (8)", "fail"},
        {"download stalled past the deadline", "download_chunk", "stall", -1, "download chunk time out!",
         "untouched"},
        {"download dropped", "download_chunk", "drop", -1, "No usable reply", "untouched"},
        {"upload with a wrong sequence", "upload_chunk", "bad_sequence", -1, "Mismatched CSEQ", "untouched"},
        {"upload refused", "upload_chunk", "refuse", 28, "Get a ack (fail) with reason (28)", "fail"},
        {"upload stalled past the deadline", "upload_chunk", "stall", -1, "upload chunk time out!",
         "untouched"},
        {"upload delayed", "upload_chunk", "delay", 24, "Get a ack (delay) with reason (24)", "delay"},
        {"removal dropped", "remove_chunk", "drop", -1, "No usable reply", "untouched"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        // libcurl resends once on a fresh connection when a kept one dies without a reply, so a
        // dropped call fails only when the resend is dropped too.
        int times = std::string(k.action) == "drop" ? 2 : 1;
        ASSERT_TRUE(server.Fault(k.op, k.action, times, k.reason, 3000));
        testsupport::LogCapture log;
        ack = "untouched";
        CChunkBuffer buffer = Buffer("kept");
        bool ok = std::string(k.op) == "download_chunk" ? trs.DownloadChunk(c, &ack, &buffer)
                  : std::string(k.op) == "upload_chunk" ? trs.UploadChunk(c, Buffer(bytes), &ack, false)
                                                        : trs.RemoveChunk(c, &ack);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(log.Contains(k.message)) << log.Text().substr(0, 2000);
        EXPECT_EQ(ack, k.ack);
        EXPECT_EQ(Bytes(buffer), "kept");
        // The next call, with the next sequence number, works again.
        ASSERT_TRUE(server.ResetFaults());
        ASSERT_TRUE(trs.DownloadChunk(c, &ack, &buffer)) << log.Text().substr(0, 2000);
        EXPECT_TRUE(Bytes(buffer) == bytes);
    }
}

}  // namespace
