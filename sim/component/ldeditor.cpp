#include "sim/component/ldeditor.h"

#include <algorithm>
#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include "sim/model/ldlist.h"

namespace osim {

namespace {

QString Q(const std::string &s) { return QString::fromStdString(s); }

// The editing window of one device; false when cancelled.
bool EditDevice(QWidget *parent, LogicalDevice &d) {
  QDialog dlg(parent);
  dlg.setObjectName(QStringLiteral("LDEditDialog"));
  dlg.setWindowTitle(QStringLiteral("Логическое устройство"));
  auto *form = new QFormLayout(&dlg);
  auto *name = new QLineEdit(Q(d.name), &dlg);
  name->setObjectName(QStringLiteral("LDName"));
  auto *type = new QComboBox(&dlg);
  type->setObjectName(QStringLiteral("LDType"));
  for (int t = 0; t <= 6; ++t) type->addItem(QStringLiteral("%1 — %2").arg(t).arg(Q(ConnectionTypeName(t))));
  type->setCurrentIndex(std::clamp(d.connectionType, 0, 6));
  auto *com = new QSpinBox(&dlg);
  com->setObjectName(QStringLiteral("LDCom"));
  com->setRange(1, 255);
  com->setValue(std::clamp(d.comNumber, 1, 255));
  auto *baud = new QComboBox(&dlg);
  baud->setObjectName(QStringLiteral("LDBaud"));
  for (int b = 0; b <= 6; ++b) baud->addItem(Q(BaudRateName(b)));
  baud->setCurrentIndex(std::clamp(d.baudrate, 0, 6));
  auto *useIp = new QCheckBox(QStringLiteral("по IP-адресу"), &dlg);
  useIp->setObjectName(QStringLiteral("LDUseIP"));
  useIp->setChecked(d.useIPAddress == 1);
  auto *ip = new QLineEdit(Q(d.ipAddress), &dlg);
  ip->setObjectName(QStringLiteral("LDIP"));
  auto *host = new QLineEdit(Q(d.computerName), &dlg);
  host->setObjectName(QStringLiteral("LDHost"));
  auto *tcp = new QSpinBox(&dlg);
  tcp->setObjectName(QStringLiteral("LDTcpPort"));
  tcp->setRange(1, 65535);
  tcp->setValue(std::clamp(d.tcpPort, 1, 65535));
  form->addRow(QStringLiteral("Наименование:"), name);
  form->addRow(QStringLiteral("Тип подключения:"), type);
  form->addRow(QStringLiteral("COM-порт (регистр симулятора):"), com);
  form->addRow(QStringLiteral("Скорость:"), baud);
  form->addRow(QStringLiteral("Сервер:"), useIp);
  form->addRow(QStringLiteral("IP-адрес:"), ip);
  form->addRow(QStringLiteral("Имя компьютера:"), host);
  form->addRow(QStringLiteral("TCP-порт:"), tcp);
  auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dlg);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dlg, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dlg, &QDialog::reject);
  form->addRow(buttons);
  if (dlg.exec() != QDialog::Accepted) return false;
  d.name = name->text().toStdString();
  d.connectionType = type->currentIndex();
  d.comNumber = com->value();
  d.baudrate = baud->currentIndex();
  d.useIPAddress = useIp->isChecked() ? 1 : 0;
  d.ipAddress = ip->text().toStdString();
  d.computerName = host->text().toStdString();
  d.tcpPort = tcp->value();
  return true;
}

