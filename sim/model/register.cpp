#include "sim/model/register.h"

#include <QDate>
#include <QDateTime>
#include <QString>
#include <algorithm>
#include <stdexcept>

#include "common/codepage.h"
#include "device/OstrelLib_TLB.h"

namespace osim {

std::string CodeDescription(int code) {
  switch (code) {
    case kOk: return "Ошибок нет";
    case kNoLink: return "Нет связи с ККТ";
    case kBadLogicalDevice: return "Неверный номер логического устройства";
    case kUnsupportedMethod: return "Неподдерживаемый способ обновления ПО";
    case kBadPassword: return "Неверный пароль";
    case kBadTable: return "Неверный номер таблицы";
    case kBadRow: return "Неверный номер строки";
    case kBadField: return "Неверный номер поля";
    case kOutOfRange: return "Значение вне допустимого диапазона";
    case kTooLong: return "Длина строки превышает размер поля";
    case kReadOnly: return "Поле доступно только для чтения";
    case kDfuRefused: return "Переход в режим загрузчика невозможен";
    case kMemoryDamaged: return "Данные в памяти ККТ повреждены, требуется сброс настроек";
    case kNeedsReset: return "Требуется сброс настроек (технологическое обнуление)";
    case kNeedsDateTime: return "Требуется установка даты и времени";
    case kDateNotConfirmed: return "Дата не подтверждена: даты не совпадают";
    case kBadDate: return "Неверная дата";
    case kBadTime: return "Неверное время";
    case kRepeat: return "Команда не завершена, повторите запрос";
    case kBusy: return "ККТ занята: идёт обновление ПО";
    case kNoFile: return "Файл прошивки не найден";
    case kCellFault: return "Ошибка доступа к ячейке таблицы";
    default: return "Ошибка ККТ (код " + std::to_string(code) + ")";
  }
}

std::string ModeDescription(int mode) {
  switch (mode) {
    case 1: return "Выдача данных";
    case 2: return "Открытая смена, 24 часа не кончились";
    case 3: return "Открытая смена, 24 часа кончились";
    case 4: return "Закрытая смена";
    case 5: return "Блокировка по неправильному паролю налогового инспектора";
    case 6: return "Ожидание подтверждения ввода даты";
    case 7: return "Разрешение изменения положения десятичной точки";
    case 8: return "Открытый документ";
    case 9: return "Режим разрешения технологического обнуления";
    default: return "Режим " + std::to_string(mode);
  }
}

bool Faults::empty() const {
  return methods.empty() && cells.empty() && tables.empty() && reset147 == 0 && restartCode == 0 &&
         restartSerial.empty() && !download && !dfuRefused && !loaderText && mode == 0 &&
         dfuCut == 0 && !unplug;
}

// ---- dates and text -------------------------------------------------------

static const QDate &Epoch() {
  static const QDate epoch(1899, 12, 30);
  return epoch;
}

std::optional<int> DayNumber(const std::string &isoDate) {
  if (!ValidIsoDate(isoDate)) return std::nullopt;
  const QDate d = QDate::fromString(QString::fromStdString(isoDate), Qt::ISODate);
  return static_cast<int>(Epoch().daysTo(d));
}

std::string IsoDate(int dayNumber) { return Epoch().addDays(dayNumber).toString(Qt::ISODate).toStdString(); }

bool ValidIsoDate(const std::string &s) {
  if (s.size() != 10 || s[4] != '-' || s[7] != '-') return false;
  return QDate::fromString(QString::fromStdString(s), Qt::ISODate).isValid();
}

std::int64_t NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

std::string NarrowText(const std::string &utf8) {
  return codepage::Narrow(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()))).toStdString();
}

int NarrowLength(const std::string &utf8) {
  return static_cast<int>(codepage::FromUnicode(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()))).size());
}

// ---- the default register -------------------------------------------------

