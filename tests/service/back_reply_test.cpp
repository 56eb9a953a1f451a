// CBack's reply parsers fed with crafted trees (plain and compressed listings, malformed entries,
// hostile compress values and keys), and CBack over a canned HTTP server: the requests it frames,
// replies shaped like other SOAP stacks, and replies no sound service sends.
#include <zlib.h>

#include "back_fixture.h"

using backtest::BackCannedTest;
using backtest::Frame;
using backtest::Http12;
using backtest::Soap11;
using backtest::Soap12;
using testsupport::CannedHttpServer;

namespace {

const std::string kA = "0123456789abcdef0123456789abcdef";
const std::string kB = "fedcba9876543210fedcba9876543210";
const std::string kC = "00112233445566778899aabbccddeeff";

// The Base64 of the zlib-compressed text, as the service sends a compressed listing.
std::string Packed(const std::string& text) {
    uLongf len = compressBound(static_cast<uLong>(text.size()));
    std::string buf(len, '\0');
    EXPECT_EQ(
        compress2(reinterpret_cast<Bytef*>(buf.data()), &len, reinterpret_cast<const Bytef*>(text.data()),
                  static_cast<uLong>(text.size()), Z_DEFAULT_COMPRESSION),
        Z_OK);
    return CUtil::Base64EncodeBytes(buf.data(), len);
}

std::string CompressedElement(const std::string& name, const std::string& inner, long long announced = -1) {
    long long n = announced >= 0 ? announced : static_cast<long long>(inner.size());
    return "<" + name + " compress=\"" + std::to_string(n) + "\">" + Packed(inner) + "</" + name + ">";
}

// A parsed tree whose document element is the body handed to a parser.
struct Tree {
    pugi::xml_document doc;
    pugi::xml_node Load(const std::string& xml) {
        EXPECT_TRUE(doc.load_string(xml.c_str())) << xml;
        return doc.document_element();
    }
};

const std::string kListEntries =
    "<file file_name=\"alice/Docs\" modify_time=\"1\" dir_flag=\"yes\" shared=\"no\"/>"
    "<file file_name=\"alice/Docs/&amp;#x8BA1;a&amp;#x0026;b.txt\" modify_time=\"133000000000000000\" "
    "dir_flag=\"no\" "
    "file_size=\"5000000\"><chunk_list chunk_num=\"2\">" +
    kA + "," + kB +
    "</chunk_list></file>"
    "<file file_name=\"alice/team\" modify_time=\"1\" dir_flag=\"yes\" shared=\"yes\" folder_id=\"37\" "
    "owner_name=\"bob\"/>"
    "<file file_name=\"\" modify_time=\"1\" dir_flag=\"yes\"/>"
    "<file file_name=\"alice/DOCS\" modify_time=\"2\" dir_flag=\"no\" file_size=\"0\"><chunk_list "
    "chunk_num=\"0\"></chunk_list></file>"
    "<file file_name=\"alice/empty.txt\" modify_time=\"3\" dir_flag=\"no\" file_size=\"0\"><chunk_list "
    "chunk_num=\"0\"/></file>";

void ExpectListEntries(CBack::FileMap& map) {
    ASSERT_EQ(map.size(), 4u);
    EXPECT_EQ(map["alice/docs"].path, "alice/Docs") << "the first of two case variants stays";
    EXPECT_EQ(map["alice/docs"].dirFlag, 1);
    const std::string name =
        "alice/Docs/\xE8\xAE\xA1"
        "a&b.txt";  // decoded into the (UTF-8) code page
    ASSERT_EQ(map.count(CBack::ListKey(name)), 1u);
    const CFileInfo& f = map[CBack::ListKey(name)];
    EXPECT_EQ(f.path, name);
    EXPECT_EQ(f.dirFlag, 0);
    EXPECT_EQ(f.size, 5000000);
    EXPECT_EQ(f.modifyTime, 133000000000000000LL);
    EXPECT_EQ(f.chunkCount, 2);
    EXPECT_EQ(f.chunkListText, kA + "," + kB);
    ASSERT_EQ(f.chunks.size(), 2u);
    EXPECT_EQ(f.chunks[1].key, kB);
    EXPECT_EQ(map["alice/team"].dirFlag, 37);
    EXPECT_EQ(map["alice/team"].ownerName, "bob");
    EXPECT_EQ(map["alice/empty.txt"].size, 0);
}

}  // namespace

