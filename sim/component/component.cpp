// The simulator as a driver component: the plain C entry point over
// osim::Device, and the component's own settings dialog.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>
#include <cstring>

#include "device/ostrel_abi.h"
#include "sim/component/ldeditor.h"
#include "sim/model/device.h"

namespace {

static_assert(osim::kUnknownMember == OSTREL_E_UNKNOWN_MEMBER);

void CopyMessage(const std::string &msg, char *err, int errcap) {
  if (!err || errcap <= 0) return;
  const size_t n = std::min(msg.size(), static_cast<size_t>(errcap - 1));
  std::memcpy(err, msg.data(), n);
  err[n] = '\0';
}

QString Q(const std::string &s) { return QString::fromStdString(s); }

// A small modal window: the register, where its state lives, its faults.
void ShowDialog(osim::Device &dev) {
  if (!qobject_cast<QApplication *>(QCoreApplication::instance()) || !qEnvironmentVariableIsEmpty("OSTREL_SIM_NO_DIALOG"))
    return;
  osim::Register r;
  try {
    r = dev.store().Read(dev.port());
  } catch (const std::exception &) {
    return;
  }
  QStringList lines;
  lines << QStringLiteral("Симулятор ККТ, порт %1").arg(dev.port())
        << QStringLiteral("Заводской номер: %1 (модель %2)").arg(Q(r.serial()), Q(r.model()))
        << QStringLiteral("Режим: %1 (%2)").arg(r.reportedMode()).arg(Q(osim::ModeDescription(r.reportedMode())))
        << QStringLiteral("ПО: %1, сборка %2, дата %3").arg(Q(r.firmware)).arg(r.build).arg(Q(r.date))
        << QStringLiteral("Загрузчик: %1").arg(r.bootloader)
        << QStringLiteral("Режим DFU: %1").arg(r.dfu ? QStringLiteral("да") : QStringLiteral("нет"))
        << QStringLiteral("Папка состояния: %1").arg(dev.store().dir()) << QString() << QStringLiteral("Неисправности:");
  const auto faults = osim::DescribeFaults(r.faults);
  if (faults.empty()) lines << QStringLiteral("  нет");
  for (const auto &f : faults) lines << QStringLiteral("  ") + Q(f);

  QDialog dlg;
  dlg.setWindowTitle(QStringLiteral("Свойства драйвера ККТ"));
  auto *layout = new QVBoxLayout(&dlg);
  auto *label = new QLabel(lines.join(QLatin1Char('\n')), &dlg);
  label->setObjectName(QStringLiteral("SimInfo"));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(label);
  layout->addWidget(osim::MakeLogicalDevicesEditor(&dlg));
  auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dlg);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
  layout->addWidget(buttons);
  dlg.exec();
}

osim::Device *D(void *self) { return static_cast<osim::Device *>(self); }

void *Create(char *err, int errcap) {
  try {
    auto *d = new osim::Device();
    d->showProperties = ShowDialog;
    return d;
  } catch (const std::exception &e) {
    CopyMessage(std::string("Симулятор ККТ не запустился: ") + e.what(), err, errcap);
    return nullptr;
  }
}

void Destroy(void *self) { delete D(self); }

int Invoke(void *self, const char *method) {
  if (!method) return OSTREL_E_UNKNOWN_MEMBER;
  return D(self)->Invoke(method);
}

int GetInt(void *self, const char *prop, int *value) {
  int v = 0;
  if (!prop || !value || !D(self)->GetInt(prop, v)) return OSTREL_E_UNKNOWN_MEMBER;
  *value = v;
  return 0;
}

int SetInt(void *self, const char *prop, int value) {
  return prop && D(self)->SetInt(prop, value) ? 0 : OSTREL_E_UNKNOWN_MEMBER;
}

int GetDouble(void *self, const char *prop, double *value) {
  double v = 0;
  if (!prop || !value || !D(self)->GetDouble(prop, v)) return OSTREL_E_UNKNOWN_MEMBER;
  *value = v;
  return 0;
}

int SetDouble(void *self, const char *prop, double value) {
  return prop && D(self)->SetDouble(prop, value) ? 0 : OSTREL_E_UNKNOWN_MEMBER;
}

int GetStr(void *self, const char *prop, char *buf, int cap, int *len) {
  std::string v;
  if (!prop || !D(self)->GetStr(prop, v)) return OSTREL_E_UNKNOWN_MEMBER;
  if (len) *len = static_cast<int>(v.size());
  if (buf && cap > 0 && v.size() < static_cast<size_t>(cap)) std::memcpy(buf, v.c_str(), v.size() + 1);
  return 0;
}

int SetStr(void *self, const char *prop, const char *value) {
  return prop && value && D(self)->SetStr(prop, value) ? 0 : OSTREL_E_UNKNOWN_MEMBER;
}

const OstrelApi kApi = {OSTREL_ABI_VERSION, Create, Destroy, Invoke, GetInt, SetInt, GetDouble, SetDouble, GetStr, SetStr};

}  // namespace

extern "C" __attribute__((visibility("default"))) const OstrelApi *ostrel_component(void) { return &kApi; }
