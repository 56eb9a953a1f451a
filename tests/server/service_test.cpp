// The SOAP services driven in process with hand-written requests: head checks, the upload
// negotiation, chunk transfer, listings, conflicts and refusals of bad input.
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "service_fixture.h"
#include "util/base64.h"

namespace servertest {
namespace {

using kserver::ServiceKind;

constexpr int64_t kMiB = 1 << 20;

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

TEST_F(ServiceTest, SignInRegistersHostAndEchoesEverySequenceNumber) {
    Client c = SignIn("alice");
    EXPECT_EQ(c.host.size(), 32u);
    Reply r = c.Back("login", "<login account=\"alice\"/>");
    EXPECT_EQ(r.opName, "login_rsp");
    EXPECT_EQ(r.seq, "3");
    EXPECT_STREQ(r.body.name(), "login_rsp");
    // The transmitter and the heartbeat count their own sequences.
    c.seq = 41;
    EXPECT_EQ(c.Heartbeat().seq, "42");
    EXPECT_EQ(c.Back("login", "<login account=\"bob\"/>").reason, "9");
}

TEST_F(ServiceTest, RequestHeadsAreCheckedWithTheServiceReasonCodes) {
    Client alice = SignIn("alice");
    Client bob = SignIn("bob");
    struct Case {
        const char* name;
        void (*change)(Client&, const Client&);
        const char* reason;
    } cases[] = {
        {"unknown user", [](Client& c, const Client&) { c.user = "nobody"; }, "23"},
        {"wrong password", [](Client& c, const Client&) { c.digest = kserver::PasswordDigest("nope"); }, "6"},
        {"passport of nobody", [](Client& c, const Client&) { c.passport = "0123"; }, "29"},
        {"passport of another account", [](Client& c, const Client& other) { c.passport = other.passport; },
         "29"},
        {"unknown host", [](Client& c, const Client&) { c.host = "feedface"; }, "2"},
        {"host of another account", [](Client& c, const Client& other) { c.host = other.host; }, "28"},
    };
    for (const Case& k : cases) {
        Client c = alice;
        k.change(c, bob);
        Reply r =
            c.Back("file_list", "<file_list folder_name=\"alice\" recursive=\"yes\" show_delete=\"no\"/>");
        EXPECT_EQ(r.result, "fail") << k.name;
        EXPECT_EQ(r.reason, k.reason) << k.name;
        EXPECT_FALSE(r.body) << k.name << ": a refusal carries no body";
    }
    // The transmitter and heartbeat heads have no passport; the host is still checked.
    Client c = alice;
    c.host = bob.host;
    EXPECT_EQ(c.Heartbeat().reason, "28");
    EXPECT_EQ(c.DownloadChunk(std::string(32, 'a'), "sk" + std::string(32, '0')).reason, "28");
    alice.passport = "stale";
    EXPECT_EQ(alice.Heartbeat().result, "OK");
}

TEST_F(ServiceTest, MalformedFramesAreRefusedWithReason9) {
    Client c = SignIn("alice");
    std::string head = "<request_head user_name=\"alice\" password=\"" + c.digest + "\" passport=\"" +
                       c.passport + "\" req_sequence=\"7\"><host_id>" + c.host + "</host_id></request_head>";
    struct Case {
        const char* name;
        std::string contentType;
        std::string body;
    } cases[] = {
        {"not XML", soap::ContentType(soap::Version::k12), "<operation"},
        {"not an envelope", soap::ContentType(soap::Version::k12), "<operation name=\"login\"/>"},
        {"empty body", soap::ContentType(soap::Version::k12), Envelope12("")},
        {"wrong version", "text/xml",
         Envelope12("<operation name=\"login\" version=\"version02\">" + head +
                    "<login account=\"alice\"/></operation>")},
        {"body element of another operation", "text/xml",
         Envelope12("<operation name=\"login\" version=\"version01\">" + head +
                    "<remove file_name=\"alice/x\"/></operation>")},
        {"transmitter operation sent to the back server", "text/xml",
         Envelope12("<operation name=\"remove_chunk\" version=\"version01\">" + head +
                    "<remove_chunk MD5=\"x\" storage_key=\"y\"/></operation>")},
        {"missing req_sequence", "text/xml",
         Envelope12(
             "<operation name=\"login\" version=\"version01\"><request_head user_name=\"alice\" password=\"" +
             c.digest + "\" passport=\"" + c.passport + "\"><host_id>" + c.host +
             "</host_id></request_head><login account=\"alice\"/></operation>")},
        {"req_sequence not a number", "text/xml",
         Envelope12(
             "<operation name=\"login\" version=\"version01\"><request_head user_name=\"alice\" password=\"" +
             c.digest + "\" passport=\"" + c.passport + "\" req_sequence=\"1x\"><host_id>" + c.host +
             "</host_id></request_head><login account=\"alice\"/></operation>")},
        {"MTOM without boundary", "multipart/related; type=\"application/xop+xml\"", "--x\r\n\r\n--x--"},
        {"MTOM cut short", "multipart/related; boundary=b", "--b\r\nContent-ID: <a>\r\n\r\n<x/>"},
    };
    for (const Case& k : cases) {
        Reply r = Call(*svc, ServiceKind::Back, k.contentType, k.body);
        ASSERT_TRUE(r.parsed) << k.name << ": " << r.raw;
        EXPECT_EQ(r.result, "fail") << k.name;
        EXPECT_EQ(r.reason, "9") << k.name;
    }
    // A SOAP 1.1 request is answered in SOAP 1.1.
    Reply r = Call(*svc, ServiceKind::Back, "text/xml",
                   Envelope11("<operation name=\"login\" version=\"version01\">" + head +
                              "<login account=\"alice\"/></operation>"));
    EXPECT_EQ(r.result, "OK");
    EXPECT_EQ(r.seq, "7");
    EXPECT_EQ(r.env->version(), soap::Version::k11);
}

TEST_F(ServiceTest, UploadsAFileChunkByChunkThenListsAndServesIt) {
    Client c = SignIn("alice");
    ASSERT_EQ(c.Back("upload_file",
                     "<upload_file file_name=\"alice/docs\" dir_flag=\"yes\" file_size=\"0\" "
                     "modify_time=\"1\" new_chunk_num=\"0\" new_file_flag=\"yes\" old_chunk_num=\"0\"/>")
                  .body.child("next_op")
                  .attribute("op")
                  .value(),
              std::string("all_chunk_exist"));
    std::string content = Bytes(static_cast<size_t>(4 * kMiB + 100), 1);
    std::vector<std::string> pieces;
    NewChunks(content, &pieces);

    Reply r = c.Back("upload_file", UploadFileXml("alice/docs/big.bin", content, 131000000000000000));
    ASSERT_EQ(r.result, "OK") << r.raw;
    EXPECT_EQ(std::string(r.body.attribute("file_name").value()), "alice/docs/big.bin");
    pugi::xml_node next = r.body.child("next_op");
    EXPECT_EQ(std::string(next.attribute("op").value()), "upload_chunk");
    EXPECT_EQ(next.child("MD5").text().get(), Md5(pieces[0]));
    std::string key0 = next.child("storage_key").text().get();

    // Nothing is listed before the last chunk arrives.
    Reply keep;
    EXPECT_EQ(List(c, &keep).count("alice/docs/big.bin"), 0u);

    int sent = 0;
    ASSERT_EQ(Upload(c, "alice/docs/big.bin", content, 131000000000000000, nullptr, &sent),
              "all_chunk_exist");
    EXPECT_EQ(sent, 2);
    auto listing = List(c, &keep);
    ASSERT_EQ(listing.count("alice/docs/big.bin"), 1u);
    pugi::xml_node f = listing["alice/docs/big.bin"];
    EXPECT_STREQ(f.attribute("dir_flag").value(), "no");
    EXPECT_STREQ(f.attribute("file_size").value(), std::to_string(content.size()).c_str());
    EXPECT_STREQ(f.attribute("modify_time").value(), "131000000000000000");
    EXPECT_STREQ(f.child("chunk_list").attribute("chunk_num").value(), "2");
    EXPECT_EQ(f.child("chunk_list").text().get(), Md5(pieces[0]) + "," + Md5(pieces[1]));
    EXPECT_STREQ(listing["alice/docs"].attribute("dir_flag").value(), "yes");
    EXPECT_STREQ(listing["alice/docs"].attribute("shared").value(), "no");

    Reply d = c.Back("download_specific_file", "<download_specific_file file_name=\"alice/docs/big.bin\"/>");
    ASSERT_EQ(d.result, "OK");
    EXPECT_STREQ(d.body.attribute("chunk_num").value(), "2");
    int i = 0;
    for (pugi::xml_node ch = d.body.child("chunk"); ch; ch = ch.next_sibling("chunk"), ++i) {
        Reply got = c.DownloadChunk(ch.attribute("MD5").value(), ch.attribute("storage_key").value());
        ASSERT_EQ(got.result, "OK") << got.raw.substr(0, 400);
        EXPECT_EQ(got.attachment, pieces[static_cast<size_t>(i)]);
        EXPECT_STREQ(got.body.attribute("storage_key").value(), ch.attribute("storage_key").value());
        EXPECT_STREQ(ch.attribute("chunk_size").value(),
                     std::to_string(pieces[static_cast<size_t>(i)].size()).c_str());
    }
    EXPECT_EQ(i, 2);
    EXPECT_EQ(c.Back("download_specific_file", "<download_specific_file file_name=\"alice/none\"/>").reason,
              "7");
    EXPECT_EQ(c.Back("download_specific_file", "<download_specific_file file_name=\"alice/docs\"/>").reason,
              "5");

    // An empty file needs no chunk; a file in a missing folder is refused.
    EXPECT_EQ(Upload(c, "alice/empty.txt", ""), "all_chunk_exist");
    EXPECT_EQ(Upload(c, "alice/nowhere/x.txt", "x"), "refused 20");
    EXPECT_EQ(Upload(c, "alice/docs", "x"), "refused 5");
}

TEST_F(ServiceTest, ChunksAreSharedAcrossAccountsButNeverExposed) {
    Client alice = SignIn("alice"), bob = SignIn("bob"), carol = SignIn("carol");
    std::string content = Bytes(5000, 2);
    int sent = -1;
    ASSERT_EQ(Upload(alice, "alice/a.bin", content, 130000000000000000, nullptr, &sent), "all_chunk_exist");
    EXPECT_EQ(sent, 1);
    ASSERT_EQ(Upload(bob, "bob/b.bin", content, 130000000000000000, nullptr, &sent), "all_chunk_exist");
    EXPECT_EQ(sent, 0) << "the service already holds every chunk";

    Reply d = bob.Back("download_specific_file", "<download_specific_file file_name=\"bob/b.bin\"/>");
    std::string key = d.body.child("chunk").attribute("storage_key").value();
    EXPECT_EQ(bob.DownloadChunk(Md5(content), key).attachment, content);
    EXPECT_EQ(carol.DownloadChunk(Md5(content), key).reason, "21");
    EXPECT_EQ(
        carol.Back("download_specific_file", "<download_specific_file file_name=\"alice/a.bin\"/>").reason,
        "19");
    EXPECT_EQ(
        carol.Back("file_list", "<file_list folder_name=\"alice\" recursive=\"yes\" show_delete=\"no\"/>")
            .reason,
        "19");
    EXPECT_EQ(carol.Back("remove", "<remove file_name=\"alice/a.bin\" purge_flag=\"no\"/>").reason, "19");
    // A key that exists but is announced with another digest is unknown as well.
    EXPECT_EQ(alice.DownloadChunk(std::string(32, '0'), key).reason, "21");
}

TEST_F(ServiceTest, AnEditOfAnOutdatedVersionGetsAConflict) {
    Client a = SignIn("alice", "A"), b = SignIn("alice", "B");
    std::string v1 = Bytes(3000, 3), v2 = Bytes(3000, 4), v3 = Bytes(3100, 5);
    ASSERT_EQ(Upload(a, "alice/f.txt", v1), "all_chunk_exist");
    ASSERT_EQ(Upload(b, "alice/f.txt", v2, 130000000000000001, &v1), "all_chunk_exist");
    EXPECT_EQ(Upload(a, "alice/f.txt", v3, 130000000000000002, &v1), "move_conflic_file");
    EXPECT_EQ(Upload(a, "alice/f.txt", v3), "move_conflic_file") << "a new file over a different server file";
    EXPECT_EQ(Upload(a, "alice/f.txt", v2), "all_chunk_exist") << "the same content is no conflict";

    // Another host commits while this host's chunks travel.
    std::string v4 = Bytes(3000, 6), v5 = Bytes(3000, 7);
    Reply r = a.Back("upload_file", UploadFileXml("alice/f.txt", v4, 130000000000000003, &v2));
    ASSERT_STREQ(r.body.child("next_op").attribute("op").value(), "upload_chunk");
    std::string key = r.body.child("next_op").child("storage_key").text().get();
    ASSERT_EQ(Upload(b, "alice/f.txt", v5, 130000000000000004, &v2), "all_chunk_exist");
    ASSERT_EQ(a.UploadChunk(Md5(v4), key, v4).result, "OK");
    r = a.Back("chunk_uploaded", "<chunk_uploaded MD5=\"" + Md5(v4) + "\" storage_key=\"" + key +
                                     "\" file_name=\"alice/f.txt\"><chunk_list chunk_num=\"1\">" + Md5(v4) +
                                     "</chunk_list></chunk_uploaded>");
    EXPECT_STREQ(r.body.child("next_op").attribute("op").value(), "move_conflic_file");
    Reply d = a.Back("download_specific_file", "<download_specific_file file_name=\"alice/f.txt\"/>");
    EXPECT_EQ(std::string(d.body.child("chunk").attribute("MD5").value()), Md5(v5));
    // A chunk_uploaded without an open upload is a flow error.
    EXPECT_EQ(a.Back("chunk_uploaded", "<chunk_uploaded MD5=\"" + Md5(v4) + "\" storage_key=\"" + key +
                                           "\" file_name=\"alice/f.txt\"><chunk_list chunk_num=\"1\">" +
                                           Md5(v4) + "</chunk_list></chunk_uploaded>")
                  .reason,
              "24");
}

TEST_F(ServiceTest, BadUploadRequestsAreRefusedAndStoreNothing) {
    Client c = SignIn("alice");
    std::string md5 = Md5("abc");
    auto req = [&](const std::string& name, const std::string& attrs, const std::string& children) {
        return "<upload_file file_name=\"" + name + "\" " + attrs + ">" + children + "</upload_file>";
    };
    const std::string ok =
        "dir_flag=\"no\" file_size=\"3\" modify_time=\"5\" new_chunk_num=\"1\" "
        "new_file_flag=\"yes\" old_chunk_num=\"0\"";
    const std::string chunk = "<new_chunk MD5=\"" + md5 + "\" chunk_size=\"3\" block_num=\"0\"/>";
    struct Case {
        const char* name;
        std::string body;
    } cases[] = {
        {"dot-dot component", req("alice/../bob/x", ok, chunk)},
        {"dot component", req("alice/./x", ok, chunk)},
        {"empty component", req("alice//x", ok, chunk)},
        {"leading slash", req("/alice/x", ok, chunk)},
        {"trailing slash", req("alice/x/", ok, chunk)},
        {"control character", req("alice/a&#1;b", ok, chunk)},
        {"tab", req("alice/a&#9;b", ok, chunk)},
        {"NUL character", req("alice/a&#0;b", ok, chunk)},
        {"NUL in a number", req("alice/x",
                                "dir_flag=\"no\" file_size=\"3&#0;9\" modify_time=\"5\" new_chunk_num=\"1\" "
                                "new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                chunk)},
        {"invalid UTF-8", req("alice/\xff\xfe", ok, chunk)},
        {"more chunks than announced", req("alice/x", ok, chunk + chunk)},
        {"fewer chunks than announced", req("alice/x", ok, "")},
        {"size differs from the chunks", req("alice/x",
                                             "dir_flag=\"no\" file_size=\"4\" modify_time=\"5\" "
                                             "new_chunk_num=\"1\" new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                             chunk)},
        {"negative size", req("alice/x",
                              "dir_flag=\"no\" file_size=\"-3\" modify_time=\"5\" new_chunk_num=\"1\" "
                              "new_file_flag=\"yes\" old_chunk_num=\"0\"",
                              chunk)},
        {"digest not hex",
         req("alice/x", ok, "<new_chunk MD5=\"" + std::string(32, 'g') + "\" chunk_size=\"3\"/>")},
        {"digest too short", req("alice/x", ok, "<new_chunk MD5=\"abc\" chunk_size=\"3\"/>")},
        {"chunk of 0 bytes", req("alice/x",
                                 "dir_flag=\"no\" file_size=\"0\" modify_time=\"5\" new_chunk_num=\"1\" "
                                 "new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                 "<new_chunk MD5=\"" + md5 + "\" chunk_size=\"0\"/>")},
        {"chunk above 4 MiB", req("alice/x",
                                  "dir_flag=\"no\" file_size=\"4194305\" modify_time=\"5\" "
                                  "new_chunk_num=\"1\" new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                  "<new_chunk MD5=\"" + md5 + "\" chunk_size=\"4194305\"/>")},
        {"absurd chunk count", req("alice/x",
                                   "dir_flag=\"no\" file_size=\"3\" modify_time=\"5\" "
                                   "new_chunk_num=\"99999999999\" new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                   chunk)},
        {"new file with old chunks", req("alice/x",
                                         "dir_flag=\"no\" file_size=\"3\" modify_time=\"5\" "
                                         "new_chunk_num=\"1\" new_file_flag=\"yes\" old_chunk_num=\"1\"",
                                         "<old_chunk MD5=\"" + md5 + "\" chunk_size=\"3\"/>" + chunk)},
        {"folder with chunks", req("alice/x",
                                   "dir_flag=\"yes\" file_size=\"3\" modify_time=\"5\" new_chunk_num=\"1\" "
                                   "new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                   chunk)},
        {"flag neither yes nor no", req("alice/x",
                                        "dir_flag=\"maybe\" file_size=\"3\" modify_time=\"5\" "
                                        "new_chunk_num=\"1\" new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                        chunk)},
        {"missing modify_time",
         req("alice/x",
             "dir_flag=\"no\" file_size=\"3\" new_chunk_num=\"1\" new_file_flag=\"yes\" old_chunk_num=\"0\"",
             chunk)},
        {"number with junk", req("alice/x",
                                 "dir_flag=\"no\" file_size=\"3abc\" modify_time=\"5\" new_chunk_num=\"1\" "
                                 "new_file_flag=\"yes\" old_chunk_num=\"0\"",
                                 chunk)},
    };
    for (const Case& k : cases) {
        Reply r = c.Back("upload_file", k.body);
        EXPECT_EQ(r.result, "fail") << k.name;
        EXPECT_EQ(r.reason, "9") << k.name;
    }
    std::vector<kserver::Listed> all;
    ASSERT_EQ(store.Listing(AccountOf("alice"), false, &all), kserver::kOk);
    EXPECT_EQ(all.size(), 1u) << "only the root";
    kserver::ChunkRecord rec;
    EXPECT_FALSE(store.EnsureChunk(md5, 3, 1, &rec) && rec.stored);
    EXPECT_EQ(c.Back("upload_file", req("bob/x", ok, chunk)).reason, "19");
}

TEST_F(ServiceTest, UploadedBytesMustMatchTheirDigest) {
    Client c = SignIn("alice");
    std::string content = Bytes(10000, 8);
    Reply r = c.Back("upload_file", UploadFileXml("alice/x.bin", content, 5));
    std::string key = r.body.child("next_op").child("storage_key").text().get();
    std::string wrong = content;
    wrong[100] ^= 1;
    EXPECT_EQ(c.UploadChunk(Md5(content), key, wrong).reason, "9");
    EXPECT_EQ(c.UploadChunk(Md5(content), key, content.substr(1)).reason, "9");
    EXPECT_EQ(c.UploadChunk(Md5(content), "sk" + std::string(32, 'f'), content).reason, "21");
    EXPECT_EQ(c.UploadChunk(Md5(wrong), key, wrong).reason, "21") << "the key belongs to another digest";
    EXPECT_EQ(c.DownloadChunk(Md5(content), key).reason, "21") << "nothing was stored";
    EXPECT_TRUE(std::filesystem::is_empty(dir.Sub("tmp"))) << "no partial file is left behind";
    // chunk_size must be the attachment's length.
    std::string body = "<upload_chunk MD5=\"" + Md5(content) + "\" storage_key=\"" + key +
                       "\" chunk_size=\"9999\" delta_flag=\"no\"><content>" +
                       base64::Encode(content.data(), content.size()) + "</content></upload_chunk>";
    EXPECT_EQ(c.Trs("upload_chunk", body).reason, "9");
    // Inline Base64 is as good as an attachment.
    body = "<upload_chunk MD5=\"" + Md5(content) + "\" storage_key=\"" + key +
           "\" chunk_size=\"10000\" delta_flag=\"no\"><content>\n" +
           base64::Encode(content.data(), content.size()) + "\n</content></upload_chunk>";
    Reply up = c.Trs("upload_chunk", body);
    EXPECT_EQ(up.result, "OK");
    EXPECT_STREQ(up.body.attribute("storage_key").value(), key.c_str());
    EXPECT_EQ(c.UploadChunk(Md5(content), key, content).result, "OK") << "a second delivery is harmless";
    EXPECT_EQ(c.DownloadChunk(Md5(content), key).attachment, content);
    EXPECT_EQ(c.Trs("upload_chunk",
                    "<upload_chunk MD5=\"" + Md5(content) + "\" storage_key=\"" + key +
                        "\" chunk_size=\"3\" delta_flag=\"no\"><content>@@@@</content></upload_chunk>")
                  .reason,
              "9");
}

// The delta wire format: 16-byte header, then 108-byte record headers ("CNYS") with literal bytes.
std::string Le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return s;
}
std::string Record(uint32_t type, uint32_t target, const std::string& literal, uint32_t length,
                   int32_t source, const std::string& name) {
    std::string n = name;
    n.resize(80, '\0');
    return Le32(0x53594E43) + Le32(108 + static_cast<uint32_t>(literal.size())) + Le32(type) + Le32(target) +
           Le32(length) + Le32(static_cast<uint32_t>(source)) + n + Le32(0) + literal;
}
std::string Copy(uint32_t target, uint32_t length, int32_t source, const std::string& key) {
    return Record(1, target, "", length, source, key);
}
std::string Literal(uint32_t target, const std::string& bytes) {
    return Record(0, target, bytes, static_cast<uint32_t>(bytes.size()), -1, "");
}
std::string Delta(uint32_t newLength, const std::vector<std::string>& records) {
    std::string body;
    for (const std::string& r : records)
        body += r;
    return Le32(static_cast<uint32_t>(16 + body.size())) + Le32(newLength) +
           Le32(static_cast<uint32_t>(records.size())) + Le32(0) + body;
}

TEST_F(ServiceTest, ADeltaRebuildsTheChunkFromTheOldVersion) {
    Client alice = SignIn("alice"), bob = SignIn("bob");
    std::string v1 = Bytes(20000, 9);
    ASSERT_EQ(Upload(alice, "alice/d.bin", v1), "all_chunk_exist");
    std::string k1 =
        alice.Back("download_specific_file", "<download_specific_file file_name=\"alice/d.bin\"/>")
            .body.child("chunk")
            .attribute("storage_key")
            .value();
    std::string theirs = Bytes(20000, 10);
    ASSERT_EQ(Upload(bob, "bob/t.bin", theirs), "all_chunk_exist");
    std::string bobKey =
        bob.Back("download_specific_file", "<download_specific_file file_name=\"bob/t.bin\"/>")
            .body.child("chunk")
            .attribute("storage_key")
            .value();

    // Announce an edit and answer the chunk request with deltas against the old chunk.
    auto announce = [&](const std::string& v) {
        Reply r = alice.Back("upload_file", UploadFileXml("alice/d.bin", v, 7, &v1));
        EXPECT_STREQ(r.body.child("next_op").attribute("op").value(), "upload_chunk");
        return std::string(r.body.child("next_op").child("storage_key").text().get());
    };
    std::string v2 = v1;
    v2.replace(5000, 10, "0123456789");
    std::string k2 = announce(v2);
    struct Case {
        const char* name;
        std::string delta;
    } refused[] = {
        {"copy beyond its source",
         Delta(20000, {Copy(0, 5000, 0, k1), Literal(5000, "0123456789"), Copy(5010, 14990, 5011, k1)})},
        {"copy from another account's chunk",
         Delta(20000, {Copy(0, 5000, 0, bobKey), Literal(5000, "0123456789"), Copy(5010, 14990, 5010, k1)})},
        {"copy from an unknown key", Delta(20000, {Copy(0, 20000, 0, "sk" + std::string(32, '1'))})},
        {"rebuilt bytes of another digest", Delta(20000, {Copy(0, 20000, 0, k1)})},
        {"records leaving a gap", Delta(20000, {Copy(0, 5000, 0, k1), Copy(5010, 14990, 5010, k1)})},
        {"not a delta at all", "CNYS but nothing else"},
    };
    for (const Case& k : refused) {
        EXPECT_EQ(alice.UploadChunk(Md5(v2), k2, k.delta, true).reason, "9") << k.name;
        EXPECT_EQ(alice.DownloadChunk(Md5(v2), k2).reason, "21") << k.name << ": nothing stored";
    }
    std::string good =
        Delta(20000, {Copy(0, 5000, 0, k1), Literal(5000, "0123456789"), Copy(5010, 14990, 5010, k1)});
    ASSERT_EQ(alice.UploadChunk(Md5(v2), k2, good, true).result, "OK");
    Reply done =
        alice.Back("chunk_uploaded", "<chunk_uploaded MD5=\"" + Md5(v2) + "\" storage_key=\"" + k2 +
                                         "\" file_name=\"alice/d.bin\"><chunk_list chunk_num=\"1\">" +
                                         Md5(v2) + "</chunk_list></chunk_uploaded>");
    EXPECT_STREQ(done.body.child("next_op").attribute("op").value(), "all_chunk_exist");
    EXPECT_EQ(alice.DownloadChunk(Md5(v2), k2).attachment, v2);
}

std::string Inflate(const std::string& b64, size_t n) {
    std::string packed;
    base64::Decode(b64.data(), b64.size(), &packed);
    std::string out(n + 4, '\0');
    uLongf len = static_cast<uLongf>(out.size());
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &len, reinterpret_cast<const Bytef*>(packed.data()),
                   static_cast<uLong>(packed.size())) != Z_OK)
        return "<inflate failed>";
    out.resize(len);
    return out;
}

TEST_F(ServiceTest, ListingsTravelCompressedAboveTheThreshold) {
    Client c = SignIn("alice");
    ASSERT_EQ(Upload(c, "alice/one.txt", "1"), "all_chunk_exist");
    ASSERT_EQ(Upload(c, "alice/two.txt", "22"), "all_chunk_exist");
    for (const char* op : {"file_list", "download_all_file"}) {
        std::string req = std::string(op) == "file_list"
                              ? "<file_list folder_name=\"alice\" recursive=\"yes\" show_delete=\"no\"/>"
                              : "<download_all_file/>";
        svc->SetCompressThreshold(-1);
        Reply plain = c.Back(op, req);
        ASSERT_EQ(plain.result, "OK");
        EXPECT_STREQ(plain.body.attribute("compress").value(), "0");
        std::string children;
        for (pugi::xml_node n = plain.body.first_child(); n; n = n.next_sibling())
            children += soap::NodeToString(n);

        svc->SetCompressThreshold(0);
        Reply packed = c.Back(op, req);
        ASSERT_EQ(packed.result, "OK");
        // compress is the element's last attribute and tells the inflated length exactly.
        EXPECT_STREQ(packed.body.last_attribute().name(), "compress");
        size_t n = std::stoul(packed.body.attribute("compress").value());
        EXPECT_EQ(n, children.size()) << op;
        EXPECT_EQ(Inflate(packed.body.text().get(), n), children) << op;
    }
    svc->SetCompressThreshold(kserver::kDefaultCompressThreshold);
    Reply all = c.Back("download_all_file", "<download_all_file/>");
    pugi::xml_node first = all.body.child("files").child("file");
    EXPECT_STREQ(first.attribute("file_name").value(), "alice") << "the root comes first";
    EXPECT_STREQ(first.attribute("dir").value(), "yes");
    pugi::xml_node one = first.next_sibling();
    EXPECT_STREQ(one.attribute("file_name").value(), "alice/one.txt");
    EXPECT_STREQ(one.child("file_size").text().get(), "1");
    EXPECT_STREQ(one.child("chunk_num").text().get(), "1");
    EXPECT_EQ(std::string(one.child("chunk").attribute("MD5").value()), Md5("1"));
}

TEST_F(ServiceTest, NamesComeBackAsCharacterReferences) {
    Client c = SignIn("alice");
    // The client escapes "&" as "&amp;" before its XML layer escapes it again.
    std::string wireName = "alice/\xe4\xb8\xad\xe6\x96\x87&amp;amp;x.txt";
    Reply r = c.Back("upload_file", UploadFileXml(wireName, "z", 7));
    ASSERT_EQ(r.result, "OK") << r.raw;
    const char* expect = "alice/&#x4E2D;&#x6587;&#x0026;x.txt";
    EXPECT_STREQ(r.body.attribute("file_name").value(), expect);
    ASSERT_EQ(Upload(c, wireName, "z", 7), "all_chunk_exist");
    Reply keep;
    EXPECT_EQ(List(c, &keep).count(expect), 1u);
    std::vector<kserver::Listed> all;
    store.Listing(AccountOf("alice"), true, &all);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].path, "alice/\xe4\xb8\xad\xe6\x96\x87&x.txt");
}

TEST_F(ServiceTest, SharedFoldersAppearForOwnerAndMemberWithContentsUnderTheId) {
    Client alice = SignIn("alice"), bob = SignIn("bob"), carol = SignIn("carol");
    ASSERT_EQ(store.MakeFolder(AccountOf("alice"), "alice/Team", 1, "x", false), kserver::kOk);
    ASSERT_EQ(Upload(alice, "alice/Team/plan.doc", "plan"), "all_chunk_exist");
    ASSERT_EQ(Upload(alice, "alice/private.txt", "mine"), "all_chunk_exist");
    int64_t id = 0;
    std::string error;
    ASSERT_EQ(store.Share(AccountOf("alice"), "Team", AccountOf("bob"), &id, &error), kserver::kOk) << error;
    EXPECT_GE(id, 10);
    const std::string sid = std::to_string(id);

    Reply keep;
    auto a = List(alice, &keep);
    ASSERT_EQ(a.count("alice/Team"), 1u);
    EXPECT_STREQ(a["alice/Team"].attribute("shared").value(), "yes");
    EXPECT_EQ(a["alice/Team"].attribute("folder_id").value(), sid);
    EXPECT_STREQ(a["alice/Team"].attribute("owner_name").value(), "alice");
    EXPECT_EQ(a.count(sid + "/plan.doc"), 1u);
    EXPECT_EQ(a.count("alice/Team/plan.doc"), 0u);

    Reply keepB;
    auto b = List(bob, &keepB);
    ASSERT_EQ(b.count("bob/Team"), 1u);
    EXPECT_EQ(b["bob/Team"].attribute("folder_id").value(), sid);
    EXPECT_STREQ(b["bob/Team"].attribute("owner_name").value(), "alice");
    EXPECT_EQ(b.count(sid + "/plan.doc"), 1u);
    EXPECT_EQ(b.count("alice/private.txt") + b.count("bob/private.txt"), 0u);

    // The member works inside the share; the owner sees it and hears about it.
    EXPECT_EQ(alice.Heartbeat().body.attribute("new_event").value(), std::string("yes"));
    EXPECT_EQ(alice.Heartbeat().body.attribute("new_event").value(), std::string("no"));
    ASSERT_EQ(Upload(bob, sid + "/notes.txt", "from bob"), "all_chunk_exist");
    EXPECT_EQ(alice.Heartbeat().body.attribute("new_event").value(), std::string("yes"));
    EXPECT_EQ(List(alice, &keep).count(sid + "/notes.txt"), 1u);
    Reply d =
        bob.Back("download_specific_file", "<download_specific_file file_name=\"" + sid + "/plan.doc\"/>");
    EXPECT_EQ(
        bob.DownloadChunk(Md5("plan"), d.body.child("chunk").attribute("storage_key").value()).attachment,
        "plan");
    EXPECT_EQ(
        carol.Back("download_specific_file", "<download_specific_file file_name=\"" + sid + "/plan.doc\"/>")
            .reason,
        "19");
    EXPECT_EQ(carol.DownloadChunk(Md5("plan"), d.body.child("chunk").attribute("storage_key").value()).reason,
              "21");

    // The member renames and then leaves the share; the owner's data stays.
    ASSERT_EQ(bob.Back("rename", "<rename old_file_name=\"" + sid + "\" new_file_name=\"bob/Work\"/>").result,
              "OK");
    EXPECT_EQ(List(bob, &keepB).count("bob/Work"), 1u);
    ASSERT_EQ(bob.Back("remove", "<remove file_name=\"" + sid + "\" purge_flag=\"no\"/>").result, "OK");
    EXPECT_EQ(List(bob, &keepB).size(), 0u);
    EXPECT_EQ(List(alice, &keep).count(sid + "/plan.doc"), 1u);
    EXPECT_EQ(
        bob.Back("download_specific_file", "<download_specific_file file_name=\"" + sid + "/plan.doc\"/>")
            .reason,
        "19");
}

TEST_F(ServiceTest, RenamesAndRemovalsMoveWholeSubtrees) {
    Client c = SignIn("alice");
    ASSERT_EQ(store.MakeFolder(AccountOf("alice"), "alice/a/b", 1, "x", true), kserver::kOk);
    ASSERT_EQ(Upload(c, "alice/a/b/f.txt", "f"), "all_chunk_exist");
    ASSERT_EQ(Upload(c, "alice/g.txt", "g"), "all_chunk_exist");
    auto rename = [&](const std::string& from, const std::string& to) {
        return c.Back("rename", "<rename old_file_name=\"" + from + "\" new_file_name=\"" + to + "\"/>");
    };
    EXPECT_EQ(rename("alice/a", "alice/z").result, "OK");
    Reply keep;
    auto l = List(c, &keep);
    EXPECT_EQ(l.count("alice/z/b/f.txt"), 1u);
    EXPECT_EQ(l.count("alice/a/b/f.txt"), 0u);
    EXPECT_EQ(rename("alice/g.txt", "alice/z").reason, "26");
    EXPECT_EQ(rename("alice/none", "alice/y").reason, "7");
    EXPECT_EQ(rename("alice/g.txt", "alice/nowhere/g.txt").reason, "20");
    EXPECT_EQ(rename("alice/z", "alice/z/b/inside").reason, "9");
    EXPECT_EQ(rename("alice/g.txt", "alice/G.TXT").result, "OK") << "letter case only";
    EXPECT_EQ(List(c, &keep).count("alice/G.TXT"), 1u);
    EXPECT_EQ(c.Back("remove", "<remove file_name=\"alice/z\" purge_flag=\"no\"/>").result, "OK");
    l = List(c, &keep);
    EXPECT_EQ(l.size(), 1u);
    EXPECT_EQ(c.Back("remove", "<remove file_name=\"alice/z\" purge_flag=\"no\"/>").reason, "7");
    EXPECT_EQ(c.Back("remove", "<remove file_name=\"alice\" purge_flag=\"no\"/>").reason, "9");
}

TEST_F(ServiceTest, HeartbeatReportsChangesMadeThroughOtherHosts) {
    Client a = SignIn("alice", "A"), b = SignIn("alice", "B");
    auto event = [](Client& c) { return std::string(c.Heartbeat().body.attribute("new_event").value()); };
    EXPECT_EQ(event(a), "no");
    ASSERT_EQ(Upload(b, "alice/x.txt", "x"), "all_chunk_exist");
    EXPECT_EQ(event(b), "no") << "its own change";
    EXPECT_EQ(event(a), "yes");
    EXPECT_EQ(event(a), "no");
    std::vector<kserver::ChunkRef> none;
    ASSERT_EQ(store.PutFile(AccountOf("alice"), "alice/cli.txt", 0, 9, none, kserver::kCliHost),
              kserver::kOk);
    EXPECT_EQ(event(a), "yes");
    EXPECT_EQ(event(b), "yes");
    Client other = SignIn("bob");
    EXPECT_EQ(event(other), "no") << "another account's changes are not announced";
}

// A heartbeat with wait_ms is held until another host changes the tree, the time runs out, or
// the service shuts down; its own host's changes do not end the wait.
TEST_F(ServiceTest, AHeldHeartbeatAnswersWhenAnotherHostChangesTheTree) {
    using Clock = std::chrono::steady_clock;
    Client a = SignIn("alice", "A"), b = SignIn("alice", "B");
    auto held = [](Client& c, int waitMs) {
        return std::async(std::launch::async, [&c, waitMs] {
            return std::string(c.Heartbeat(" wait_ms=\"" + std::to_string(waitMs) + "\"")
                                   .body.attribute("new_event")
                                   .value());
        });
    };
    auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };

    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(std::string(a.Heartbeat(" wait_ms=\"300\"").body.attribute("new_event").value()), "no");
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(300)) << "nothing changed: held to the end";

    auto forA = held(a, 20000);
    auto forB = held(b, 600);
    settle();
    ASSERT_EQ(Upload(b, "alice/x.txt", "x"), "all_chunk_exist");
    ASSERT_EQ(forA.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "released by the change";
    EXPECT_EQ(forA.get(), "yes");
    EXPECT_EQ(forB.get(), "no") << "its own change does not release it";

    EXPECT_EQ(a.Heartbeat(" wait_ms=\"soon\"").reason, "9") << "a malformed wait is refused";

    auto atShutdown = held(a, 20000);
    settle();
    store.WakeAll();
    ASSERT_EQ(atShutdown.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(atShutdown.get(), "no");
}

TEST_F(ServiceTest, InjectedFaultsShapeTheNextReplies) {
    Client c = SignIn("alice");
    ASSERT_EQ(Upload(c, "alice/f.bin", "0123456789"), "all_chunk_exist");
    Reply d = c.Back("download_specific_file", "<download_specific_file file_name=\"alice/f.bin\"/>");
    std::string key = d.body.child("chunk").attribute("storage_key").value();
    const std::string md5 = Md5("0123456789");

    faults.Arm("heartbeat", {kserver::FaultAction::Refuse, 13, 0, false, 2});
    EXPECT_EQ(c.Heartbeat().reason, "13");
    EXPECT_EQ(c.Heartbeat().reason, "13");
    EXPECT_EQ(c.Heartbeat().result, "OK") << "the fault is used up";

    faults.Arm("login", {kserver::FaultAction::Delay, 24, 0, false, 1});
    Reply r = c.Back("login", "<login account=\"alice\"/>");
    EXPECT_EQ(r.result, "delay");
    EXPECT_EQ(r.reason, "24");

    faults.Arm("download_chunk", {kserver::FaultAction::BadSequence, 0, 0, false, 1});
    c.seq = 10;
    EXPECT_EQ(c.DownloadChunk(md5, key).seq, "12");

    faults.Arm("download_chunk", {kserver::FaultAction::Corrupt, 0, 0, false, 1});
    std::string got = c.DownloadChunk(md5, key).attachment;
    ASSERT_EQ(got.size(), 10u);
    EXPECT_NE(got, "0123456789");
    EXPECT_EQ(c.DownloadChunk(md5, key).attachment, "0123456789");

    faults.Arm("*", {kserver::FaultAction::Drop, 0, 0, false, 1});
    EXPECT_EQ(c.Heartbeat().result, "dropped");
    faults.Arm("upload_file", {kserver::FaultAction::Stall, 0, 5, false, 1});
    EXPECT_EQ(Upload(c, "alice/g.txt", "g"), "all_chunk_exist") << "a stall then answers";
    faults.Arm("upload_file", {kserver::FaultAction::Stall, 0, 5, true, 1});
    EXPECT_EQ(c.Back("upload_file", UploadFileXml("alice/h.txt", "h", 1)).result, "dropped");
    Reply keep;
    EXPECT_EQ(List(c, &keep).count("alice/h.txt"), 0u) << "a dropped request has no effect";
}

TEST_F(ServiceTest, RemoveChunkDropsOnlyUnusedChunks) {
    Client c = SignIn("alice");
    ASSERT_EQ(Upload(c, "alice/f.bin", "used"), "all_chunk_exist");
    Reply d = c.Back("download_specific_file", "<download_specific_file file_name=\"alice/f.bin\"/>");
    std::string used = d.body.child("chunk").attribute("storage_key").value();
    auto remove = [&](const std::string& md5, const std::string& key) {
        return c.Trs("remove_chunk", "<remove_chunk MD5=\"" + md5 + "\" storage_key=\"" + key + "\"/>");
    };
    EXPECT_EQ(remove(Md5("used"), used).result, "OK");
    EXPECT_EQ(c.DownloadChunk(Md5("used"), used).attachment, "used") << "a chunk in use stays";

    kserver::ChunkRecord rec;
    ASSERT_TRUE(store.EnsureChunk(Md5("spare"), 5, AccountOf("alice").id, &rec));
    ASSERT_EQ(c.UploadChunk(Md5("spare"), rec.storageKey, "spare").result, "OK");
    ASSERT_TRUE(chunks.Exists(rec.storageKey));
    Reply r = remove(Md5("spare"), rec.storageKey);
    EXPECT_EQ(r.result, "OK");
    EXPECT_STREQ(r.body.attribute("storage_key").value(), rec.storageKey.c_str());
    EXPECT_FALSE(chunks.Exists(rec.storageKey));
    EXPECT_EQ(remove(Md5("spare"), rec.storageKey).reason, "21");
}

TEST_F(ServiceTest, ManyHostsUploadAtOnce) {
    // Hosts of one account and of others upload at the same time, partly the same content.
    std::vector<Client> clients = {SignIn("alice", "A1"), SignIn("alice", "A2"), SignIn("bob", "B1"),
                                   SignIn("carol", "C1")};
    std::vector<std::thread> threads;
    std::vector<int> done(clients.size(), 0);
    for (size_t t = 0; t < clients.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) {
                std::string name =
                    clients[t].user + "/t" + std::to_string(t) + "_" + std::to_string(i) + ".bin";
                std::string content = Bytes(3000 + static_cast<size_t>(i), static_cast<unsigned>(i % 3));
                if (Upload(clients[t], name, content) == "all_chunk_exist")
                    ++done[t];
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (size_t t = 0; t < clients.size(); ++t)
        EXPECT_EQ(done[t], 8) << clients[t].host;
    for (const char* user : {"alice", "bob", "carol"}) {
        std::vector<kserver::Listed> all;
        ASSERT_EQ(store.Listing(AccountOf(user), false, &all), kserver::kOk);
        EXPECT_EQ(all.size(), std::string(user) == "alice" ? 17u : 9u) << user;
        for (size_t i = 1; i < all.size(); ++i) {
            std::string bytes;
            EXPECT_TRUE(chunks.Read(all[i].chunks[0].storageKey, &bytes)) << all[i].path;
            EXPECT_EQ(Md5(bytes), all[i].chunks[0].md5) << all[i].path;
        }
    }
}

TEST_F(ServiceTest, EverythingSurvivesReopeningTheDataFolder) {
    Client c = SignIn("alice");
    ASSERT_EQ(Upload(c, "alice/keep.txt", "kept"), "all_chunk_exist");
    kserver::CServerStore again;
    std::string error;
    ASSERT_TRUE(again.Open(dir.Path(), &error)) << error;
    std::vector<kserver::Listed> all;
    ASSERT_EQ(again.Listing(AccountOf("alice"), false, &all), kserver::kOk);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].path, "alice/keep.txt");
    int64_t owner = 0;
    EXPECT_TRUE(again.HostAccount(c.host, &owner));
    EXPECT_TRUE(again.PassportValid(c.passport, owner));
    std::string bytes;
    EXPECT_TRUE(chunks.Read(all[1].chunks[0].storageKey, &bytes));
    EXPECT_EQ(bytes, "kept");
}

}  // namespace
}  // namespace servertest