namespace {

Field Int(const char *name, int size, std::int64_t min, std::int64_t max) {
  return Field{name, size, false, min, max, false};
}
Field Text(const char *name, int size) { return Field{name, size, true, 0, 0, false}; }

Table Make(const char *name, int rows, std::vector<Field> fields) {
  Table t;
  t.name = name;
  t.rows = rows;
  t.fields = std::move(fields);
  t.cells.resize(static_cast<size_t>(rows) * t.fields.size());
  return t;
}

// Integer fields named "Параметр N" over a byte, for the option tables.
std::vector<Field> Options(int n, const char *prefix) {
  std::vector<Field> f;
  for (int i = 1; i <= n; ++i) {
    Field x = Int("", 1, 0, 255);
    x.name = std::string(prefix) + " " + std::to_string(i);
    f.push_back(x);
  }
  return f;
}

const char *const kGoods[] = {"Хлеб ржаной", "Молоко 3,2%", "Сахар-песок", "Чай чёрный", "Кофе молотый",
                              "Сыр «Российский»", "Масло сливочное", "Яблоки", "Gift card", "Вода 0,5 л"};

}  // namespace

std::vector<Table> DefaultTables(const std::string &serial) {
  std::vector<Table> t;
  {  // 1
    auto x = Make("Режим работы ККТ", 1, Options(40, "Параметр"));
    for (int f = 1; f <= 40; ++f) x.at(1, f).i = f % 3 == 0 ? 1 : 0;
    t.push_back(std::move(x));
  }
  {  // 2: the passwords the register checks; row 30 is the system administrator
    auto x = Make("Пароли кассиров и администраторов", 30,
                  {Int("Пароль", 4, 0, 99999999), Text("Имя", 21)});
    for (int r = 1; r <= 30; ++r) {
      x.at(r, 1).i = r;
      x.at(r, 2).s = r == 30 ? "Системный администратор" : r == 29 ? "Администратор" : "Кассир " + std::to_string(r);
    }
    x.at(30, 1).i = kSysAdminPassword;
    t.push_back(std::move(x));
  }
  {  // 3
    auto x = Make("Таблица перевода времени", 14,
                  {Int("День начала", 1, 1, 31), Int("Месяц начала", 1, 1, 12), Int("День окончания", 1, 1, 31),
                   Int("Месяц окончания", 1, 1, 12), Int("Сдвиг, ч", 1, 0, 2), Int("Включено", 1, 0, 1)});
    for (int r = 1; r <= 14; ++r) {
      x.at(r, 1).i = 1; x.at(r, 2).i = 3; x.at(r, 3).i = 1; x.at(r, 4).i = 10; x.at(r, 5).i = 1;
    }
    t.push_back(std::move(x));
  }
  t.push_back(Make("Формат чека", 1, Options(60, "Позиция")));  // 4
  {  // 5
    auto x = Make("Наименования типов оплаты", 16, {Text("Наименование", 32), Int("Сдача", 1, 0, 1)});
    const char *names[] = {"НАЛИЧНЫМИ", "КАРТОЙ", "ПРЕДОПЛАТА", "КРЕДИТ"};
    for (int r = 1; r <= 16; ++r) x.at(r, 1).s = r <= 4 ? names[r - 1] : "ТИП ОПЛАТЫ " + std::to_string(r);
    x.at(1, 2).i = 1;
    t.push_back(std::move(x));
  }
  {  // 6
    auto x = Make("Налоговые ставки", 6, {Int("Ставка, 0,01%", 2, 0, 9999), Text("Наименование", 32)});
    const int rates[] = {2000, 1000, 0, 0, 2000, 1000};
    const char *names[] = {"НДС 20%", "НДС 10%", "НДС 0%", "БЕЗ НДС", "НДС 20/120", "НДС 10/110"};
    for (int r = 1; r <= 6; ++r) { x.at(r, 1).i = rates[r - 1]; x.at(r, 2).s = names[r - 1]; }
    t.push_back(std::move(x));
  }
  {  // 7
    auto x = Make("Наименования отделов", 16, {Text("Наименование", 32)});
    for (int r = 1; r <= 16; ++r) x.at(r, 1).s = "Отдел " + std::to_string(r);
    t.push_back(std::move(x));
  }
  {  // 8
    auto x = Make("Настройка шрифтов", 10,
                  {Int("Номер шрифта", 1, 1, 7), Int("Межстрочный интервал", 1, 0, 20), Int("Яркость", 1, 1, 15)});
    for (int r = 1; r <= 10; ++r) { x.at(r, 1).i = 1; x.at(r, 2).i = 2; x.at(r, 3).i = 8; }
    t.push_back(std::move(x));
  }
  {  // 9
    auto x = Make("Параметры обмена", 3,
                  {Int("Скорость обмена", 1, 0, 6), Int("Тайм-аут, мс", 2, 0, 65535), Int("Чётность", 1, 0, 2),
                   Int("Стоп-биты", 1, 1, 2)});
    for (int r = 1; r <= 3; ++r) { x.at(r, 1).i = 6; x.at(r, 2).i = 150; x.at(r, 4).i = 1; }
    t.push_back(std::move(x));
  }
  {  // 10: the bulk of the cells
    auto x = Make("Справочник товаров", 300,
                  {Int("Код", 4, 0, 999999), Text("Наименование", 40), Int("Цена, коп.", 4, 0, 99999999),
                   Int("Количество", 4, 0, 9999999), Int("Отдел", 1, 1, 16), Int("Налог", 1, 0, 6)});
    for (int r = 1; r <= 300; ++r) {
      x.at(r, 1).i = 1000 + r;
      x.at(r, 2).s = std::string(kGoods[(r - 1) % 10]) + " №" + std::to_string(r);
      x.at(r, 3).i = 1990 + 37 * r;
      x.at(r, 4).i = r % 50;
      x.at(r, 5).i = 1 + r % 16;
      x.at(r, 6).i = r % 7;
    }
    t.push_back(std::move(x));
  }
  {  // 11
    auto x = Make("Реквизиты пользователя", 1,
                  {Text("Наименование организации", 64), Text("Адрес", 64), Text("ИНН", 12), Text("Место расчётов", 64),
                   Text("Кассир", 32), Text("Телефон", 20), Text("Электронная почта", 40), Text("Сайт ФНС", 40),
                   Text("Система налогообложения", 32), Text("Примечание", 64),
                   // More than the 255 bytes a short string keeps.
                   Text("Реквизиты для чека", 320)});
    const char *v[] = {"ООО \"Ромашка\"", "г. Москва, ул. Тверская, д. 1", "7701234567", "Магазин №1",
                       "Иванова А.П.", "+7 495 000-00-00", "shop@example.ru", "www.nalog.gov.ru", "ОСН", ""};
    for (int f = 1; f <= 10; ++f) x.at(1, f).s = v[f - 1];
    t.push_back(std::move(x));
  }
  {  // 12
    auto x = Make("Клише", 8, {Text("Строка", 48)});
    x.at(1, 1).s = "ДОБРО ПОЖАЛОВАТЬ!";
    x.at(2, 1).s = "ООО \"Ромашка\"";
    t.push_back(std::move(x));
  }
  {  // 13
    auto x = Make("Рекламный текст", 8, {Text("Строка", 48)});
    x.at(1, 1).s = "СПАСИБО ЗА ПОКУПКУ!";
    t.push_back(std::move(x));
  }
  {  // 14
    auto x = Make("Скидки и надбавки", 20,
                  {Text("Наименование", 32), Int("Тип", 1, 0, 1), Int("Размер, 0,01%", 2, 0, 9999), Int("Включено", 1, 0, 1)});
    for (int r = 1; r <= 20; ++r) { x.at(r, 1).s = "Скидка " + std::to_string(r); x.at(r, 3).i = 100 * (r % 10); }
    t.push_back(std::move(x));
  }
  {  // 15
    auto x = Make("Настройки сети", 1,
                  {Int("IP 1", 1, 0, 255), Int("IP 2", 1, 0, 255), Int("IP 3", 1, 0, 255), Int("IP 4", 1, 0, 255),
                   Int("Маска 1", 1, 0, 255), Int("Маска 2", 1, 0, 255), Int("Маска 3", 1, 0, 255), Int("Маска 4", 1, 0, 255),
                   Int("Порт", 2, 0, 65535), Int("DHCP", 1, 0, 1), Text("Имя узла", 32), Text("DNS", 32)});
    const int v[] = {192, 168, 1, 150, 255, 255, 255, 0, 7778, 1};
    for (int f = 1; f <= 10; ++f) x.at(1, f).i = v[f - 1];
    x.at(1, 11).s = "kkt-" + serial;
    x.at(1, 12).s = "8.8.8.8";
    t.push_back(std::move(x));
  }
  {  // 16
    auto x = Make("Настройки ОФД", 1,
                  {Text("Адрес сервера", 64), Int("Порт", 2, 0, 65535), Int("Тайм-аут, с", 1, 0, 255), Text("ИНН ОФД", 12),
                   Text("Наименование ОФД", 64), Int("Интервал опроса, с", 2, 0, 3600), Int("Транспорт", 1, 0, 3),
                   Text("Сайт ОФД", 64)});
    x.at(1, 1).s = "ofd.example.ru"; x.at(1, 2).i = 21101; x.at(1, 3).i = 30; x.at(1, 4).s = "7704211201";
    x.at(1, 5).s = "ООО \"Оператор данных\""; x.at(1, 6).i = 60; x.at(1, 8).s = "www.ofd.example.ru";
    t.push_back(std::move(x));
  }
  {  // 17
    auto x = Make("Региональные параметры", 1,
                  {Int("Часовой пояс", 1, 1, 11), Int("Формат даты", 1, 0, 2), Int("Язык", 1, 0, 1),
                   Text("Валюта", 8), Int("Округление", 1, 0, 3), Int("Звук", 1, 0, 1),
                   // Both limits are all ones in 32 bits: the driver gives -1 for each.
                   Int("Резерв", 4, -1, 4294967295LL)});
    x.at(1, 1).i = 2; x.at(1, 4).s = "руб."; x.at(1, 6).i = 1;
    t.push_back(std::move(x));
  }
  {  // 18: factory parameters; field 1 is the serial number
    auto x = Make("Заводские параметры", 1,
                  {Text("Заводской номер ККТ", 20), Text("Модель", 32), Text("Дата изготовления", 10),
                   Int("Версия платы", 1, 0, 255), Int("Номер партии", 4, 0, 999999), Text("Страна", 16)});
    for (auto &f : x.fields) f.readonly = true;
    x.at(1, 1).s = serial;
    x.at(1, 2).s = "Острел-" + (serial.size() >= 10 ? serial.substr(6, 4) : std::string("?")) + "Ф";
    x.at(1, 3).s = "2020-11-02"; x.at(1, 4).i = 3; x.at(1, 5).i = 2011; x.at(1, 6).s = "Россия";
    t.push_back(std::move(x));
  }
  {  // 19
    auto x = Make("Параметры ФН", 1,
                  {Text("Номер ФН", 16), Int("Срок ФН, мес.", 1, 13, 36), Int("Версия ФФД", 1, 2, 4), Text("РНМ", 16),
                   Int("Режим", 1, 0, 255), Int("Признак агента", 1, 0, 255), Int("Автономный режим", 1, 0, 1),
                   Int("Шифрование", 1, 0, 1), Int("Лотереи", 1, 0, 1), Int("Подакцизные товары", 1, 0, 1)});
    x.at(1, 1).s = "9960440300123456"; x.at(1, 2).i = 15; x.at(1, 3).i = 4; x.at(1, 4).s = "0001234567012345";
    x.at(1, 8).i = 1;
    t.push_back(std::move(x));
  }
  {  // 20: fields 9 and 10 change by themselves on every restart
    auto x = Make("Состояние ККТ", 1,
                  {Int("Номер смены", 2, 0, 9999), Int("Номер чека", 2, 0, 9999), Int("Сквозной номер документа", 4, 0, 99999999),
                   Int("Необнуляемая сумма, руб.", 4, 0, 999999999), Int("Температура", 1, 0, 100),
                   Int("Напряжение питания, мВ", 2, 0, 30000), Int("Открыта крышка", 1, 0, 1), Int("Нет бумаги", 1, 0, 1),
                   Int("Число запусков", 4, 0, 2147483647), Int("Код запуска", 4, 0, 2147483647),
                   Text("Последняя ошибка", 40), Text("Состояние", 40)});
    x.at(1, 1).i = 412; x.at(1, 2).i = 17; x.at(1, 3).i = 10873; x.at(1, 4).i = 1234567; x.at(1, 5).i = 36;
    x.at(1, 6).i = 24100; x.at(1, 9).i = 0; x.at(1, 10).i = 5021; x.at(1, 12).s = "Готова к работе";
    t.push_back(std::move(x));
  }
  return t;
}

