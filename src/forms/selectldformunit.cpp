#include "forms/selectldformunit.h"
#include "forms/designfonts.h"

#include <algorithm>

#include <QDebug>
#include <QFontMetrics>
#include <QHeaderView>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QStyledItemDelegate>
#include <QScreen>
#include <QTableWidget>

#include "forms/centre.h"
#include "common/error.h"
#include "common/msgbox.h"
#include "device/XmlDriverParams.h"
#include "device/untDriver.h"
#include "forms/modal.h"

Q_LOGGING_CATEGORY(lcForms, "tavelin.forms")

TSelectLDForm *SelectLDForm = nullptr;

namespace {

constexpr int kColumns = 5;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

// The device cells are drawn by the form; the indicator column looks like
// the header, as a fixed column does.
class LDGridDelegate : public QStyledItemDelegate {
 public:
  LDGridDelegate(TSelectLDForm *form) : QStyledItemDelegate(form), form_(form) {}
  void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override {
    if (index.column() == 0) {
      painter->fillRect(option.rect, option.palette.button());
      return;
    }
    painter->save();
    form_->LDGridDrawCell(painter, index.column(), index.row() + 1, option.rect);
    painter->restore();
  }

 private:
  TSelectLDForm *form_;
};

QPushButton *Button(const QString &caption, const char *name, int left, int top, QWidget *parent) {
  auto *b = new QPushButton(caption, parent);
  b->setObjectName(QLatin1String(name));
  // Neither Enter nor Esc chooses for the operator.
  b->setAutoDefault(false);
  b->setDefault(false);
  b->setGeometry(left, top, kButtonWidth, kButtonHeight);
  return b;
}

}  // namespace

TSelectLDForm::TSelectLDForm(QWidget *AOwner) : TSavedForm(AOwner) {
  setObjectName(QStringLiteral("SelectLDForm"));
  setWindowTitle(QStringLiteral(
      "В системе зарегистрировано более одного логического устройства. Выберете то, которое хотите обновить."));
  setFont(designfonts::DialogFont(8));
  setSizeGripEnabled(false);

  LDGrid = new QTableWidget(0, kColumns, this);
  LDGrid->setObjectName(QStringLiteral("LDGrid"));
  LDGrid->setGeometry(8, 8, 449, 209);
  LDGrid->verticalHeader()->hide();
  LDGrid->verticalHeader()->setMinimumSectionSize(0);
  LDGrid->verticalHeader()->setDefaultSectionSize(24);
  LDGrid->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  LDGrid->horizontalHeader()->setMinimumSectionSize(0);
  LDGrid->horizontalHeader()->setDefaultSectionSize(64);
  LDGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  LDGrid->horizontalHeader()->setFixedHeight(24);
  LDGrid->horizontalHeader()->setHighlightSections(false);
  LDGrid->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  LDGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  LDGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  LDGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
  LDGrid->setSelectionMode(QAbstractItemView::SingleSelection);
  LDGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  LDGrid->setShowGrid(true);
  LDGrid->setWordWrap(false);
  LDGrid->setItemDelegate(new LDGridDelegate(this));
  for (int c = 0; c < kColumns; ++c) LDGrid->setHorizontalHeaderItem(c, new QTableWidgetItem());
  connect(LDGrid, &QTableWidget::cellDoubleClicked, this, [this](int, int) { LDGridDblClick(); });

  OkButton = Button(QStringLiteral("Выбрать"), "OkButton", 463, 8, this);
  CancelButton = Button(QStringLiteral("Отмена"), "CancelButton", 463, 39, this);
  SetupButton = Button(QStringLiteral("Настроить"), "SetupButton", 463, 70, this);
  connect(OkButton, &QPushButton::clicked, this, &TSelectLDForm::OkButtonClick);
  connect(CancelButton, &QPushButton::clicked, this, [this] { done(modal::mrCancel); });
  connect(SetupButton, &QPushButton::clicked, this, &TSelectLDForm::SetupButtonClick);

  resize(862, 225);
  FormCreated();
  // A dialog frame: the operator does not resize it; FillEcrList does.
  setFixedSize(size());
}