// ---- Folder listing

TEST(BackListParse, PlainAndCompressedListingsGiveTheSameMap) {
    testsupport::FakeHome home;
    testsupport::LogCapture log;
    CBack back;
    Tree plain, packed, prefixed;
    CBack::FileMap a, b, c;
    ASSERT_TRUE(back.ParseOmGetList(
        plain.Load("<file_list_rsp compress=\"0\">" + kListEntries + "</file_list_rsp>"), &a));
    ExpectListEntries(a);
    EXPECT_TRUE(log.Contains("file name is NULL!"));
    ASSERT_TRUE(back.ParseOmGetList(packed.Load(CompressedElement("file_list_rsp", kListEntries)), &b))
        << log.Text();
    ExpectListEntries(b);
    EXPECT_TRUE(log.Contains("<file_list_rsp compress=\"" + std::to_string(kListEntries.size()) +
                             "\"><file file_name=\"alice/Docs\""))
        << "the joined text is logged";

    // Another stack may prefix the reply element: the joined text must close the same name.
    std::string text = "<ns1:file_list_rsp xmlns:ns1=\"urn:kestrine\" compress=\"" +
                       std::to_string(kListEntries.size()) + "\">" + Packed(kListEntries) +
                       "</ns1:file_list_rsp>";
    ASSERT_TRUE(back.ParseOmGetList(prefixed.Load(text), &c)) << log.Text();
    ExpectListEntries(c);

    // An empty folder lists nothing and replaces what the map held.
    Tree empty;
    ASSERT_TRUE(back.ParseOmGetList(empty.Load("<file_list_rsp compress=\"0\"/>"), &c));
    EXPECT_TRUE(c.empty());
}

TEST(BackListParse, MalformedListingsFailAndLeaveTheMapAlone) {
    testsupport::FakeHome home;
    const std::string file = "<file file_name=\"alice/f\" modify_time=\"1\" dir_flag=\"no\" file_size=\"1\">";
    const std::string garbageBase64 = "!!!!not base64 at all****";
    // A valid zlib stream of 300 bytes announced as 5.
    const std::string inflatesLonger = CompressedElement("file_list_rsp", std::string(300, ' '), 5);
    struct Case {
        const char* what;
        std::string xml;
        const char* message;
    } cases[] = {
        {"another element", "<upload_file_rsp/>",
         "Mismatched element \"upload_file_rsp\" with \"file_list_rsp\""},
        {"entry is not a file", "<file_list_rsp compress=\"0\"><folder/></file_list_rsp>",
         "Fail to get a node"},
        {"file without chunk list", "<file_list_rsp>" + file + "</file></file_list_rsp>",
         "Fail to get a node FILECHUNKNUM"},
        {"chunk list misnamed", "<file_list_rsp>" + file + "<chunks/></file></file_list_rsp>",
         "Fail to get a element CHUNKLIST"},
        {"count disagrees",
         "<file_list_rsp>" + file + "<chunk_list chunk_num=\"3\">" + kA + "," + kB +
             "</chunk_list></file></file_list_rsp>",
         "Mismatched chunk list (3 chunks) of file {alice/f}"},
        {"key is not a key",
         "<file_list_rsp>" + file + "<chunk_list chunk_num=\"1\">../../x</chunk_list></file></file_list_rsp>",
         "Mismatched chunk list"},
        {"neither file nor folder",
         "<file_list_rsp><file file_name=\"alice/f\" dir_flag=\"maybe\"/></file_list_rsp>",
         "Unknown dir flag \"maybe\" of {alice/f}"},
        {"share without id",
         "<file_list_rsp><file file_name=\"alice/s\" dir_flag=\"yes\" shared=\"yes\"/></file_list_rsp>",
         "Invalid folder id \"\" of shared folder {alice/s}"},
        {"negative size",
         "<file_list_rsp><file file_name=\"alice/f\" dir_flag=\"no\" "
         "file_size=\"-5\"><chunk_list/></file></file_list_rsp>",
         "Invalid size -5 of file {alice/f}"},
        {"compress beyond the bound",
         "<file_list_rsp compress=\"300000000\">" + Packed("x") + "</file_list_rsp>",
         "Refuse a compressed list of 300000000 bytes"},
        {"compress beyond what the text can hold",
         "<file_list_rsp compress=\"9000000\">" + Packed("x") + "</file_list_rsp>",
         "Refuse a compressed list of 9000000 bytes"},
        {"Base64 garbage", "<file_list_rsp compress=\"40\">" + garbageBase64 + "</file_list_rsp>",
         " UnCompress string fail, error code :"},
        {"inflates past N + 4", inflatesLonger, " UnCompress string fail, error code :-5"},
        {"inflated text is not XML", CompressedElement("file_list_rsp", "<file file_name=\"a\""),
         "Fail to parse the uncompressed list"},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        CBack back;
        Tree tree;
        CBack::FileMap map;
        map["kept"] = CFileInfo("kept");
        EXPECT_FALSE(back.ParseOmGetList(tree.Load(c.xml), &map)) << c.what;
        EXPECT_TRUE(log.Contains(c.message)) << c.what << "\n" << log.Text();
        EXPECT_EQ(map.size(), 1u) << c.what;
    }
    testsupport::LogCapture log;
    CBack back;
    CBack::FileMap map;
    EXPECT_FALSE(back.ParseOmGetList(pugi::xml_node(), &map));
    EXPECT_EQ(log.LastError(), "Fail to get a body node");
}

