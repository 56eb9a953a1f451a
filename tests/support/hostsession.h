// A host registered with a TestServer for tests of the transmitter and the heartbeat: the
// passport from the portal, a host id from obtain_host_id, a signed-in back channel, the service
// endpoints, and the upload negotiation (upload_file / chunk_uploaded) that makes the service
// expect a chunk under a storage key. The object owns its back channel, not the server.
#pragma once

#include <string>
#include <vector>

#include "service/soapchannel.h"
#include "store/chunkbuffer.h"
#include "support/testserver.h"

namespace testsupport {

class HostSession {
  public:
    // Signs kUser in at `server` and registers a host. False with Error() on any failure.
    bool Open(TestServer& server, const std::string& computerName = "TESTBOX");
    const std::string& Error() const { return error_; }

    const std::string& Passport() const { return passport_; }
    const std::string& HostId() const { return hostId_; }
    const std::string& TransmitterUrl() const { return trsUrl_; }
    const std::string& HeartBeatUrl() const { return hbUrl_; }
    CSoapChannel& Back() { return back_; }

    // upload_file of `path` (relative to the account root, e.g. "docs/a.bin") with the chunks
    // (key, size) and the previous version's chunks when `previous` is given. Returns the op
    // ("upload_chunk", "all_chunk_exist", ...; empty when the call failed); *next gets the named
    // chunk's key and storage key.
    std::string Offer(const std::string& path, int64_t size, const std::vector<CChunkInfo>& chunks,
                      const std::vector<CChunkInfo>* previous, CChunkInfo* next);
    // chunk_uploaded for `uploaded`; returns the next op like Offer.
    std::string Done(const std::string& path, const std::vector<CChunkInfo>& chunks,
                     const CChunkInfo& uploaded, CChunkInfo* next);

  private:
    std::string _NextOp(CSoapRequest& request, const char* tag, CChunkInfo* next);

    CSoapChannel back_{soapchannel::BackProfile()};
    std::string passport_, hostId_, trsUrl_, hbUrl_, root_, error_;
};

}  // namespace testsupport