Register DefaultRegister(int port) {
  Register r;
  r.port = port;
  r.tables = DefaultTables(kDefaultSerial);
  r.clockDate = QDate::currentDate().toString(Qt::ISODate).toStdString();
  r.clockTime = "00:00:00";
  return r;
}

// ---- operations -----------------------------------------------------------

std::string Register::serial() const {
  if (tables.size() < 18 || tables[17].cells.empty()) return {};
  return tables[17].at(1, 1).s;
}

void Register::setSerial(const std::string &s) {
  if (tables.size() >= 18 && !tables[17].cells.empty()) tables[17].at(1, 1).s = s;
}

std::string Register::model() const {
  const std::string s = serial();
  return s.size() > 6 ? s.substr(6, 4) : std::string();
}

void Register::ResetTables() {
  const std::string s = serial();
  // Counters in table 20 are the register's own, not settings.
  std::optional<Table> state;
  if (tables.size() >= 20) state = tables[19];
  tables = DefaultTables(s);
  if (state && state->fields.size() == tables[19].fields.size() && state->rows == tables[19].rows) tables[19] = *state;
}

void Register::Restart() {
  ++restarts;
  dfu = false;
  if (tables.size() >= 20 && tables[19].fields.size() >= 10) {
    auto &t = tables[19];
    t.at(1, 9).i = (t.at(1, 9).i + 1) % 2147483647;
    // A start-up code that differs from one start to the next.
    const std::uint64_t x = static_cast<std::uint64_t>(NowMs()) * 6364136223846793005ULL +
                            static_cast<std::uint64_t>(restarts) * 1442695040888963407ULL;
    std::int64_t code = static_cast<std::int64_t>((x >> 33) % 2000000000) + 1;
    if (code == t.at(1, 10).i) code = code % 2000000000 + 1;
    t.at(1, 10).i = code;
  }
  if (!faults.restartSerial.empty()) {
    setSerial(faults.restartSerial);
    faults.restartSerial.clear();
  }
  if (faults.restartCode) {
    setupCode = faults.restartCode;
    setupDone = 0;
    pendingDate.reset();
    faults.restartCode = 0;
  }
}

