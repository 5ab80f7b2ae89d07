// What the three settings tabs share: each page edits its own copy of the values (the controls
// hold it) and touches the settings record only at its own "&ok"; "&cancel" reloads the controls
// from the record. Both buttons start disabled, come on at the page's first change and go off
// again after either of them.
#pragma once

#include <QFont>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QComboBox;
class QHBoxLayout;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSlider;

namespace qorda::admin {

// The custom display font (szfont at ifsiz tenths of a point) while busefont is 1, else `own`.
QFont custom_font_or(const QFont& own);

// How a page shows a refused value: a warning box with that title unless a test replaces it.
using PageWarner = std::function<void(QWidget* parent, const QString& title, const QString& text)>;

class SettingsPage : public QWidget {
  Q_OBJECT

 public:
  explicit SettingsPage(QWidget* parent = nullptr);

  bool modified() const { return modified_; }
  QPushButton* ok_button() const { return ok_; }
  QPushButton* cancel_button() const { return cancel_; }
  QPlainTextEdit* usage_notes() const { return notes_; }

  void set_warner(PageWarner warn) { warn_ = std::move(warn); }

  // "&ok": validates and stores the page; a refused page stays modified with its values.
  void ok();
  // "&cancel": the controls show the settings record again.
  void cancel();
  // Fills the controls from the settings record and clears the modified flag.
  void reload();

 protected:
  // Fills the controls from the record. Changes made meanwhile do not count as edits.
  virtual void load_controls() = 0;
  // Validates and stores the controls' values; false keeps the page modified.
  virtual bool store_controls() = 0;

  // Any edit of the page: sets the modified flag and enables both buttons.
  void changed();
  void watch(QLineEdit* edit);
  void watch(QPlainTextEdit* edit);
  void watch(QAbstractButton* box);
  void watch(QSlider* slider);
  void watch(QComboBox* list);

  // A warning box titled with the product's name, or with `title`.
  void warn(const QString& text, const QString& title = {});
  // The bottom row: the read-only usage notes at the left, "&ok" and "&cancel" at the right.
  // `notes` uses CR LF line breaks.
  QHBoxLayout* bottom_row(const char* notes);

 private:
  void set_clean();

  PageWarner warn_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPlainTextEdit* notes_ = nullptr;
  bool modified_ = false;
  bool loading_ = false;
};

}  // namespace qorda::admin
