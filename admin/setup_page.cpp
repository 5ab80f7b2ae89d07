#include "admin/setup_page.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QVBoxLayout>

#include "admin/server_control.h"
#include "log/log.h"

namespace qorda::admin {

namespace {

constexpr const char* kSetupNotes =
    "Usage Notes:\r\n    Setting the screen logging to level 4 or higher is helpful for "
    "determining the source of configuration problems.\r\n\r\n    Turn off 'enable reverse dns "
    "lookups' if your dns server is unreliable. This is necessary because if the dns server "
    "doesn't respond, then QORDA will wait for a network timeout before allowing the user to "
    "login.\r\n\r\n    Remote password changes are performed via the new 'SITE PASS "
    "new-password' command.\r\n\r\n    WARNING: The default setting for 'enable third-party "
    "transfers' is 'yes'. Since this feature is required for RFC959 compliance, it is important "
    "that you notify your users if you disable it. This toggle is included because there is an "
    "ongoing debate concerning the security of third-party transfers, especially in light of the "
    "so-called ftp 'bounce attack'. QORDA was designed to minimize your risk against this, but for "
    "complete security, you should disable this feature if BOTH (1) the machine running your ftp "
    "server is 'behind' a firewall AND (2) there is a SOCKS-compatible proxy on your "
    "network.\r\n\r\n    WARNING: The default setting for 'supported transfer modes' is 'both'. "
    "Since both modes are required for RFC1123 compliance, it is important that you notify your "
    "users if you change this setting. In practice, there are very few cases in which you would "
    "want to do this because many ftp clients only support 'port'-transfers, but 'pasv'-mode is "
    "required for users behind firewalls or users of www browsers.";

// The setting each digit field edits, by DigitField.
constexpr std::array<const char*, kDigitFields> kDigitSettings = {"iport", "imaxc", "imaxt",
                                                                  "ispace"};
constexpr std::array<const char*, kDigitFields> kDigitCaptions = {
    "ftp &port", "&maximum clients", "inactivity &timeout (sec)", "minimum free space (kb)"};

const store::SettingField& digit_setting(int i) {
  return *store::find_setting(kDigitSettings[i]);
}

QSlider* level_slider(QWidget* parent) {
  auto* s = new QSlider(Qt::Horizontal, parent);
  s->setRange(0, kMaxLogLevel);
  s->setTickPosition(QSlider::TicksBelow);
  s->setTickInterval(1);
  s->setPageStep(1);
  return s;
}

}  // namespace

QString level_name(int level) {
  // The level texts are the logger's own.
  return QString::fromLatin1(log::level_name(level));
}

QString level_description(int screen, int file) {
  return level_name(screen) + QLatin1Char('\n') + level_name(file);
}

SetupForm setup_form_of(const store::ServerSettings& s) {
  SetupForm f;
  for (int i = 0; i < kDigitFields; ++i) f.digits[i] = QString::number(s.*(digit_setting(i).u));
  f.hide = s.bhide != 0;
  f.minhide = s.bminhide != 0;
  f.dns = s.benabledns != 0;
  f.rpass = s.benablerpass != 0;
  f.third = s.benablethird != 0;
  // Values set by hand beyond the sliders' range show at the nearest end.
  f.screen_level = static_cast<int>(std::min<uint32_t>(s.ilogls, kMaxLogLevel));
  f.file_level = static_cast<int>(std::min<uint32_t>(s.iloglf, kMaxLogLevel));
  f.log_file = QString::fromStdString(s.szlogf);
  f.allow_ip = s.ballowip != 0;
  if (s.ballowport != 0 && s.ballowpasv != 0) {
    f.modes = TransferModes::Both;
  } else if (s.ballowport != 0) {
    f.modes = TransferModes::Port;
  } else if (s.ballowpasv != 0) {
    f.modes = TransferModes::Pasv;
  } else {
    f.modes = TransferModes::None;
  }
  return f;
}

std::optional<FieldRefusal> apply_setup_form(const SetupForm& form, store::ServerSettings* s) {
  std::array<uint32_t, kDigitFields> numbers{};
  for (int i = 0; i < kDigitFields; ++i) {
    const store::SettingField& f = digit_setting(i);
    const QByteArray text = form.digits[i].toLatin1();
    const std::optional<store::ValueFault> fault = store::parse_setting_number(
        f, std::string_view(text.constData(), text.size()), &numbers[i]);
    if (!fault) continue;
    const auto field = static_cast<DigitField>(i);
    if (*fault == store::ValueFault::OutOfRange) {
      return FieldRefusal{
          field,
          QStringLiteral("Please enter an integer between %1 and %2.").arg(f.min).arg(f.max)};
    }
    return FieldRefusal{field, QStringLiteral("Please enter a positive integer.")};
  }
  for (int i = 0; i < kDigitFields; ++i) s->*(digit_setting(i).u) = numbers[i];
  s->ilogls = static_cast<uint32_t>(form.screen_level);
  s->iloglf = static_cast<uint32_t>(form.file_level);
  s->szlogf = form.log_file.toStdString();
  s->ballowip = form.allow_ip ? 1 : 0;
  s->benablethird = form.third ? 1 : 0;
  s->benablerpass = form.rpass ? 1 : 0;
  s->bhide = form.hide ? 1 : 0;
  s->bminhide = form.minhide ? 1 : 0;
  s->benabledns = form.dns ? 1 : 0;
  s->ballowport = form.modes == TransferModes::Port || form.modes == TransferModes::Both;
  s->ballowpasv = form.modes == TransferModes::Pasv || form.modes == TransferModes::Both;
  return std::nullopt;
}

SetupPage::SetupPage(ServerControl& control, QWidget* parent)
    : SettingsPage(parent), control_(control), pending_([] { return false; }) {
  auto* digits = new QGridLayout;
  auto* only_digits =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
  for (int i = 0; i < kDigitFields; ++i) {
    digits_[i] = new QLineEdit(this);
    digits_[i]->setValidator(only_digits);
    auto* label = new QLabel(QString::fromLatin1(kDigitCaptions[i]), this);
    label->setBuddy(digits_[i]);
    digits_[i]->setAccessibleName(label->text().remove(QLatin1Char('&')));
    digits->addWidget(label, i, 0);
    digits->addWidget(digits_[i], i, 1);
    watch(digits_[i]);
  }

  hide_ = new QCheckBox(QStringLiteral("hide window on startup"), this);
  minhide_ = new QCheckBox(QStringLiteral("hide window on minimize"), this);
  dns_ = new QCheckBox(QStringLiteral("enable reverse &dns lookups"), this);
  rpass_ = new QCheckBox(QStringLiteral("enable &password changes"), this);
  third_ = new QCheckBox(QStringLiteral("enable t&hird-party transfers"), this);
  auto* boxes = new QVBoxLayout;
  for (QCheckBox* b : {hide_, minhide_, dns_, rpass_, third_}) {
    boxes->addWidget(b);
    watch(b);
  }

  auto* log_group = new QGroupBox(QStringLiteral("log settings"), this);
  screen_ = level_slider(log_group);
  file_ = level_slider(log_group);
  levels_ = new QPlainTextEdit(log_group);
  levels_->setReadOnly(true);
  levels_->setTabChangesFocus(true);
  levels_->setAccessibleName(QStringLiteral("level description"));
  // The fixed small face of the description; fontconfig substitutes a sans face where Arial
  // is not installed.
  QFont small(QStringLiteral("Arial"), 8);
  small.setStyleHint(QFont::SansSerif);
  levels_->setFont(small);
  levels_->setFixedHeight(QFontMetrics(small).lineSpacing() * 2 + 2 * levels_->frameWidth() + 8);
  log_file_ = new QLineEdit(log_group);
  auto* log_grid = new QGridLayout(log_group);
  auto* screen_label = new QLabel(QStringLiteral("&screen"), log_group);
  auto* file_label = new QLabel(QStringLiteral("&file"), log_group);
  auto* log_file_label = new QLabel(QStringLiteral("&log file"), log_group);
  screen_label->setBuddy(screen_);
  file_label->setBuddy(file_);
  log_file_label->setBuddy(log_file_);
  screen_->setAccessibleName(QStringLiteral("screen level"));
  file_->setAccessibleName(QStringLiteral("file level"));
  log_file_->setAccessibleName(QStringLiteral("log file"));
  log_grid->addWidget(screen_label, 0, 0);
  log_grid->addWidget(screen_, 0, 1);
  log_grid->addWidget(new QLabel(QStringLiteral("level"), log_group), 0, 2);
  log_grid->addWidget(file_label, 1, 0);
  log_grid->addWidget(file_, 1, 1);
  log_grid->addWidget(new QLabel(QStringLiteral("level"), log_group), 1, 2);
  log_grid->addWidget(levels_, 2, 0, 1, 3);
  log_grid->addWidget(log_file_label, 3, 0);
  log_grid->addWidget(log_file_, 3, 1, 1, 2);
  for (QSlider* s : {screen_, file_}) {
    connect(s, &QSlider::valueChanged, this, &SetupPage::levels_moved);
    watch(s);
  }
  watch(log_file_);

  allow_ = new QRadioButton(QStringLiteral("allow [*.*.*.*]"), this);
  deny_ = new QRadioButton(QStringLiteral("deny [*.*.*.*]"), this);
  auto* ip_group = new QButtonGroup(this);
  ip_group->addButton(allow_);
  ip_group->addButton(deny_);
  port_ = new QRadioButton(QStringLiteral("port"), this);
  pasv_ = new QRadioButton(QStringLiteral("pasv"), this);
  both_ = new QRadioButton(QStringLiteral("both"), this);
  auto* mode_group = new QButtonGroup(this);
  auto* radios = new QGridLayout;
  radios->addWidget(new QLabel(QStringLiteral("default ip security action:"), this), 0, 0, 1, 3);
  radios->addWidget(allow_, 1, 0);
  radios->addWidget(deny_, 1, 1);
  radios->addWidget(new QLabel(QStringLiteral("supported transfer modes:"), this), 2, 0, 1, 3);
  int column = 0;
  for (QRadioButton* b : {port_, pasv_, both_}) {
    mode_group->addButton(b);
    radios->addWidget(b, 3, column++);
  }
  allow_->setAccessibleName(QStringLiteral("default ip security action: allow"));
  deny_->setAccessibleName(QStringLiteral("default ip security action: deny"));
  for (QRadioButton* b : {port_, pasv_, both_}) {
    b->setAccessibleName(QStringLiteral("supported transfer modes: ") + b->text());
  }
  for (QRadioButton* b : {allow_, deny_, port_, pasv_, both_}) watch(b);

  auto* left = new QVBoxLayout;
  left->addLayout(digits);
  left->addLayout(boxes);
  left->addLayout(radios);
  left->addStretch();
  auto* right = new QVBoxLayout;
  right->addWidget(log_group);
  right->addStretch();
  auto* top = new QHBoxLayout;
  top->addLayout(left);
  top->addLayout(right);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(bottom_row(kSetupNotes), 1);

  reload();
}

void SetupPage::levels_moved() {
  levels_->setPlainText(level_description(screen_->value(), file_->value()));
  log_file_->setEnabled(file_->value() > 0);
}

void SetupPage::load_controls() {
  const SetupForm f = setup_form_of(store::settings());
  for (int i = 0; i < kDigitFields; ++i) digits_[i]->setText(f.digits[i]);
  hide_->setChecked(f.hide);
  minhide_->setChecked(f.minhide);
  dns_->setChecked(f.dns);
  rpass_->setChecked(f.rpass);
  third_->setChecked(f.third);
  screen_->setValue(f.screen_level);
  file_->setValue(f.file_level);
  log_file_->setText(f.log_file);
  levels_moved();
  (f.allow_ip ? allow_ : deny_)->setChecked(true);
  // A record with neither transfer mode shows no button checked, which an exclusive group
  // cannot do by itself.
  QButtonGroup* modes = port_->group();
  modes->setExclusive(false);
  port_->setChecked(f.modes == TransferModes::Port);
  pasv_->setChecked(f.modes == TransferModes::Pasv);
  both_->setChecked(f.modes == TransferModes::Both);
  modes->setExclusive(true);
}

SetupForm SetupPage::read_form() const {
  SetupForm f;
  for (int i = 0; i < kDigitFields; ++i) f.digits[i] = digits_[i]->text();
  f.hide = hide_->isChecked();
  f.minhide = minhide_->isChecked();
  f.dns = dns_->isChecked();
  f.rpass = rpass_->isChecked();
  f.third = third_->isChecked();
  f.screen_level = screen_->value();
  f.file_level = file_->value();
  f.log_file = log_file_->text();
  f.allow_ip = allow_->isChecked();
  f.modes = both_->isChecked()   ? TransferModes::Both
            : port_->isChecked() ? TransferModes::Port
            : pasv_->isChecked() ? TransferModes::Pasv
                                 : TransferModes::None;
  return f;
}

bool SetupPage::store_controls() {
  store::ServerSettings fresh = store::settings();
  if (std::optional<FieldRefusal> refused = apply_setup_form(read_form(), &fresh)) {
    warn(refused->message);
    QLineEdit* edit = digit_edit(refused->field);
    edit->setFocus();
    edit->selectAll();
    return false;
  }
  // The engine reacts first (a new port, the log file); then the page's values are written.
  // A failed write leaves the values in effect for this run, as the record already holds them.
  control_.apply_settings(std::move(fresh), !pending_());
  (void)store::settings().save_setup(control_.store());
  return true;
}

}  // namespace qorda::admin
