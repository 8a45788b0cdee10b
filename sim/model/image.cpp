#include "sim/model/image.h"

#include <QFile>
#include <QSaveFile>
#include <charconv>
#include <map>
#include <stdexcept>

namespace osim {

namespace {

constexpr qint64 kMaxHeader = 4096;

std::string Header(const Image &img, std::int64_t size) {
  std::string h = std::string(kImageMagic) + "\n";
  h += "level=" + std::to_string(img.level) + "\n";
  if (img.level == 1) {
    h += "bootloader=" + std::to_string(img.bootloader) + "\n";
  } else {
    h += "firmware=" + img.firmware + "\n";
    h += "build=" + std::to_string(img.build) + "\n";
    h += "date=" + img.date + "\n";
  }
  h += "size=" + std::to_string(size) + "\n\n";
  return h;
}

bool ToInt(const std::string &s, std::int64_t &v) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return ec == std::errc() && p == s.data() + s.size();
}

}  // namespace

std::string CheckImage(const Image &img) {
  if (img.level == 1) {
    if (img.bootloader < 1) return "неверная версия загрузчика";
    return {};
  }
  if (img.level == 2) {
    if (img.firmware.empty() || img.firmware.size() > 16) return "неверная версия ПО";
    for (unsigned char c : img.firmware)
      if (c < 0x21 || c > 0x7e) return "неверная версия ПО";
    if (img.build < 0) return "неверная сборка ПО";
    if (!ValidIsoDate(img.date)) return "неверная дата ПО";
    return {};
  }
  return "неизвестный уровень образа";
}

void WriteImage(const QString &path, const Image &img, std::int64_t size) {
  if (std::string err = CheckImage(img); !err.empty()) throw std::runtime_error(err);
  const std::string header = Header(img, size);
  if (size < static_cast<std::int64_t>(header.size()))
    throw std::runtime_error("размер образа меньше его заголовка (" + std::to_string(header.size()) + " байт)");
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly)) throw std::runtime_error(f.errorString().toStdString());
  // Filler in chunks: a large image need not be held in memory whole.
  QByteArray chunk;
  std::int64_t pos = 0;
  while (pos < size) {
    chunk.resize(static_cast<qsizetype>(std::min<std::int64_t>(size - pos, 1 << 20)));
    for (qsizetype i = 0; i < chunk.size(); ++i) {
      const std::int64_t at = pos + i;
      chunk[i] = at < static_cast<std::int64_t>(header.size()) ? header[static_cast<size_t>(at)]
                                                              : static_cast<char>((at * 31 + 7) & 0xff);
    }
    if (f.write(chunk) != chunk.size()) throw std::runtime_error(f.errorString().toStdString());
    pos += chunk.size();
  }
  if (!f.commit()) throw std::runtime_error(f.errorString().toStdString());
}

Image ReadImage(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) throw std::runtime_error("не удалось открыть файл: " + f.errorString().toStdString());
  const qint64 fileSize = f.size();
  const QByteArray head = f.read(kMaxHeader);
  const std::string magic = std::string(kImageMagic) + "\n";
  if (!head.startsWith(QByteArray(magic.c_str())))
    throw std::runtime_error("файл не является образом ПО этой ККТ");
  const qsizetype end = head.indexOf("\n\n");
  if (end < 0) throw std::runtime_error("заголовок образа повреждён");
  std::map<std::string, std::string> keys;
  for (const QByteArray &line : head.mid(static_cast<qsizetype>(magic.size()), end - static_cast<qsizetype>(magic.size()) + 1).split('\n')) {
    if (line.isEmpty()) continue;
    const qsizetype eq = line.indexOf('=');
    if (eq <= 0) throw std::runtime_error("заголовок образа повреждён");
    keys[line.left(eq).toStdString()] = line.mid(eq + 1).toStdString();
  }
  auto num = [&](const char *key) {
    std::int64_t v = 0;
    auto it = keys.find(key);
    if (it == keys.end() || !ToInt(it->second, v) || v < INT32_MIN || v > INT32_MAX)
      throw std::runtime_error(std::string("в заголовке образа нет верного значения ") + key);
    return v;
  };
  Image img;
  img.level = static_cast<int>(num("level"));
  img.size = num("size");
  if (img.level == 1) {
    img.bootloader = static_cast<int>(num("bootloader"));
  } else if (img.level == 2) {
    img.firmware = keys.count("firmware") ? keys["firmware"] : std::string();
    img.build = static_cast<int>(num("build"));
    img.date = keys.count("date") ? keys["date"] : std::string();
  }
  if (std::string err = CheckImage(img); !err.empty()) throw std::runtime_error("образ отвергнут: " + err);
  if (img.size != fileSize)
    throw std::runtime_error("размер образа " + std::to_string(fileSize) + " байт не совпадает с заголовком (" +
                             std::to_string(img.size) + ")");
  return img;
}

}  // namespace osim