TSelectLDForm::~TSelectLDForm() {
  FormDestroy();
  if (SelectLDForm == this) SelectLDForm = nullptr;
}

void TSelectLDForm::FormDestroy() { FEnabled.clear(); }

void TSelectLDForm::reject() { done(modal::mrCancel); }

void TSelectLDForm::keyPressEvent(QKeyEvent *event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      event->accept();  // bound to no button
      return;
    default:
      TSavedForm::keyPressEvent(event);
  }
}

void TSelectLDForm::showEvent(QShowEvent *event) {
  // The system places the dialog when it first appears; the stored size
  // stays, the stored position does not.
  if (!event->spontaneous() && !FPlaced) {
    FPlaced = true;
    CentreWindow(this, parentWidget());
  }
  TSavedForm::showEvent(event);
}

QString TSelectLDForm::Cell(int col, int row) const {
  if (col < 0 || col >= kColumns) return QString();
  if (row == 0) return LDGrid->horizontalHeaderItem(col)->text();
  const QTableWidgetItem *it = LDGrid->item(row - 1, col);
  return it ? it->text() : QString();
}

void TSelectLDForm::SetCell(int col, int row, const QString &text) {
  if (row == 0) {
    LDGrid->horizontalHeaderItem(col)->setText(text);
    return;
  }
  QTableWidgetItem *it = LDGrid->item(row - 1, col);
  if (!it) {
    it = new QTableWidgetItem();
    LDGrid->setItem(row - 1, col, it);
  }
  it->setText(text);
}

int TSelectLDForm::RowCount() const { return LDGrid->rowCount() + 1; }

int TSelectLDForm::Row() const {
  const int r = LDGrid->currentRow();
  return r >= 0 ? r + 1 : 0;
}

void TSelectLDForm::SetRow(int row) {
  if (row >= 1 && row < RowCount()) LDGrid->setCurrentCell(row - 1, 1);
}

int TSelectLDForm::ColWidth(int col) const { return LDGrid->columnWidth(col); }

void TSelectLDForm::WidenColumn(int col, const QString &text) {
  // Columns only grow.
  const int want = QFontMetrics(LDGrid->font()).horizontalAdvance(text) + 20;
  if (LDGrid->columnWidth(col) < want) LDGrid->setColumnWidth(col, want);
}

void TSelectLDForm::PrepareGrid() {
  LDGrid->setColumnWidth(0, 20);
  SetCell(1, 0, QStringLiteral("Наименование"));
  SetCell(2, 0, QStringLiteral("Тип подключения"));
  SetCell(3, 0, QStringLiteral("Настройки COM порта"));
  SetCell(4, 0, QStringLiteral("Настройки TCP соединения"));
  for (int c = 0; c < kColumns; ++c) WidenColumn(c, Cell(c, 0));
}

void TSelectLDForm::ClearGrid() {
  for (int r = 1; r < RowCount(); ++r)
    for (int c = 1; c < kColumns; ++c) SetCell(c, r, QString());
}

