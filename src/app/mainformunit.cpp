#include "app/mainformunit.h"
#include "common/centre.h"

#include <sys/stat.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QRandomGenerator>
#include <filesystem>

#include "common/apppaths.h"
#include "common/codepage.h"
#include "common/error.h"
#include "common/filedialog.h"
#include "common/msgbox.h"
#include "package/newpackage.h"
#include "package/prepare.h"
#include "package/unpack.h"
#include "package/writeall.h"

namespace {

const char kPackageHost[] = "packages.korvalis.example";

QString &BuiltInPackagePath() {
  static QString path = QStringLiteral(":/ARHIVE");
  return path;
}

// Eight characters; each picks digits, upper-case or lower-case letters with
// equal chance, then a character of that class.
QString RandomName() {
  static const QString classes[] = {QStringLiteral("0123456789"),
                                    QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                                    QStringLiteral("abcdefghijklmnopqrstuvwxyz")};
  auto *rng = QRandomGenerator::system();
  QString name;
  for (int i = 0; i < 8; ++i) {
    const QString &c = classes[rng->bounded(3)];
    name += c.at(rng->bounded(static_cast<int>(c.size())));
  }
  return name;
}

// Removes what is in folder, leaving the folder; links are removed, not followed.
void EmptyFolder(const QString &folder) {
  std::error_code ec;
  for (const auto &entry :
       std::filesystem::directory_iterator(std::filesystem::path(QFile::encodeName(folder).toStdString()), ec))
    std::filesystem::remove_all(entry.path(), ec);
}

}  // namespace

TMainForm::TMainForm(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("MainForm"));
  // Fixed dialog frame with only the system menu.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFont(QFont(QStringLiteral("Tahoma"), 8));
  setFixedSize(561, 53);
  setWindowTitle(QStringLiteral("MainForm"));

  cbMethod = new QComboBox(this);
  cbMethod->setObjectName(QStringLiteral("cbMethod"));
  cbMethod->addItems({QStringLiteral("DFU"), QStringLiteral("XModem")});
  cbMethod->setCurrentIndex(0);
  cbMethod->setGeometry(8, 10, 81, 21);

  CheckConnectButton = new QPushButton(QStringLiteral("Проверить соединение с ККТ"), this);
  CheckConnectButton->setObjectName(QStringLiteral("CheckConnectButton"));
  CheckConnectButton->setGeometry(96, 8, 374, 25);
  connect(CheckConnectButton, &QPushButton::clicked, this, &TMainForm::CheckConnectButtonClick);

  DrvSetButton = new QPushButton(QStringLiteral("Настройка"), this);
  DrvSetButton->setObjectName(QStringLiteral("DrvSetButton"));
  DrvSetButton->setGeometry(476, 8, 75, 25);
  connect(DrvSetButton, &QPushButton::clicked, this, &TMainForm::DrvSetButtonClick);

  Timer = new QTimer(this);
  Timer->setObjectName(QStringLiteral("Timer"));
  Timer->setInterval(500);
  connect(Timer, &QTimer::timeout, this, &TMainForm::TimerTimer);

  // The window sees key presses before its controls.
  qApp->installEventFilter(this);

  CentreWindow(this);

  FormCreate();
}

TMainForm::~TMainForm() {
  qApp->removeEventFilter(this);
  // A window destroyed without being closed still leaves nothing behind.
  RemoveWorkFolder();
}

void TMainForm::SetBuiltInPackageForTests(const QString &path) {
  BuiltInPackagePath() = path.isEmpty() ? QStringLiteral(":/ARHIVE") : path;
}

QString TMainForm::DefaultPackageUrl() {
  return QStringLiteral("http://") + QString::fromLatin1(kPackageHost) +
         QStringLiteral(":8080/techno/arhive.zip");
}

// ---------------------------------------------------------------------------
// Start-up

void TMainForm::FormCreate() {
  FPackageUrl = DefaultPackageUrl();
  FRuleIndex = -1;
  try {
    ReadPackageUrl(FPackageUrl);
    MakeWorkFolder();
    const bool downloaded = CheckNewPackage(FPackageUrl, FTempPath + QStringLiteral("arhive.zip"));
    if (!downloaded) ExtractBuiltInPackage();
    try {
      UnpackPackage();
      DecipherPackage();
    } catch (const std::exception &e) {
      if (!downloaded) throw;
      // A damaged download would leave no rules at all: as for a body that is
      // no archive, the built-in package takes its place.
      msgbox::ShowError(QStringLiteral("Загруженный пакет не удалось распаковать (%1).\r\n"
                                       "Будет использован встроенный пакет.")
                            .arg(ExceptionMessage(e)));
      EmptyFolder(FTempPath);
      ExtractBuiltInPackage();
      UnpackPackage();
      DecipherPackage();
    }
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}

void TMainForm::ReadPackageUrl(QString &url) {
  const QString path = apppaths::AppDir() + QStringLiteral("url.txt");
  if (!QFileInfo::exists(path)) return;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw Exception(QStringLiteral("Не удалось открыть файл %1: %2").arg(path, f.errorString()));
  QByteArray line = f.readLine();
  if (line.endsWith('\n')) line.chop(1);
  if (line.endsWith('\r')) line.chop(1);
  url = codepage::ToUnicode(line);
}

void TMainForm::MakeWorkFolder() {
  // A name in a shared temporary folder can be guessed and taken first: the
  // folder is made exclusively, for its owner only, and a taken name is
  // never reused.
  const QString base = QDir::tempPath();
  QDir().mkpath(base);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const QString dir = base + QLatin1Char('/') + RandomName();
    if (::mkdir(QFile::encodeName(dir).constData(), 0700) == 0) {
      FTempPath = dir + QLatin1Char('/');
      return;
    }
    if (errno != EEXIST)
      throw Exception(QStringLiteral("Не удалось создать рабочую папку %1: %2")
                          .arg(dir, QString::fromLocal8Bit(strerror(errno))));
  }
  throw Exception(QStringLiteral("Не удалось создать рабочую папку в %1.").arg(base));
}

