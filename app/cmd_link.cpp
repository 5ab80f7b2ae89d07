// qorda link list|add|del: the links store from the command line, with the link editor's checks
// and messages.
#include <cstdio>
#include <string>

#include "app/account_cli.h"
#include "app/commands.h"
#include "platform/ascii.h"
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

constexpr const char* kLocationForm =
    "give a full virtual path that names the link, such as /c:/ftp/examples/drive_d";
constexpr const char* kTargetForm =
    "give a virtual path such as /d:/, or ~ or ~/PATH for the user's home";

int link_list(platform::Registry& reg) {
  for (const store::LinkRecord& r : store::list_all_links(reg)) {
    std::printf("%s -> %s\n", r.location.c_str(), r.target.c_str());
  }
  return kExitOk;
}

int link_add(const Context& ctx, platform::Registry& reg, const std::string& location,
             const std::string& target) {
  store::LinkRecord rec{location, "", target};
  int v = store::validate_link(rec);
  if (v == store::kLinkBadLocation) {
    std::fprintf(stderr, "qorda link add: invalid link location '%s': %s\n", location.c_str(),
                 kLocationForm);
    return kExitUsage;
  }
  if (v == store::kLinkBadTarget) {
    std::fprintf(stderr, "qorda link add: invalid link target '%s': %s\n", target.c_str(),
                 kTargetForm);
    return kExitUsage;
  }
  for (const store::LinkRecord& r : store::list_all_links(reg)) {
    if (platform::ascii_iequal(r.location, rec.location)) {
      std::fprintf(stderr, "qorda link add: there is already a link at %s (to %s)\n",
                   r.location.c_str(), r.target.c_str());
      return kExitUsage;
    }
  }
  if (platform::Status s = store::write_link(reg, rec); !s) {
    return acct::fail("link add", acct::store_failure(ctx, "link add", "cannot write the link", s),
                      kExitFailure);
  }
  return kExitOk;
}

int link_del(const Context& ctx, platform::Registry& reg, const std::string& location) {
  store::LinkRecord rec{location, "", "~"};
  if (store::validate_link(rec) != store::kLinkValid) {
    std::fprintf(stderr, "qorda link del: invalid link location '%s': %s\n", location.c_str(),
                 kLocationForm);
    return kExitUsage;
  }
  store::LinkRecord found = rec;
  if (!store::read_link(reg, found)) {
    std::fprintf(stderr, "qorda link del: no link at %s\n", rec.location.c_str());
    return kExitFailure;
  }
  if (platform::Status s = store::delete_link(reg, rec); !s) {
    return acct::fail("link del", acct::store_failure(ctx, "link del", "cannot delete the link", s),
                      kExitFailure);
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
    return acct::fail("link " + sub, acct::store_open_message(ctx, "link " + sub, reg.status()),
                      kExitFailure);
  }
  if (sub == "list") return link_list(**reg);
  if (sub == "add") return link_add(ctx, **reg, args[1], args[2]);
  return link_del(ctx, **reg, args[1]);
}

}  // namespace qorda::app