std::optional<std::string> Register::Install(const Image &img) {
  if (faults.download) {
    std::string msg = faults.download->empty() ? std::string("ККТ отвергла образ: ошибка записи во флэш-память") : *faults.download;
    faults.download.reset();  // fails once
    return msg;
  }
  if (img.level == 1) {
    bootloader = img.bootloader;
  } else if (img.level == 2) {
    firmware = img.firmware;
    build = img.build;
    date = img.date;
    ResetTables();
    setupCode = kNeedsReset;
    setupDone = 0;
    pendingDate.reset();
  } else {
    return std::string("Неизвестный уровень образа");
  }
  cut = false;
  Restart();
  return std::nullopt;
}

int Register::xmodemPercent(std::int64_t nowMs) const {
  if (!xmodem.running) return 100;
  if (xmodem.durationMs <= 0) return 100;
  const std::int64_t done = std::clamp<std::int64_t>(nowMs - xmodem.startMs, 0, xmodem.durationMs);
  return static_cast<int>(done * 100 / xmodem.durationMs);
}

bool Register::AdvanceXModem(std::int64_t nowMs) {
  if (!xmodem.running || nowMs < xmodem.startMs + xmodem.durationMs) return false;
  xmodem.running = false;
  if (!xmodem.image) {
    xmodem.message = "Ошибка обновления ПО: " + xmodem.error;
  } else if (auto err = Install(*xmodem.image)) {
    xmodem.message = "Ошибка обновления ПО: " + *err;
  } else {
    xmodem.message = "Обновление ПО завершено успешно";
  }
  return true;
}

