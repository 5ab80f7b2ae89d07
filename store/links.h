// Links: virtual entries (a location) that stand for a real file or directory elsewhere (the
// target). Stored under the Links key, one subkey per directory that holds links, named by the
// directory's virtual path with its trailing slash ("/c:/ftp/examples/"); in it one text value
// per link, named by the link's name, holding the target. Names compare without regard to case.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace qorda::platform {
class Registry;
}

namespace qorda::store {

struct LinkRecord {
  std::string location;  // full virtual path of the link, no trailing slash: /c:/ftp/examples/x
  std::string name;      // last component of the location (filled by read_link / write_link)
  std::string target;    // "/x:/..." or "~" or "~/..."
};

// Results of validate_link.
inline constexpr int kLinkValid = 0;
inline constexpr int kLinkBadLocation = 1;
inline constexpr int kLinkBadTarget = 2;

// Checks and normalises both texts in place (backslashes become slashes, one trailing slash of
// the location dropped, a leading slash added where missing). Returns kLinkValid,
// kLinkBadLocation or kLinkBadTarget.
int validate_link(LinkRecord& rec);

// Splits a location into its directory (up to and including the last slash) and its name.
// False for a location without a slash or ending with one.
bool split_location(std::string_view location, std::string* dir, std::string* name);

// The registry key that holds the links of a directory path ("/c:/ftp/").
std::string links_key_for(std::string_view dir);

// Reads the target of rec.location into rec.target (and its name into rec.name). False when the
// location cannot be split, the subkey or value is missing, or the target is empty. The subkey
// is found whatever the case of the location's directory; `stored_dir` (optional) receives that
// directory as its subkey is spelled, so a caller can tell which directory the link belongs to.
bool read_link(platform::Registry& reg, LinkRecord& rec, std::string* stored_dir = nullptr);
// Creates the subkey when needed and sets the value.
platform::Status write_link(platform::Registry& reg, LinkRecord& rec);
// Deletes the value; a subkey left without values is deleted too. ENOENT when there was none.
platform::Status delete_link(platform::Registry& reg, const LinkRecord& rec);

// The links stored for one directory path ("/c:/ftp/"), in store order; name and target set,
// location = dir + name. Empty when there are none. `stored_dir` as for read_link (set when
// links were found).
std::vector<LinkRecord> list_links(platform::Registry& reg, std::string_view dir,
                                   std::string* stored_dir = nullptr);
// Every link in the store, directory by directory.
std::vector<LinkRecord> list_all_links(platform::Registry& reg);

}  // namespace qorda::store