class Editor : public QGroupBox {
 public:
  explicit Editor(QWidget *parent) : QGroupBox(QStringLiteral("Логические устройства"), parent) {
    setObjectName(QStringLiteral("LDEditor"));
    auto *layout = new QVBoxLayout(this);
    storage_ = new QComboBox(this);
    storage_->setObjectName(QStringLiteral("LDStorage"));
    storage_->addItem(QStringLiteral("Хранить для всех пользователей (StorageType 0)"));
    storage_->addItem(QStringLiteral("Хранить для текущего пользователя (StorageType 1)"));
    layout->addWidget(storage_);
    table_ = new QTableWidget(0, 5, this);
    table_->setObjectName(QStringLiteral("LDTable"));
    table_->setHorizontalHeaderLabels({QStringLiteral("№"), QStringLiteral("Наименование"), QStringLiteral("Тип"),
                                       QStringLiteral("Настройки"), QStringLiteral("Регистр")});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setMinimumWidth(640);
    layout->addWidget(table_);
    auto *row = new QHBoxLayout;
    auto *add = new QPushButton(QStringLiteral("Добавить"), this);
    add->setObjectName(QStringLiteral("LDAdd"));
    auto *edit = new QPushButton(QStringLiteral("Изменить"), this);
    edit->setObjectName(QStringLiteral("LDEdit"));
    auto *remove = new QPushButton(QStringLiteral("Удалить"), this);
    remove->setObjectName(QStringLiteral("LDRemove"));
    for (QPushButton *b : {add, edit, remove}) {
      b->setAutoDefault(false);
      row->addWidget(b);
    }
    row->addStretch();
    layout->addLayout(row);

    QObject::connect(add, &QPushButton::clicked, this, [this] { Add(); });
    QObject::connect(edit, &QPushButton::clicked, this, [this] { Edit(); });
    QObject::connect(table_, &QTableWidget::cellDoubleClicked, this, [this] { Edit(); });
    QObject::connect(remove, &QPushButton::clicked, this, [this] { Remove(); });
    Reload();
    QObject::connect(storage_, &QComboBox::currentIndexChanged, this, [this](int t) {
      if (t != StorageType()) Store(devices_, t);
    });
  }

 private:
  int StorageType() const { return LogicalDevices::StorageType() == 0 ? 0 : 1; }

  void Reload() {
    devices_ = LogicalDevices::Load();
    const QSignalBlocker block(storage_);
    storage_->setCurrentIndex(StorageType());
    table_->setRowCount(static_cast<int>(devices_.size()));
    for (int i = 0; i < static_cast<int>(devices_.size()); ++i) {
      const LogicalDevice &d = devices_[static_cast<size_t>(i)];
      const QStringList cells = {QString::number(i + 1), Q(d.name), Q(ConnectionTypeName(d.connectionType)), Q(Describe(d)),
                                 QStringLiteral("порт %1").arg(d.comNumber)};
      for (int c = 0; c < cells.size(); ++c) table_->setItem(i, c, new QTableWidgetItem(cells[c]));
    }
    table_->resizeColumnsToContents();
  }

  void Store(const std::vector<LogicalDevice> &devices, std::optional<int> storage = {}) {
    try {
      LogicalDevices::Save(devices, storage);
    } catch (const std::exception &e) {
      QMessageBox::warning(this, QStringLiteral("Логические устройства"), QString::fromUtf8(e.what()));
    }
    Reload();
  }

  int Selected() const {
    const int r = table_->currentRow();
    return r >= 0 && r < static_cast<int>(devices_.size()) ? r : -1;
  }

  void Add() {
    int free = 1;
    while (std::any_of(devices_.begin(), devices_.end(), [&](const LogicalDevice &d) { return d.comNumber == free; })) ++free;
    LogicalDevice d = DefaultLogicalDevice(free);
    if (!EditDevice(this, d)) return;
    auto devices = devices_;
    devices.push_back(d);
    Store(devices);
  }

  void Edit() {
    const int r = Selected();
    if (r < 0) return;
    auto devices = devices_;
    if (!EditDevice(this, devices[static_cast<size_t>(r)])) return;
    Store(devices);
  }

  void Remove() {
    const int r = Selected();
    if (r < 0) return;
    auto devices = devices_;
    devices.erase(devices.begin() + r);
    Store(devices);
  }

  QComboBox *storage_;
  QTableWidget *table_;
  std::vector<LogicalDevice> devices_;
};

}  // namespace

QWidget *MakeLogicalDevicesEditor(QWidget *parent) { return new Editor(parent); }

}  // namespace osim
