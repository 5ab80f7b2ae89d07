#include "admin/banners_page.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "admin/server_control.h"
#include "store/settings.h"

namespace qorda::admin {

namespace {

constexpr const char* kBannersNotes =
    "Usage Notes:\r\n    The welcome message above is displayed BEFORE a user logs in. To display "
    "a message after a user logs in, place a file named 'welcome.msg' in the user's home "
    "directory. To display a message when a user enters a directory, create a file named "
    "'.message' in that directory.\r\n\r\n    Special system information can be displayed by "
    "inserting one or more of the following tokens in the message:\r\n"
    "    %T: Date and time (Mon Nov 18 17:43:05 1996)\r\n"
    "    %R: Remote host (client.example.org)\r\n"
    "    %L: Local host (ftp.example.org)\r\n"
    "    %N: Number of clients (3)\r\n"
    "    %M: Maximum number of clients (20)\r\n"
    "  * %C: Current working directory (/c:/ftp/pub)\r\n"
    "  * %F: Free space (in MB) available in current directory (1024)\r\n"
    "  * %U: Username (anonymous)\r\n\r\n"
    "    Note: Tokens marked with '*' can only be used in 'welcome.msg' and '.message' because "
    "they require that a user be logged in to provide accurate information.";

// The edits show line feeds; a text stored with CR LF (set by hand) shows the same.
QString shown(const std::string& text) {
  return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

BannersPage::BannersPage(ServerControl& control, QWidget* parent)
    : SettingsPage(parent), control_(control) {
  welcome_ = new QPlainTextEdit(this);
  goodbye_ = new QPlainTextEdit(this);
  auto* welcome_label = new QLabel(QStringLiteral("&welcome banner"), this);
  auto* goodbye_label = new QLabel(QStringLiteral("&goodbye banner"), this);
  welcome_label->setBuddy(welcome_);
  goodbye_label->setBuddy(goodbye_);
  welcome_->setAccessibleName(QStringLiteral("welcome banner"));
  goodbye_->setAccessibleName(QStringLiteral("goodbye banner"));
  for (QPlainTextEdit* e : {welcome_, goodbye_}) {
    // Tab moves on; Enter makes the line breaks the banners are made of.
    e->setTabChangesFocus(true);
    e->setLineWrapMode(QPlainTextEdit::NoWrap);
    watch(e);
  }
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(welcome_label);
  layout->addWidget(welcome_, 2);
  layout->addWidget(goodbye_label);
  layout->addWidget(goodbye_, 1);
  layout->addLayout(bottom_row(kBannersNotes), 2);
  apply_fonts();
  reload();
}

void BannersPage::apply_fonts() {
  const QFont f = custom_font_or(font());
  welcome_->setFont(f);
  goodbye_->setFont(f);
}

void BannersPage::load_controls() {
  const store::ServerSettings& s = store::settings();
  welcome_->setPlainText(shown(s.szmsg1));
  goodbye_->setPlainText(shown(s.szmsg2));
}

bool BannersPage::store_controls() {
  store::ServerSettings& s = store::settings();
  s.szmsg1 = welcome_->toPlainText().toStdString();
  s.szmsg2 = goodbye_->toPlainText().toStdString();
  // A failed write leaves the texts in effect for this run.
  (void)s.save_banners(control_.store());
  return true;
}

}  // namespace qorda::admin