// ---- Whole tree

TEST(BackDownloadAllParse, PlainAndCompressedTreesGiveTheSameList) {
    testsupport::FakeHome home;
    testsupport::LogCapture log;
    const std::string files =
        "<files>"
        "<file file_name=\"alice\" modify_time=\"1\" dir=\"yes\" shared=\"no\"/>"
        "<file file_name=\"alice/A.txt\" modify_time=\"7\" dir=\"no\"><file_size>4194310</file_size>"
        "<chunk_num>2</chunk_num>"
        "<chunk MD5=\"" +
        kA +
        "\" storage_key=\"sk1\" chunk_size=\"4194304\"/>"
        "<chunk MD5=\"" +
        kB +
        "\" storage_key=\"sk2\" chunk_size=\"6\"/></file>"
        "<file file_name=\"alice/a.txt\" modify_time=\"8\" "
        "dir=\"no\"><file_size>0</file_size><chunk_num>0</chunk_num></file>"
        "<file file_name=\"\" modify_time=\"8\" dir=\"no\"/>"
        "<file file_name=\"alice/team\" modify_time=\"1\" dir=\"yes\" shared=\"yes\" folder_id=\"37\" "
        "owner_name=\"bob\"/>"
        "</files>";
    CBack back;
    for (const std::string& xml :
         {"<download_all_file_rsp compress=\"0\">" + files + "</download_all_file_rsp>",
          CompressedElement("download_all_file_rsp", files)}) {
        Tree tree;
        std::vector<CFileInfo> list(3);
        ASSERT_TRUE(back.ParseOmDownloadAll(tree.Load(xml), &list)) << log.Text();
        ASSERT_EQ(list.size(), 4u) << "both case variants stay; the nameless entry does not";
        EXPECT_EQ(list[0].path, "alice");
        EXPECT_EQ(list[0].dirFlag, 1);
        EXPECT_EQ(list[1].path, "alice/A.txt");
        EXPECT_EQ(list[1].size, 4194310);
        EXPECT_EQ(list[1].chunkListText, kA + "," + kB);
        EXPECT_EQ(list[1].chunkCount, 2);
        EXPECT_EQ(list[1].chunks[0].storageKey, "sk1");
        EXPECT_EQ(list[1].chunks[0].size, 4194304);
        EXPECT_EQ(list[2].path, "alice/a.txt");
        EXPECT_EQ(list[2].chunkCount, 0);
        EXPECT_EQ(list[3].dirFlag, 37);
        EXPECT_EQ(list[3].ownerName, "bob");
    }
    EXPECT_TRUE(log.Contains("file name is NULL!"));
}

