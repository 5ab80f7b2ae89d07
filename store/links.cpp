// Link validation and location splitting (pure text work; the registry side is in
// link_store.cpp).
#include "store/links.h"

#include "store/keys.h"

namespace qorda::store {

namespace {

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool has_forbidden(std::string_view s) {
  return s.find_first_of("*?\"<>!") != std::string_view::npos;
}

void to_slashes(std::string& s) {
  for (char& c : s) {
    if (c == '\\') c = '/';
  }
}

// Components after the drive: none may be empty, "." or "..". The resolver looks a link up by
// a directory as the file system names it, so such a location could never be found; refusing
// it tells the administrator at once instead of storing a link that silently never works.
bool clean_components(std::string_view s, size_t from) {
  while (from <= s.size()) {
    size_t end = s.find('/', from);
    if (end == std::string_view::npos) end = s.size();
    std::string_view part = s.substr(from, end - from);
    if (part.empty() || part == "." || part == "..") return false;
    from = end + 1;
  }
  return true;
}

}  // namespace

int validate_link(LinkRecord& rec) {
  std::string& loc = rec.location;
  if (has_forbidden(loc)) return kLinkBadLocation;
  to_slashes(loc);
  if (!loc.empty() && loc.back() == '/') loc.pop_back();
  if (loc.empty() || loc[0] != '/') loc.insert(loc.begin(), '/');
  if (loc.size() < 5 || !is_letter(loc[1]) || loc[2] != ':' || loc[3] != '/' ||
      !is_letter(loc[4])) {
    return kLinkBadLocation;
  }
  if (!clean_components(loc, 4)) return kLinkBadLocation;

  std::string& t = rec.target;
  if (has_forbidden(t)) return kLinkBadTarget;
  to_slashes(t);
  if (t.empty() || (t[0] != '/' && t[0] != '~')) t.insert(t.begin(), '/');
  if (t.size() < 4 && t[0] != '~') return kLinkBadTarget;
  if (t[0] == '~') {
    if (t.size() > 1 && t[1] != '/') return kLinkBadTarget;
  } else if (!is_letter(t[1]) || t[2] != ':' || t[3] != '/') {
    return kLinkBadTarget;
  }
  return kLinkValid;
}

bool split_location(std::string_view location, std::string* dir, std::string* name) {
  size_t slash = location.rfind('/');
  if (slash == std::string_view::npos || slash + 1 == location.size()) return false;
  if (dir) *dir = std::string(location.substr(0, slash + 1));
  if (name) *name = std::string(location.substr(slash + 1));
  return true;
}

std::string links_key_for(std::string_view dir) {
  return std::string(kLinksKey) + "\\" + std::string(dir);
}

}  // namespace qorda::store
