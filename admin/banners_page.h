// The "banners" tab: the welcome text sent before login and the goodbye text sent at QUIT, as
// typed (line breaks included). "&ok" writes both; the next greeting and QUIT use them.
#pragma once

#include "admin/settings_page.h"

class QPlainTextEdit;

namespace qorda::admin {

class ServerControl;

class BannersPage final : public SettingsPage {
  Q_OBJECT

 public:
  explicit BannersPage(ServerControl& control, QWidget* parent = nullptr);

  // The two texts' font: the custom one while busefont is 1, else the page's own. The extras
  // page calls it again after the font settings changed.
  void apply_fonts();

  QPlainTextEdit* welcome_edit() const { return welcome_; }
  QPlainTextEdit* goodbye_edit() const { return goodbye_; }

 protected:
  void load_controls() override;
  bool store_controls() override;

 private:
  ServerControl& control_;
  QPlainTextEdit* welcome_;
  QPlainTextEdit* goodbye_;
};

}  // namespace qorda::admin