TEST(BackDownloadAllParse, MalformedTreesFailAndLeaveTheListAlone) {
    testsupport::FakeHome home;
    const std::string open =
        "<download_all_file_rsp compress=\"0\"><files><file file_name=\"alice/f\" dir=\"no\">";
    const std::string close = "</file></files></download_all_file_rsp>";
    auto chunk = [](const std::string& key, const std::string& size) {
        return "<chunk MD5=\"" + key + "\" storage_key=\"sk\" chunk_size=\"" + size + "\"/>";
    };
    const std::string head = "<file_size>10</file_size>";
    struct Case {
        const char* what;
        std::string xml;
        std::string message;
    } cases[] = {
        {"no files element", "<download_all_file_rsp compress=\"0\"/>", "Fail to get a node child"},
        {"entries not wrapped", "<download_all_file_rsp><file/></download_all_file_rsp>",
         "Fail to get a element"},
        {"entry is not a file", "<download_all_file_rsp><files><dir/></files></download_all_file_rsp>",
         "Fail to get a node"},
        {"file without size", open + close, "Fail to get a node FILESIZE"},
        {"size misnamed", open + "<chunk_num>0</chunk_num>" + close, "Fail to get a element"},
        {"no chunk count", open + head + close, "Fail to get a node FILECHUNKNUM"},
        {"fewer chunks than announced", open + head + "<chunk_num>2</chunk_num>" + chunk(kA, "10") + close,
         "Fail to get a element"},
        {"more chunks than announced",
         open + head + "<chunk_num>1</chunk_num>" + chunk(kA, "5") + chunk(kB, "5") + close,
         "Mismatched chunk count 1 of file {alice/f}"},
        {"chunk larger than 4 MiB", open + head + "<chunk_num>1</chunk_num>" + chunk(kA, "4194305") + close,
         "Invalid chunk {" + kA + "} of 4194305 bytes in {alice/f}"},
        {"chunk of no bytes", open + head + "<chunk_num>1</chunk_num>" + chunk(kA, "0") + close,
         "Invalid chunk"},
        {"key that names a path",
         open + head + "<chunk_num>1</chunk_num>" + chunk("../../../etc/passwd", "10") + close,
         "Invalid chunk {../../../etc/passwd}"},
        {"no dir flag",
         "<download_all_file_rsp><files><file file_name=\"alice/f\"/></files></download_all_file_rsp>",
         "Unknown dir flag \"\" of {alice/f}"},
        {"compressed garbage", "<download_all_file_rsp compress=\"20\">AAAA</download_all_file_rsp>",
         " UnCompress string fail"},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        CBack back;
        Tree tree;
        std::vector<CFileInfo> list(2);
        EXPECT_FALSE(back.ParseOmDownloadAll(tree.Load(c.xml), &list)) << c.what;
        EXPECT_TRUE(log.Contains(c.message)) << c.what << "\n" << log.Text();
        EXPECT_EQ(list.size(), 2u) << c.what;
    }
}

// ---- One file, registration, upload answers

TEST(BackDownloadParse, ChunkElementsDecideTheChunkList) {
    testsupport::FakeHome home;
    testsupport::LogCapture log;
    CBack back;
    Tree tree;
    CFileInfo info("old");
    info.chunks.emplace_back(kC);
    ASSERT_TRUE(back.ParseOmDownload(
        tree.Load("<download_specific_file_rsp file_name=\"alice/&amp;#x4E2D;.txt\" modify_time=\"9\" "
                  "file_size=\"12\" "
                  "chunk_num=\"5\"><chunk MD5=\"" +
                  kA + "\" storage_key=\"skA\" chunk_size=\"7\"/><chunk MD5=\"" + kB +
                  "\" storage_key=\"skB\" chunk_size=\"5\"/></download_specific_file_rsp>"),
        &info));
    EXPECT_EQ(info.path, "alice/\xE4\xB8\xAD.txt");
    EXPECT_EQ(info.modifyTime, 9);
    EXPECT_EQ(info.size, 12);
    EXPECT_EQ(info.chunkCount, 2) << "the elements count, not chunk_num";
    EXPECT_EQ(info.chunkListText, kA + "," + kB);
    ASSERT_EQ(info.chunks.size(), 2u);
    EXPECT_EQ(info.chunks[1].storageKey, "skB");

    Tree bad;
    CFileInfo untouched("untouched");
    EXPECT_FALSE(
        back.ParseOmDownload(bad.Load("<download_specific_file_rsp file_name=\"a\"><chunk MD5=\"" + kA +
                                      "\" chunk_size=\"3\"/><note/></download_specific_file_rsp>"),
                             &untouched));
    EXPECT_EQ(untouched.path, "untouched");
    EXPECT_EQ(log.LastError(), "Fail to get a element");
}