int Register::TakeMethodFault(const std::string &method) {
  for (auto it = faults.methods.begin(); it != faults.methods.end(); ++it) {
    if (it->method != method) continue;
    const int code = it->code;
    if (it->count > 0 && --it->count == 0) faults.methods.erase(it);
    return code;
  }
  return 0;
}

const TableFault *Register::FindTableFault(int table) const {
  for (const auto &f : faults.tables)
    if (f.table == table) return &f;
  return nullptr;
}

const CellFault *Register::FindCellFault(int table, int row, int field, bool write) const {
  for (const auto &f : faults.cells)
    if (f.table == table && f.row == row && f.field == field && (write ? f.write : f.read)) return &f;
  return nullptr;
}

// ---- JSON -----------------------------------------------------------------

namespace {

ojson ImageJson(const Image &i) {
  ojson j{{"level", i.level}, {"size", i.size}};
  if (i.level == 1) j["bootloader"] = i.bootloader;
  else { j["firmware"] = i.firmware; j["build"] = i.build; j["date"] = i.date; }
  return j;
}

Image ImageFrom(const ojson &j) {
  Image i;
  i.level = j.at("level").get<int>();
  i.size = j.value("size", std::int64_t{0});
  i.bootloader = j.value("bootloader", 0);
  i.firmware = j.value("firmware", std::string());
  i.build = j.value("build", 0);
  i.date = j.value("date", std::string());
  return i;
}

}  // namespace

