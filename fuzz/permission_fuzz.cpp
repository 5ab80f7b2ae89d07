// Feeds arbitrary permission texts and paths to the parser, the closest-match lookup and the
// editors' path check.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>

#include "platform/ascii.h"
#include "store/lines.h"
#include "vfs/permission.h"

using namespace qorda;

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

bool is_prefix_icase(std::string_view text, std::string_view prefix) {
  return prefix.size() <= text.size() &&
         platform::ascii_iequal(text.substr(0, prefix.size()), prefix);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  std::string user = fdp.ConsumeRandomLengthString(512);
  std::string tmpl = fdp.ConsumeRandomLengthString(512);
  std::string path = fdp.ConsumeRandomLengthString(128);
  bool with_template = fdp.ConsumeBool();

  // Parsing and formatting round-trip for every line.
  bool user_matches = false;
  for (std::string_view line : store::split_lines(user)) {
    vfs::PermissionRecord rec = vfs::parse_permission(line);
    check(vfs::parse_permission(vfs::format_permission(rec)) == rec);
    std::string_view p = vfs::permission_line_path(line);
    if (!p.empty() && is_prefix_icase(path, p)) user_matches = true;
  }

  vfs::PermissionRecord out;
  std::optional<std::string_view> t;
  if (with_template) t = tmpl;
  bool found = vfs::find_permission(user, t, path, &out);
  if (found) check(out.path == path);
  // Once a user line matches, the template never changes the answer.
  if (user_matches) {
    vfs::PermissionRecord out2;
    bool found2 = vfs::find_permission(user, std::nullopt, path, &out2);
    check(found == found2);
    if (found) check(out == out2);
  }

  // An accepted path is in the normal form, and normalising it again changes nothing.
  if (auto v = vfs::validate_permission_path(path)) {
    check(v->size() >= 4 && (*v)[0] == '/' && (*v)[2] == ':' && (*v)[3] == '/' && v->back() == '/');
    check(v->find_first_of("!\"*<>?\\\n\r") == std::string::npos);
    check(vfs::validate_permission_path(*v) == v);
  }
  return 0;
}