TEST(BackUploadParse, NextStepAnswers) {
    testsupport::FakeHome home;
    const std::string named = "<MD5>" + kA + "</MD5><storage_key>sk9</storage_key>";
    struct Case {
        const char* what;
        bool chunkDone;
        std::string xml;
        bool ok;
        const char* op;
        const char* key;
        const char* message;  // expected in the log ("" for none)
    } cases[] = {
        {"all present", false,
         "<upload_file_rsp file_name=\"a\"><next_op op=\"all_chunk_exist\"/></upload_file_rsp>", true,
         "all_chunk_exist", "", ""},
        {"a chunk asked for", false,
         "<upload_file_rsp file_name=\"a\"><next_op op=\"upload_chunk\">" + named +
             "</next_op></upload_file_rsp>",
         true, "upload_chunk", kA.c_str(), ""},
        {"conflict", false,
         "<upload_file_rsp file_name=\"a\"><next_op op=\"copy_conflic_file\"/></upload_file_rsp>", true,
         "copy_conflic_file", "", "!!!Get ack: copy_conflic_file"},
        {"chunk asked for without its name", false,
         "<upload_file_rsp file_name=\"a\"><next_op op=\"upload_chunk\"/></upload_file_rsp>", false,
         "upload_chunk", "", "Fail to get a body node"},
        {"storage key first", false,
         "<upload_file_rsp file_name=\"a\"><next_op "
         "op=\"upload_chunk\"><storage_key>k</storage_key></next_op>"
         "</upload_file_rsp>",
         false, "upload_chunk", "", "Fail to get a element"},
        {"key that is not a chunk key", false,
         "<upload_file_rsp file_name=\"a\"><next_op "
         "op=\"upload_chunk\"><MD5>../x</MD5><storage_key>k</storage_key>"
         "</next_op></upload_file_rsp>",
         false, "upload_chunk", "", "Invalid chunk key {../x} for upload_chunk"},
        {"no next step", false, "<upload_file_rsp file_name=\"a\"/>", false, "", "",
         "Fail to get a body node"},
        {"next step misnamed", false, "<upload_file_rsp file_name=\"a\"><op/></upload_file_rsp>", false, "",
         "", "Fail to get a element"},
        {"drop a chunk", true,
         "<chunk_uploaded_rsp file_name=\"a\"><next_op op=\"remove_chunk\">" + named +
             "</next_op></chunk_uploaded_rsp>",
         true, "remove_chunk", kA.c_str(), ""},
        {"done", true,
         "<chunk_uploaded_rsp file_name=\"a\"><next_op op=\"all_chunk_exist\"/></chunk_uploaded_rsp>", true,
         "all_chunk_exist", "", ""},
        {"done without next step", true, "<chunk_uploaded_rsp file_name=\"a\"/>", false, "", "",
         "Fail to get a element {next_op} of node NULL"},
        {"next step misnamed after a chunk", true,
         "<chunk_uploaded_rsp file_name=\"a\"><nxt/></chunk_uploaded_rsp>", false, "", "",
         "Mismatched element \"nxt\" with \"next_op\""},
        {"chunk named without storage key", true,
         "<chunk_uploaded_rsp file_name=\"a\"><next_op op=\"upload_chunk\"><MD5>" + kA +
             "</MD5></next_op>"
             "</chunk_uploaded_rsp>",
         false, "upload_chunk", "", "Fail to get a element"},
    };
    for (const Case& c : cases) {
        testsupport::LogCapture log;
        CBack back;
        Tree tree;
        std::string op, name;
        CChunkInfo chunk("stale");
        bool ok = c.chunkDone ? back.ParseOmChunkDone(tree.Load(c.xml), &op, &name, &chunk)
                              : back.ParseOmUpload(tree.Load(c.xml), &op, &name, &chunk);
        EXPECT_EQ(ok, c.ok) << c.what << "\n" << log.Text();
        EXPECT_EQ(op, c.op) << c.what;
        if (ok) {
            EXPECT_EQ(name, "a") << c.what;
            EXPECT_EQ(chunk.key, c.key) << c.what;
            EXPECT_EQ(chunk.storageKey, *c.key ? "sk9" : "") << c.what;
        } else {
            EXPECT_EQ(chunk.key, "stale") << c.what;
        }
        if (*c.message) {
            EXPECT_TRUE(log.Contains(c.message)) << c.what << "\n" << log.Text();
        } else {
            EXPECT_FALSE(log.Contains("!!!Get ack")) << c.what;
        }
    }
}