ojson Register::FaultsJson() const {
  ojson f;
  f["methods"] = ojson::array();
  for (const auto &m : faults.methods) f["methods"].push_back({{"method", m.method}, {"code", m.code}, {"count", m.count}});
  f["cells"] = ojson::array();
  for (const auto &c : faults.cells)
    f["cells"].push_back({{"table", c.table}, {"row", c.row}, {"field", c.field}, {"read", c.read}, {"write", c.write}, {"code", c.code}});
  // Only when set, so state files of registers without them stay as they were.
  if (!faults.tables.empty()) {
    f["tables"] = ojson::array();
    for (const auto &t : faults.tables) f["tables"].push_back({{"table", t.table}, {"code", t.code}});
  }
  f["reset147"] = faults.reset147;
  f["restartCode"] = faults.restartCode;
  f["restartSerial"] = faults.restartSerial;
  f["download"] = faults.download ? ojson(*faults.download) : ojson(nullptr);
  f["dfuRefused"] = faults.dfuRefused;
  f["loaderText"] = faults.loaderText ? ojson(*faults.loaderText) : ojson(nullptr);
  f["mode"] = faults.mode;
  // Only when set, so state files of registers without them stay as they were.
  if (faults.dfuCut) f["dfuCut"] = faults.dfuCut;
  if (faults.unplug) f["unplug"] = true;
  return f;
}