void TSelectLDForm::FillEcrList() {
  ClearGrid();
  TDriver *drv = Driver();
  drv->GetCountLD();
  const int n = std::max(0, drv->LDCount());
  FEnabled.fill(false, n);
  const int keep = Row();
  LDGrid->setRowCount(n);
  // The store is read once for the whole list.
  const TLDListing listing;
  for (int i = 0; i < n; ++i) {
    const int row = i + 1;
    FEnabled[i] = false;
    CurrentLDIndex = i;
    SetCell(1, row, ReadLDName());
    QString type;
    switch (ReadLDConnectionType()) {
      case 0:
        type = QStringLiteral("Локально");
        SetCell(3, row, LDComSettingsText());
        FEnabled[i] = true;
        break;
      case 1:
        type = QStringLiteral("Сервер ККМ (TCP)");
        break;
      case 2:
        type = QStringLiteral("Сервер ККМ  (DCOM)");
        break;
      case 3:
        type = QStringLiteral("ESCAPE");
        break;
      case 4:
        type = QStringLiteral("Не используется");
        break;
      case 5:
        type = QStringLiteral("Эмулятор");
        break;
      case 6:
        type = QStringLiteral("Подключение через TCP-сокет");
        SetCell(4, row, LDTcpSettingsText());
        break;
      default:
        break;
    }
    SetCell(2, row, type);
    for (int c = 0; c < kColumns; ++c) WidenColumn(c, Cell(c, row));
  }
  // The grid, as the driver's grid, always has a row selected.
  SetRow(keep >= 1 && keep <= n ? keep : 1);

  // Never wider than the screen: the names give way, elided, each whole in
  // its tooltip, and the buttons stay on the screen.
  for (int r = 1; r < RowCount(); ++r)
    if (QTableWidgetItem *it = LDGrid->item(r - 1, 1)) it->setToolTip(it->text());
  const QScreen *screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  if (screen) {
    const int frame = frameGeometry().width() - width();
    const int room = screen->availableGeometry().width() - std::max(frame, 0) - kButtonWidth - 28 - 5;
    int others = 0;
    for (int c = 0; c < kColumns; ++c)
      if (c != 1) others += LDGrid->columnWidth(c);
    const int nameRoom = std::max(room - others, 120);
    if (LDGrid->columnWidth(1) > nameRoom) LDGrid->setColumnWidth(1, nameRoom);
  }
  int gridWidth = 5;
  for (int c = 0; c < kColumns; ++c) gridWidth += LDGrid->columnWidth(c);
  LDGrid->resize(gridWidth, LDGrid->height());
  const int left = gridWidth + 14;
  for (QPushButton *b : {OkButton, CancelButton, SetupButton}) b->move(left, b->y());
  setFixedSize(OkButton->x() + OkButton->width() + 14, height());
}

void TSelectLDForm::LDGridDrawCell(QPainter *canvas, int ACol, int ARow, const QRect &Rect) {
  if (ARow == 0 || ACol == 0) return;
  const bool enabled = ARow - 1 < FEnabled.size() && FEnabled[ARow - 1];
  const bool selected = ARow == Row();
  QColor back, text;
  if (!enabled) {
    back = QColor(255, 99, 71);
    text = palette().color(QPalette::Text);
  } else if (selected) {
    back = palette().color(QPalette::Highlight);
    text = palette().color(QPalette::HighlightedText);
  } else {
    back = palette().color(QPalette::Base);
    text = palette().color(QPalette::Text);
  }
  canvas->fillRect(Rect, back);
  canvas->setClipRect(Rect);
  canvas->setFont(LDGrid->font());
  canvas->setPen(text);
  canvas->drawText(Rect.adjusted(3, 5, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, Cell(ACol, ARow));
}

void TSelectLDForm::ActivateSelectedLD() {
  const int r = Row();
  if (r < 1 || r - 1 >= FEnabled.size() || !FEnabled[r - 1]) return;
  TDriver *drv = Driver();
  drv->setLDNumber(r);
  // Refused: the dialog stays open, the operator chooses again; the refusal
  // is logged.
  const int rc = drv->SetActiveLD();
  if (rc == 0) {
    done(modal::mrOk);
    return;
  }
  qCWarning(lcForms).noquote() << QStringLiteral("SetActiveLD: логическое устройство %1 не выбрано: (%2) %3")
                              .arg(r)
                              .arg(rc)
                              .arg(drv->ResultCodeDescription());
}

void TSelectLDForm::OkButtonClick() {
  try {
    ActivateSelectedLD();
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}

void TSelectLDForm::LDGridDblClick() {
  try {
    ActivateSelectedLD();
  } catch (const std::exception &e) {
    msgbox::ShowError(ExceptionMessage(e));
  }
}

void TSelectLDForm::SetupButtonClick() {
  try {
    Driver()->ShowProperties();
    FillEcrList();
  } catch (const std::exception &e) {
    // The rows read so far stay.
    msgbox::ShowError(ExceptionMessage(e));
  }
}

bool ChooseLogicalDevice() {
  if (!SelectLDForm) return true;
  SelectLDForm->PrepareGrid();
  SelectLDForm->FillEcrList();
  return modal::ShowModal(SelectLDForm) == modal::mrOk;
}
