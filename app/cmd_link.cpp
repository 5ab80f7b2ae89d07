// qorda link list|add|del: the links store from the command line, with the link editor's checks
// and messages.
#include <cstdio>
#include <string>

#include "app/commands.h"
#include "store/links.h"

namespace qorda::app {

namespace {

constexpr const char* kLinkUsage =
    "usage: qorda link list\n"
    "       qorda link add LOCATION TARGET\n"
    "       qorda link del LOCATION\n"
    "\n"
    "A link is a virtual entry (LOCATION, such as /c:/ftp/examples/drive_d) that stands for a\n"
    "real file or directory elsewhere (TARGET: a virtual path such as /d:/, or ~ or ~/path for\n"
    "the user's home). Links apply to every user who has permissions on the target.\n";

constexpr const char* kBadLocation = "Invalid \"link location\".";
constexpr const char* kBadTarget = "Invalid \"target file or directory\".";
constexpr const char* kDuplicate = "There is already a link at this location.";

bool same_location(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

int link_list(platform::Registry& reg) {
  for (const store::LinkRecord& r : store::list_all_links(reg)) {
    std::printf("%s -> %s\n", r.location.c_str(), r.target.c_str());
  }
  return kExitOk;
}

int link_add(platform::Registry& reg, const std::string& location, const std::string& target) {
  store::LinkRecord rec{location, "", target};
  int v = store::validate_link(rec);
  if (v == store::kLinkBadLocation) {
    std::fprintf(stderr, "qorda link add: %s\n", kBadLocation);
    return kExitUsage;
  }
  if (v == store::kLinkBadTarget) {
    std::fprintf(stderr, "qorda link add: %s\n", kBadTarget);
    return kExitUsage;
  }
  for (const store::LinkRecord& r : store::list_all_links(reg)) {
    if (same_location(r.location, rec.location)) {
      std::fprintf(stderr, "qorda link add: %s\n", kDuplicate);
      return kExitUsage;
    }
  }
  if (platform::Status s = store::write_link(reg, rec); !s) {
    std::fprintf(stderr, "qorda link add: cannot write the link: %s\n", s.msg.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

int link_del(platform::Registry& reg, const std::string& location) {
  store::LinkRecord rec{location, "", "~"};
  if (store::validate_link(rec) != store::kLinkValid) {
    std::fprintf(stderr, "qorda link del: %s\n", kBadLocation);
    return kExitUsage;
  }
  store::LinkRecord found = rec;
  if (!store::read_link(reg, found)) {
    std::fprintf(stderr, "qorda link del: no link at %s\n", rec.location.c_str());
    return kExitFailure;
  }
  if (platform::Status s = store::delete_link(reg, rec); !s) {
    std::fprintf(stderr, "qorda link del: cannot delete the link: %s\n", s.msg.c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int run_link(const Context& ctx, const Args& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::fputs(kLinkUsage, stdout);
      return kExitOk;
    }
  }
  const std::string sub = args.empty() ? "" : args[0];
  size_t want = sub == "list" ? 1 : sub == "add" ? 3 : sub == "del" ? 2 : 0;
  if (want == 0 || args.size() != want) {
    std::fputs(kLinkUsage, stderr);
    return kExitUsage;
  }
  auto reg = open_store(ctx, sub == "list" ? platform::Registry::Mode::ReadOnly
                                           : platform::Registry::Mode::ReadWrite);
  if (!reg) {
    std::fprintf(stderr, "qorda link: cannot open the store: %s\n", reg.msg.c_str());
    return kExitFailure;
  }
  if (sub == "list") return link_list(**reg);
  if (sub == "add") return link_add(**reg, args[1], args[2]);
  return link_del(**reg, args[1]);
}

}  // namespace qorda::app