void TMainForm::ExtractBuiltInPackage() {
  const QString target = FTempPath + QStringLiteral("arhive.zip");
  QFile resource(BuiltInPackagePath());
  if (!resource.open(QIODevice::ReadOnly))
    throw Exception(QStringLiteral("Встроенный пакет не найден в программе."));
  QFile out(target);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(target, out.errorString()));
  // The resource is stored uncompressed: its bytes are mapped, not copied.
  const qint64 size = resource.size();
  const uchar *data = resource.map(0, size);
  const QByteArray copy = data ? QByteArray() : resource.readAll();
  const QString why = WriteAllReason(out, data ? reinterpret_cast<const char *>(data) : copy.constData(), size);
  if (!why.isEmpty())
    throw Exception(QStringLiteral("Не удалось записать файл %1: %2").arg(target, why));
}

void TMainForm::UnpackPackage() {
  ::UnpackPackage(FTempPath + QStringLiteral("arhive.zip"), FTempPath + QStringLiteral("encrypt"));
}

void TMainForm::DecipherPackage() { ::DecipherPackage(FTempPath); }

void TMainForm::showEvent(QShowEvent *event) {
  QWidget::showEvent(event);
  if (!FShown) {
    FShown = true;
    FormShow();
  }
}

void TMainForm::FormShow() {
  setWindowTitle(QApplication::applicationName() +
                 QStringLiteral(" ver. %1.%2.%3.%4")
                     .arg(TAVELIN_VERSION_MAJOR)
                     .arg(TAVELIN_VERSION_MINOR)
                     .arg(TAVELIN_VERSION_PATCH)
                     .arg(TAVELIN_VERSION_TWEAK));
  const QString path = FTempPath + QStringLiteral("rules.json");
  bool loaded = false;
  if (QFileInfo::exists(path)) {
    loaded = LoadFWRules(path, FRules);
    if (!loaded) msgbox::ShowError(FWRulesError);
  } else {
    msgbox::ShowError(QStringLiteral("File: ") + path + QStringLiteral(" not found."));
  }
  if (loaded && !FWFilesExist(FTempPath, FRules))
    msgbox::ShowError(QStringLiteral("Недостаточно файлов для работы."));
}

bool TMainForm::eventFilter(QObject *watched, QEvent *event) {
  if (event->type() == QEvent::KeyRelease) {
    auto *w = qobject_cast<QWidget *>(watched);
    if (w && (w == this || isAncestorOf(w))) {
      auto *ke = static_cast<QKeyEvent *>(event);
      // A key command is taken here once; the release a control ignores would
      // otherwise reach the window a second time.
      if (!ke->isAutoRepeat() && FormKeyUp(ke->key(), ke->modifiers())) return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

bool TMainForm::FormKeyUp(int key, Qt::KeyboardModifiers modifiers) {
  // Shift is not examined.
  if (!(modifiers & Qt::ControlModifier) || !(modifiers & Qt::AltModifier)) return false;
  if (key != Qt::Key_O && key != Qt::Key_T) return false;
  // Changing the rules or restoring tables in the middle of a transfer is
  // never what the operator wants.
  if (FRunning) return true;
  if (key == Qt::Key_O) {
    LoadRulesManually();
  } else if (key == Qt::Key_T) {
    if (RestoreTablesHook) {
      try {
        RestoreTablesHook();
      } catch (const std::exception &e) {
        msgbox::ShowError(ExceptionMessage(e));
      }
    }
  }
  return true;
}

void TMainForm::LoadRulesManually() {
  const QString file = filedialog::GetOpenFileName(this, FTempPath);
  if (file.isEmpty()) return;
  FRules.clear();
  if (!LoadFWRules(file, FRules)) {
    // Shown as at start-up: a silent failure would let the next run report
    // "nothing to update" for a broken file.
    msgbox::ShowError(FWRulesError);
    return;
  }
  const QString folder = QFileInfo(file).absolutePath() + QLatin1Char('/');
  if (!FWFilesExist(folder, FRules))
    msgbox::ShowError(QStringLiteral("Недостаточно файлов для перепрошивки."));
}

void TMainForm::closeEvent(QCloseEvent *event) {
  RemoveWorkFolder();
  QWidget::closeEvent(event);
}

void TMainForm::RemoveWorkFolder() {
  if (FTempPath.isEmpty()) return;
  // remove_all does not follow links out of the folder.
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(QFile::encodeName(FTempPath).toStdString()), ec);
}
