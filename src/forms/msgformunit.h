#pragma once
// The notice for a register model this program does not update, with a link
// to the maker's site.
#include <QDialog>
#include <QUrl>

#include <functional>

class QLabel;
class QPushButton;
class QWidget;

// The maker's web address shown and opened by the notice.
inline constexpr char kMakerUrl[] = "https://korvalis.example/";

// Opens a web address with the desktop's default handler. Tests replace it so
// no browser starts; an empty function restores QDesktopServices::openUrl.
using TUrlOpener = std::function<bool(const QUrl &)>;
void SetUrlOpener(TUrlOpener opener);
bool OpenUrl(const QUrl &url);

class TMsgForm : public QDialog {
  Q_OBJECT

 public:
  explicit TMsgForm(QWidget *parent = nullptr);
  ~TMsgForm() override;

  // Shows the notice modally; its result is of no interest.
  void ShowNotice();

  void Label2Click();
  void Label2MouseEnter();
  void Label2MouseLeave();

  QWidget *Panel1;
  QLabel *Label1;
  QLabel *Label2;
  QPushButton *Button1;

 public Q_SLOTS:
  void reject() override;

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;
  void showEvent(QShowEvent *event) override;
};

extern TMsgForm *MsgForm;
