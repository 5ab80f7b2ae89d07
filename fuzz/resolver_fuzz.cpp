// Drives resolve_path with random arguments over a small tree with links, loops and an
// administrator's symbolic link, and checks that the answer is one of the four result codes and
// that every directory it reports lies inside a drive.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/volume.h"
#include "vfs/resolver.h"

namespace fs = std::filesystem;
using namespace qorda;

namespace {

class FuzzLinks final : public vfs::LinkSource {
 public:
  std::vector<std::pair<std::string, std::string>> links;
  bool read(store::LinkRecord& rec) const override {
    for (const auto& [loc, target] : links) {
      if (loc.size() != rec.location.size()) continue;
      bool eq = true;
      for (size_t i = 0; i < loc.size() && eq; ++i) {
        eq = std::tolower(static_cast<unsigned char>(loc[i])) ==
             std::tolower(static_cast<unsigned char>(rec.location[i]));
      }
      if (eq) {
        rec.target = target;
        return true;
      }
    }
    return false;
  }
};

struct World {
  std::string base;
  std::string real_c, real_d;
  FuzzLinks links;
  vfs::FsState restricted, all;
};

World* make_world() {
  auto* w = new World;
  char tmpl[] = "/tmp/qorda-fuzz-XXXXXX";
  if (!::mkdtemp(tmpl)) std::abort();
  w->base = tmpl;
  for (const char* d :
       {"/c/ftp/pub/Sub", "/c/ftp/in", "/c/ftp/~", "/c/other", "/d/data/x", "/outside"}) {
    fs::create_directories(w->base + d);
  }
  for (const char* f : {"/c/ftp/pub/a.txt", "/c/ftp/README", "/d/data/f.bin", "/outside/s"}) {
    std::ofstream(w->base + f) << "x";
  }
  fs::create_directory_symlink(w->base + "/c/ftp/pub", w->base + "/c/ftp/inner");
  fs::create_symlink("self", w->base + "/c/ftp/self");  // a symbolic link loop
  w->real_c = fs::canonical(w->base + "/c").string();
  w->real_d = fs::canonical(w->base + "/d").string();
  platform::drive_table().clear();
  (void)platform::drive_table().set('c', w->base + "/c");
  (void)platform::drive_table().set('d', w->base + "/d");
  w->links.links = {
      {"/c:/ftp/tod", "/d:/data"},
      {"/c:/ftp/loop", "/c:/ftp/loop"},
      {"/c:/ftp/a", "/c:/ftp/b"},
      {"/c:/ftp/b", "/c:/ftp/a"},
      {"/c:/ftp/up", "../../.."},
      {"/c:/ftp/home", "~/.."},
      {"/c:/ftp/pub/f", "/c:/ftp/README"},
      {"/c:/ftp/star", "/c:/ftp/pub/*"},
      {"/c:/ftp/bad", "c:d:"},
      {"/d:/data/back", "/c:/ftp/tod/back"},
  };
  w->restricted.user_szfp =
      "[u] r--l----s /c:/ftp/\n[u] rw-l--h-s /c:/ftp/pub/\n"
      "[u] r-------- /c:/ftp/in/\n[u] r--l----s /d:/data/";
  w->restricted.links = &w->links;
  vfs::add_permission_roots(w->restricted);
  if (!vfs::choose_home(w->restricted, 'c')) std::abort();
  w->all.user_szfp = "[u] rwdlcxhms /\n[u] rwdlcxhms /c:/ftp/pub/";
  w->all.links = &w->links;
  vfs::add_permission_roots(w->all);
  if (!vfs::choose_home(w->all, 'c')) std::abort();
  return w;
}

bool inside(const World& w, const std::string& dir) {
  platform::Result<platform::DirLocation> loc = platform::locate_directory(dir);
  if (!loc) return false;
  if (dir.find("/./") != std::string::npos || dir.find("/../") != std::string::npos) return false;
  // The administrator's link inner -> pub stays inside c:, so even the real path must.
  std::error_code ec;
  std::string real = fs::canonical(loc->local, ec).string();
  if (ec) return false;
  auto under = [&](const std::string& root) {
    return real == root || real.compare(0, root.size() + 1, root + "/") == 0;
  };
  return under(w.real_c) || under(w.real_d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* w = make_world();
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  std::string arg(reinterpret_cast<const char*>(data + 1), std::min<size_t>(size - 1, 1024));
  static const char* const kCwds[] = {"/c:/ftp/", "/c:/ftp/pub/", "/c:/ftp/pub/Sub/", "/d:/data/",
                                      "/c:/",     "/c:/ftp/in/",  "/d:/data/x/",      "/c:/ftp/~/"};
  const char* cwd = kCwds[flags & 7];
  const vfs::FsState& st = (flags & 8) ? w->all : w->restricted;
  std::string dir, name;
  vfs::ResolveResult r = vfs::resolve_path(st, cwd, arg, &dir, &name,
                                           {.allow_wildcards = (flags & 16) != 0,
                                            .follow_links = !(flags & 32),
                                            .check_permissions = !(flags & 64)},
                                           (flags & 128) ? 20 : 0);
  if (r < vfs::ResolveResult::Ok || r > vfs::ResolveResult::BadLink) std::abort();
  if (!dir.empty() && !inside(*w, dir)) {
    std::fprintf(stderr, "escaped: cwd=%s arg=%s dir=%s\n", cwd, arg.c_str(), dir.c_str());
    std::abort();
  }
  if (r == vfs::ResolveResult::Ok && name.find('/') != std::string::npos) std::abort();
  (void)vfs::display_path(st, dir);
  return 0;
}