// ---- Over HTTP: the requests

TEST_F(BackCannedTest, RequestsCarryTheFrameAndTheOperationBodies) {
    const std::string ok = Http12(Frame("<login_rsp/>"));
    for (int i = 0; i < 8; ++i)
        canned_.Push(ok);
    std::string ack;
    CChunkInfo next;
    CFileInfo previous = backtest::FileOf("alice/R&D.txt", {"old one", "old two"}, 3);
    CFileInfo now = backtest::FileOf("alice/R&D.txt", {"new one"}, 4);
    back_.Login(&ack);
    back_.GetHostID("my-pc", &ack);
    back_.Upload(now, nullptr, &ack, &next);
    back_.Upload(now, &previous, &ack, &next);
    back_.ChunkDone(now, now.chunks[0], &ack, &next);
    CBack::FileMap map;
    back_.GetList("alice", &ack, &map);
    back_.Remove("alice/R&D.txt", &ack);
    back_.Rename("alice/a", "alice/b", &ack);
    ASSERT_EQ(canned_.Requests().size(), 8u);

    pugi::xml_document d[8];
    pugi::xml_node op[8];
    for (size_t i = 0; i < 8; ++i) {
        op[i] = RequestBody(i, &d[i]);
        ASSERT_TRUE(op[i]) << i;
        EXPECT_STREQ(op[i].attribute("version").value(), "version01");
        EXPECT_STREQ(op[i].attribute("src").value(), "windows");
        pugi::xml_node head = op[i].child("request_head");
        EXPECT_STREQ(head.attribute("user_name").value(), "alice");
        EXPECT_EQ(head.attribute("password").value(), soapchannel::PasswordDigest("pw"));
        EXPECT_STREQ(head.attribute("passport").value(), "passport-1");
        EXPECT_EQ(head.attribute("req_sequence").as_int(), static_cast<int>(i + 1));
        EXPECT_STREQ(head.child("host_id").text().get(), "host-1");
    }
    EXPECT_STREQ(op[0].child("login").attribute("account").value(), "alice");
    EXPECT_STREQ(op[1].child("obtain_host_id").attribute("computer_name").value(), "my-pc");

    // A new file: no old chunks; the name's "&" escaped once before the XML layer escapes it.
    pugi::xml_node up = op[2].child("upload_file");
    std::vector<std::string> names;
    for (pugi::xml_attribute a = up.first_attribute(); a; a = a.next_attribute())
        names.push_back(a.name());
    EXPECT_EQ(names, (std::vector<std::string>{"file_name", "dir_flag", "file_size", "modify_time",
                                               "new_chunk_num", "new_file_flag", "old_chunk_num"}));
    EXPECT_STREQ(up.attribute("file_name").value(), "alice/R&amp;D.txt");
    EXPECT_NE(canned_.Requests()[2].body.find("alice/R&amp;amp;D.txt"), std::string::npos);
    EXPECT_STREQ(up.attribute("dir_flag").value(), "no");
    EXPECT_STREQ(up.attribute("file_size").value(), "7");
    EXPECT_STREQ(up.attribute("modify_time").value(), "4");
    EXPECT_STREQ(up.attribute("new_chunk_num").value(), "1");
    EXPECT_STREQ(up.attribute("new_file_flag").value(), "yes");
    EXPECT_STREQ(up.attribute("old_chunk_num").value(), "0");
    EXPECT_FALSE(up.child("old_chunk"));
    EXPECT_EQ(up.child("new_chunk").attribute("MD5").value(), now.chunks[0].key);
    EXPECT_STREQ(up.child("new_chunk").attribute("chunk_size").value(), "7");
    EXPECT_STREQ(up.child("new_chunk").attribute("block_num").value(), "0");

    // A changed file: the old chunks first, then the new ones.
    pugi::xml_node changed = op[3].child("upload_file");
    EXPECT_STREQ(changed.attribute("new_file_flag").value(), "no");
    EXPECT_STREQ(changed.attribute("old_chunk_num").value(), "2");
    std::vector<std::string> children;
    for (pugi::xml_node c = changed.first_child(); c; c = c.next_sibling())
        children.push_back(std::string(c.name()) + ":" + c.attribute("MD5").value());
    EXPECT_EQ(children, (std::vector<std::string>{"old_chunk:" + previous.chunks[0].key,
                                                  "old_chunk:" + previous.chunks[1].key,
                                                  "new_chunk:" + now.chunks[0].key}));

    pugi::xml_node done = op[4].child("chunk_uploaded");
    EXPECT_EQ(done.attribute("MD5").value(), now.chunks[0].key);
    EXPECT_STREQ(done.attribute("file_name").value(), "alice/R&amp;D.txt");
    EXPECT_EQ(done.child("chunk_list").text().get(), now.chunkListText);
    EXPECT_STREQ(done.child("chunk_list").attribute("chunk_num").value(), "1");

    pugi::xml_node list = op[5].child("file_list");
    EXPECT_STREQ(list.attribute("folder_name").value(), "alice");
    EXPECT_STREQ(list.attribute("recursive").value(), "yes");
    EXPECT_STREQ(list.attribute("show_delete").value(), "no");
    EXPECT_STREQ(op[6].child("remove").attribute("purge_flag").value(), "no");
    EXPECT_STREQ(op[7].child("rename").attribute("new_file_name").value(), "alice/b");

    // After a reset and a new Init the numbering starts again.
    back_.Reset();
    ASSERT_TRUE(back_.Init(canned_.Url("/axis2/services/mirn_service_bs"), "alice", "pw", "host-1", ""));
    canned_.Push(ok);
    back_.Login(&ack);
    pugi::xml_document again;
    EXPECT_EQ(RequestBody(8, &again).child("request_head").attribute("req_sequence").as_int(), 1);
}