ojson Register::HeadJson() const {
  ojson j;
  j["port"] = port;
  j["firmware"] = firmware;
  j["build"] = build;
  j["date"] = date;
  j["bootloader"] = bootloader;
  j["mode"] = mode;
  j["latency"] = latencyMs;
  j["xmodemSpeed"] = xmodemSpeed;
  j["dfu"] = dfu;
  if (cut) j["cut"] = true;
  j["restarts"] = restarts;
  j["setupCode"] = setupCode;
  j["setupDone"] = setupDone;
  j["pendingDate"] = pendingDate ? ojson(*pendingDate) : ojson(nullptr);
  j["clockDate"] = clockDate;
  j["clockTime"] = clockTime;
  j["faults"] = FaultsJson();
  ojson x{{"running", xmodem.running}, {"startMs", xmodem.startMs}, {"durationMs", xmodem.durationMs},
          {"size", xmodem.size}, {"error", xmodem.error}, {"message", xmodem.message}};
  x["image"] = xmodem.image ? ImageJson(*xmodem.image) : ojson(nullptr);
  j["xmodem"] = x;
  j["journalOn"] = journalOn;
  return j;
}

namespace {

void Quote(std::string &out, const std::string &s) { out += ojson(s).dump(); }

}  // namespace

// The state file's text. The tables, nearly all of it, are written directly:
// building a JSON tree of every cell first costs more than the rest together.
std::string Register::ToText() const {
  std::string s = HeadJson().dump(1);
  s.pop_back();  // the head's closing brace; the tables go before it
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  s += ",\n \"tables\": [";
  for (size_t ti = 0; ti < tables.size(); ++ti) {
    const Table &t = tables[ti];
    s += ti ? ",\n  {\"name\": " : "\n  {\"name\": ";
    Quote(s, t.name);
    s += ", \"rows\": " + std::to_string(t.rows) + ",\n   \"fields\": [";
    for (size_t fi = 0; fi < t.fields.size(); ++fi) {
      const Field &fd = t.fields[fi];
      s += fi ? ",\n    {\"name\": " : "\n    {\"name\": ";
      Quote(s, fd.name);
      s += ", \"size\": " + std::to_string(fd.size) + ", \"type\": \"" + (fd.text ? "text" : "int") +
           "\", \"min\": " + std::to_string(fd.min) + ", \"max\": " + std::to_string(fd.max);
      if (fd.readonly) s += ", \"readonly\": true";
      s += "}";
    }
    s += "],\n   \"values\": [";
    for (int r = 1; r <= t.rows; ++r) {
      s += r > 1 ? ",\n    [" : "\n    [";
      for (size_t fi = 0; fi < t.fields.size(); ++fi) {
        if (fi) s += ", ";
        const Cell &c = t.at(r, static_cast<int>(fi) + 1);
        if (t.fields[fi].text) Quote(s, c.s);
        else s += std::to_string(c.i);
      }
      s += "]";
    }
    s += "]}";
  }
  s += "\n ]\n}\n";
  return s;
}

