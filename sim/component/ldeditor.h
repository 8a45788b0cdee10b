#pragma once
// The logical devices part of the simulator's settings dialog.
class QWidget;

namespace osim {

// A group box listing the driver's logical devices, with "Добавить",
// "Изменить", "Удалить" and the storage type; every change is written at once.
QWidget *MakeLogicalDevicesEditor(QWidget *parent);

}  // namespace osim