// ---- Over HTTP: replies of other shapes, and broken ones

TEST_F(BackCannedTest, RepliesShapedLikeOtherStacksAreRead) {
    // SOAP 1.1, pretty-printed, every payload element prefixed.
    const std::string prefixed =
        "<ns1:operation xmlns:ns1=\"urn:kestrine\" version=\"version01\">\n"
        "  <ns1:response_head result=\"OK\" rsp_sequence=\"1\"/>\n"
        "  <ns1:file_list_rsp compress=\"0\">\n"
        "    <ns1:file file_name=\"alice/x\" modify_time=\"4\" dir_flag=\"no\" file_size=\"3\">\n"
        "      <ns1:chunk_list chunk_num=\"1\">" +
        kA +
        "</ns1:chunk_list>\n"
        "    </ns1:file>\n"
        "  </ns1:file_list_rsp>\n"
        "</ns1:operation>";
    canned_.Push(CannedHttpServer::Response(200, "text/xml; charset=utf-8", Soap11(prefixed)));
    // SOAP 1.2 inside an MTOM package without attachments, as MTOM-enabled stacks answer.
    const std::string mime =
        "--MIMEBoundary_9f2c\r\nContent-Type: application/xop+xml; charset=UTF-8; "
        "type=\"application/soap+xml\"\r\n"
        "Content-Transfer-Encoding: binary\r\nContent-ID: <0.root@example.org>\r\n\r\n" +
        Soap12(Frame("<login_rsp/>")) + "\r\n--MIMEBoundary_9f2c--\r\n";
    canned_.Push(CannedHttpServer::Response(
        200,
        "multipart/related; boundary=\"MIMEBoundary_9f2c\"; type=\"application/xop+xml\"; "
        "start=\"<0.root@example.org>\"; start-info=\"application/soap+xml\"",
        mime));

    std::string ack;
    CBack::FileMap map;
    ASSERT_TRUE(back_.GetList("alice", &ack, &map)) << log_.Text();
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map["alice/x"].chunkListText, kA);
    EXPECT_TRUE(back_.Login(&ack)) << log_.Text();
    EXPECT_EQ(ack, "OK");
}

