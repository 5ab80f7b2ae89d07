#include "tests/support/session_seam.h"

#include <memory>
#include <vector>

#include "engine/conn_table.h"
#include "platform/volume.h"
#include "vfs/resolver.h"

namespace qorda::test {

session::csock_c* session_of(TestServer& srv, const FtpClient& c) {
  const uint16_t port = c.local_port();
  for (int b = 0; b < engine::kBuckets; ++b) {
    for (session::csock_c* s = srv.net().sessions().head(b); s != nullptr; s = s->next) {
      if (s->peer_addr.port == port) return s;
    }
  }
  return nullptr;
}

bool log_in(TestServer& srv, const FtpClient& c, const store::UserRecord& user,
            const std::optional<store::TemplateRecord>& tmpl) {
  // Let the server take the connection first.
  session::csock_c* s = nullptr;
  for (int i = 0; i < 200 && s == nullptr; ++i) {
    srv.pump();
    s = session_of(srv, c);
  }
  if (s == nullptr) return false;
  store::UserRecord stored = user;
  if (tmpl) stored.sztemp = store::template_ref(tmpl->name);
  if (!store::write_user(srv.reg(), stored, true, store::kCountAll)) return false;
  if (tmpl && !store::write_template(srv.reg(), *tmpl)) return false;

  // A links source reading the server's store; kept until the end of the test program, since
  // the session holds it without owning it.
  static std::vector<std::unique_ptr<vfs::RegistryLinks>> sources;
  sources.push_back(std::make_unique<vfs::RegistryLinks>(srv.reg()));
  const vfs::LinkSource* links = sources.back().get();

  s->user_name = user.name;
  s->account = stored;
  s->has_template = tmpl.has_value();
  if (tmpl) s->tmpl = *tmpl;
  s->fs.reset();
  s->fs.links = links;
  s->fs.user_szfp = stored.szfp;
  if (tmpl) s->fs.template_szfp = tmpl->szfp;
  vfs::add_permission_roots(s->fs);
  if (!vfs::choose_home(s->fs, platform::drive_table().startup_drive())) return false;
  s->guest = stored.bguest;
  s->state = session::LoggedIn;
  return true;
}

}  // namespace qorda::test
