// An in-process reference service (store, chunk files, SOAP services) on a fresh data folder,
// with accounts alice, bob and carol and helpers that sign a host in and drive whole uploads.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "soap_helpers.h"
#include "support/tempdir.h"

namespace servertest {

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(store.Open(dir.Path(), &error)) << error;
        ASSERT_TRUE(chunks.Open(dir.Path(), &error)) << error;
        svc = std::make_unique<kserver::CSoapService>(store, chunks, faults);
        for (const char* name : {"alice", "bob", "carol"}) {
            ASSERT_EQ(store.AddAccount(name, std::string("pw-") + name, name, "", "", &error), kserver::kOk)
                << error;
        }
    }

    Client SignIn(const std::string& name, const std::string& computer = "PC") {
        Client c;
        c.svc = svc.get();
        c.user = name;
        c.digest = kserver::PasswordDigest("pw-" + name);
        kserver::Account a;
        EXPECT_TRUE(store.FindAccount(name, &a));
        c.passport = store.IssuePassport(a.id);
        Reply r = c.Back("obtain_host_id", "<obtain_host_id computer_name=\"" + computer + "\"/>");
        EXPECT_EQ(r.result, "OK") << r.raw;
        c.host = r.body.attribute("host_id").value();
        EXPECT_EQ(c.Back("login", "<login account=\"" + name + "\"/>").result, "OK");
        return c;
    }

    kserver::Account AccountOf(const std::string& name) {
        kserver::Account a;
        EXPECT_TRUE(store.FindAccount(name, &a));
        return a;
    }

    // Runs a whole upload conversation the way a client does; returns the final op.
    std::string Upload(Client& c, const std::string& name, const std::string& content,
                       int64_t mtime = 130000000000000000, const std::string* previous = nullptr,
                       int* chunksSent = nullptr) {
        std::vector<std::string> pieces;
        NewChunks(content, &pieces);
        Reply r = c.Back("upload_file", UploadFileXml(name, content, mtime, previous));
        if (r.result != "OK")
            return "refused " + r.reason;
        std::string op = r.body.child("next_op").attribute("op").value();
        int sent = 0;
        for (int guard = 0; op == "upload_chunk" && guard < 64; ++guard) {
            std::string md5 = r.body.child("next_op").child("MD5").text().get();
            std::string key = r.body.child("next_op").child("storage_key").text().get();
            std::string bytes;
            for (const std::string& p : pieces) {
                if (Md5(p) == md5)
                    bytes = p;
            }
            Reply up = c.UploadChunk(md5, key, bytes);
            if (up.result != "OK")
                return "chunk refused " + up.reason;
            ++sent;
            r = c.Back("chunk_uploaded", "<chunk_uploaded MD5=\"" + md5 + "\" storage_key=\"" + key +
                                             "\" file_name=\"" + name + "\"><chunk_list chunk_num=\"" +
                                             std::to_string(pieces.size()) + "\">" + ChunkListOf(content) +
                                             "</chunk_list></chunk_uploaded>");
            if (r.result != "OK")
                return "chunk_uploaded refused " + r.reason;
            op = r.body.child("next_op").attribute("op").value();
        }
        if (chunksSent)
            *chunksSent = sent;
        return op;
    }

    // The listing an account's host sees (file_list of its root, recursive), as path -> element.
    std::map<std::string, pugi::xml_node> List(Client& c, Reply* keep) {
        *keep = c.Back("file_list",
                       "<file_list folder_name=\"" + c.user + "\" recursive=\"yes\" show_delete=\"no\"/>");
        std::map<std::string, pugi::xml_node> out;
        for (pugi::xml_node f = keep->body.child("file"); f; f = f.next_sibling("file"))
            out[f.attribute("file_name").value()] = f;
        return out;
    }

    testsupport::TempDir dir;
    kserver::CServerStore store;
    kserver::CChunkStore chunks;
    kserver::CFaults faults{20};
    std::unique_ptr<kserver::CSoapService> svc;
};

}  // namespace servertest
