// FTP over TLS in the session layer: the server's TLS context, loaded from the certificate and
// key the settings name and kept while they stay the same, and the commands AUTH, PBSZ, PROT
// and FEAT, which exist only while `btls` is on (otherwise they are unknown commands, as
// before TLS was added).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/result.h"
#include "platform/tls.h"

namespace qorda::store {
struct ServerSettings;
}

namespace qorda::session {

class Session;

// The local paths of the certificate and key settings (drive paths mapped through the drive
// table), or a failure naming the setting that cannot be mapped.
platform::Status tls_paths(const store::ServerSettings& s, std::string* cert, std::string* key);
// Loads the context the settings describe; the message of a failure says why.
platform::Result<platform::TlsContext> load_tls_context(const store::ServerSettings& s);

// The engine's one TLS context. It is loaded at the first AUTH and again when the settings
// name other files or the files change; a failure is logged once (until the files or settings
// change) and remembered, so each AUTH meanwhile is refused at no cost.
class TlsContextCache {
 public:
  // The context for these settings, or null with `why` set.
  const platform::TlsContext* get(const store::ServerSettings& s, std::string* why);

 private:
  platform::TlsContext ctx_;
  std::string cert_, key_;  // the paths it was loaded from (or failed to load from)
  uint64_t stamp_ = 0;      // the files' stamp then
  bool tried_ = false;
  std::string failure_;
};

// A command outside the command table that belongs to TLS. Handles it and returns true when
// `btls` is on and the word is AUTH, PBSZ, PROT or FEAT; false leaves it unknown.
bool tls_command(Session& s, std::string_view word, std::string& arg);

}  // namespace qorda::session