TEST_F(BackCannedTest, BrokenRepliesFailWithoutTouchingTheAcknowledgement) {
    const std::string fault12 =
        "<soapenv:Fault><soapenv:Code><soapenv:Value>soapenv:Receiver</soapenv:Value></soapenv:Code>"
        "<soapenv:Reason><soapenv:Text xml:lang=\"en\">internal "
        "error</soapenv:Text></soapenv:Reason></soapenv:Fault>";
    const std::string fault11 =
        "<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>boom</faultstring>"
        "</SOAP-ENV:Fault>";
    const std::string whole = Soap12(Frame("<login_rsp/>"));
    struct Case {
        const char* what;
        std::string reply;
        const char* ack;      // after the call
        const char* message;  // in the log ("" for none)
    } cases[] = {
        {"SOAP 1.2 fault", CannedHttpServer::Response(500, "application/soap+xml", Soap12(fault12)),
         "untouched", "Fail to parse the responsed head"},
        {"SOAP 1.1 fault", CannedHttpServer::Response(500, "text/xml", Soap11(fault11)), "untouched",
         "Fail to parse the responsed head"},
        {"malformed XML", Http12("<operation version=\"version01\"><response_head result=\"OK\">"),
         "untouched", ""},
        {"not SOAP at all",
         CannedHttpServer::Response(404, "text/html", "<html><body>Not Found</body></html>"), "untouched",
         ""},
        {"truncated body",
         "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\nConnection: close\r\nContent-Length: " +
             std::to_string(whole.size()) + "\r\n\r\n" + whole.substr(0, whole.size() / 2),
         "untouched", ""},
        {"empty body", Http12(""), "untouched", ""},
        {"another version", Http12(Frame("<login_rsp/>", "OK", "", "version02")), "untouched",
         "Mismatched VER version02 with version01"},
        {"no head", Http12("<operation version=\"version01\"/>"), "untouched", "Fail to get a node HEAD"},
        {"refusal without reason", Http12(Frame("", "fail")), "fail", "Fail to get a node child"},
    };
    for (const Case& c : cases) {
        CannedHttpServer::Reply r{c.reply};
        // Only the truncated reply ends its connection, and it says so in its header.
        r.close = c.reply.find("Connection: close") != std::string::npos;
        canned_.Push(r);
        std::string ack = "untouched";
        EXPECT_FALSE(back_.Login(&ack)) << c.what;
        EXPECT_EQ(ack, c.ack) << c.what;
        if (*c.message) {
            EXPECT_TRUE(log_.Contains(c.message)) << c.what << "\n" << log_.Text();
        }
    }
    EXPECT_EQ(back_.GetReason(), "");
}

TEST_F(BackCannedTest, AnswersForAnotherFileOrWithoutAHostIdFail) {
    canned_.Push(Http12(Frame(
        "<upload_file_rsp file_name=\"alice/b.txt\"><next_op op=\"all_chunk_exist\"/></upload_file_rsp>")));
    canned_.Push(
        Http12(Frame("<chunk_uploaded_rsp file_name=\"alice/b.txt\"><next_op op=\"all_chunk_exist\"/>"
                     "</chunk_uploaded_rsp>")));
    canned_.Push(Http12(Frame("<obtain_host_id_rsp/>")));
    canned_.Push(Http12(Frame("")));
    canned_.Push(Http12(Frame("<obtain_host_id_rsp host_id=\"h-42\"/>")));
    canned_.Push(Http12(Frame("<download_all_file_rsp compress=\"0\"/>")));

    CFileInfo f = backtest::FileOf("alice/a.txt", {"a"}, 1);
    std::string ack;
    CChunkInfo next;
    EXPECT_FALSE(back_.Upload(f, nullptr, &ack, &next));
    EXPECT_TRUE(log_.Contains("mismached upload file {alice/a.txt} with {alice/b.txt}"));
    EXPECT_FALSE(back_.ChunkDone(f, f.chunks[0], &ack, &next));
    EXPECT_TRUE(log_.Contains("Mismached upload file {alice/a.txt} with {alice/b.txt}"));

    EXPECT_FALSE(back_.GetHostID("pc", &ack)) << "a head of OK without a host id registers nothing";
    EXPECT_EQ(ack, "");
    EXPECT_FALSE(back_.GetHostID("pc", &ack));
    EXPECT_EQ(ack, "OK");
    EXPECT_TRUE(back_.GetHostID("pc", &ack));
    EXPECT_EQ(ack, "h-42");

    std::vector<CFileInfo> list(1);
    EXPECT_FALSE(back_.DownloadAll(&ack, &list)) << "a tree that cannot be read is no tree";
    EXPECT_EQ(list.size(), 1u);
}