Register Register::FromJson(const ojson &j) {
  Register r;
  r.port = j.value("port", 1);
  r.firmware = j.at("firmware").get<std::string>();
  r.build = j.at("build").get<int>();
  r.date = j.at("date").get<std::string>();
  r.bootloader = j.at("bootloader").get<int>();
  r.mode = j.value("mode", 4);
  r.latencyMs = j.value("latency", 0);
  r.xmodemSpeed = j.value("xmodemSpeed", 16384);
  r.dfu = j.value("dfu", false);
  r.cut = j.value("cut", false);
  r.restarts = j.value("restarts", 0);
  r.setupCode = j.value("setupCode", 0);
  r.setupDone = j.value("setupDone", 0u);
  if (j.contains("pendingDate") && j["pendingDate"].is_number()) r.pendingDate = j["pendingDate"].get<int>();
  r.clockDate = j.value("clockDate", std::string());
  r.clockTime = j.value("clockTime", std::string());
  if (j.contains("faults")) {
    const ojson &f = j["faults"];
    for (const auto &m : f.value("methods", ojson::array()))
      r.faults.methods.push_back({m.at("method").get<std::string>(), m.at("code").get<int>(), m.value("count", 1)});
    for (const auto &c : f.value("cells", ojson::array()))
      r.faults.cells.push_back({c.at("table").get<int>(), c.at("row").get<int>(), c.at("field").get<int>(),
                                c.value("read", true), c.value("write", true), c.value("code", int(kCellFault))});
    for (const auto &t : f.value("tables", ojson::array()))
      r.faults.tables.push_back({t.at("table").get<int>(), t.value("code", int(kCellFault))});
    r.faults.reset147 = f.value("reset147", 0);
    r.faults.restartCode = f.value("restartCode", 0);
    r.faults.restartSerial = f.value("restartSerial", std::string());
    if (f.contains("download") && f["download"].is_string()) r.faults.download = f["download"].get<std::string>();
    r.faults.dfuRefused = f.value("dfuRefused", false);
    if (f.contains("loaderText") && f["loaderText"].is_string()) r.faults.loaderText = f["loaderText"].get<std::string>();
    r.faults.mode = f.value("mode", 0);
    r.faults.dfuCut = f.value("dfuCut", 0);
    r.faults.unplug = f.value("unplug", false);
  }
  if (j.contains("xmodem")) {
    const ojson &x = j["xmodem"];
    r.xmodem.running = x.value("running", false);
    r.xmodem.startMs = x.value("startMs", std::int64_t{0});
    r.xmodem.durationMs = x.value("durationMs", std::int64_t{0});
    r.xmodem.size = x.value("size", std::int64_t{0});
    r.xmodem.error = x.value("error", std::string());
    r.xmodem.message = x.value("message", std::string());
    if (x.contains("image") && x["image"].is_object()) r.xmodem.image = ImageFrom(x["image"]);
  }
  r.journalOn = j.value("journalOn", false);
  for (const auto &tj : j.at("tables")) {
    Table t;
    t.name = tj.at("name").get<std::string>();
    t.rows = tj.at("rows").get<int>();
    for (const auto &fj : tj.at("fields")) {
      Field fd;
      fd.name = fj.at("name").get<std::string>();
      fd.size = fj.at("size").get<int>();
      fd.text = fj.at("type").get<std::string>() == "text";
      fd.min = fj.value("min", std::int64_t{0});
      fd.max = fj.value("max", std::int64_t{0});
      fd.readonly = fj.value("readonly", false);
      t.fields.push_back(fd);
    }
    const ojson &values = tj.at("values");
    if (t.rows < 0 || values.size() != static_cast<size_t>(t.rows)) throw std::runtime_error("таблица " + t.name + ": число строк");
    t.cells.resize(static_cast<size_t>(t.rows) * t.fields.size());
    for (int rr = 1; rr <= t.rows; ++rr) {
      const ojson &row = values[static_cast<size_t>(rr - 1)];
      if (row.size() != t.fields.size()) throw std::runtime_error("таблица " + t.name + ": число полей");
      for (size_t fi = 0; fi < t.fields.size(); ++fi) {
        Cell &c = t.at(rr, static_cast<int>(fi) + 1);
        if (t.fields[fi].text) c.s = row[fi].get<std::string>();
        else c.i = row[fi].get<std::int64_t>();
      }
    }
    r.tables.push_back(std::move(t));
  }
  return r;
}

ojson Register::Summary() const {
  ojson j;
  j["port"] = port;
  j["serial"] = serial();
  j["model"] = model();
  j["mode"] = reportedMode();
  j["modeDescription"] = ModeDescription(reportedMode());
  j["firmware"] = cut ? std::string("—") : firmware;
  j["build"] = build;
  j["date"] = date;
  j["bootloader"] = bootloader;
  j["dfu"] = dfu;
  j["cut"] = cut;
  j["restarts"] = restarts;
  j["setupCode"] = setupCode;
  j["latency"] = latencyMs;
  j["xmodemSpeed"] = xmodemSpeed;
  j["xmodemRunning"] = xmodem.running;
  j["journal"] = journalOn;
  j["tables"] = tables.size();
  size_t cells = 0;
  for (const auto &t : tables) cells += t.cells.size();
  j["cells"] = cells;
  j["faults"] = FaultsJson();
  return j;
}

}  // namespace osim
