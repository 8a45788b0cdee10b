#pragma once
// Simulator images: a short text header saying what the image installs, then
// filler up to the image's size. The header records the size, so a cut or
// padded file is refused.
#include <QString>
#include <cstdint>

#include "sim/model/register.h"

namespace osim {

inline constexpr const char *kImageMagic = "OSTREL-SIM-IMAGE/1";
inline constexpr std::int64_t kDefaultImageSize = 65536;

// Writes an image file; throws std::runtime_error with a message.
void WriteImage(const QString &path, const Image &img, std::int64_t size = kDefaultImageSize);

// Reads and checks an image file; throws std::runtime_error saying why it is refused.
Image ReadImage(const QString &path);

// Checks what an image would install; the error text or empty.
std::string CheckImage(const Image &img);

}  // namespace osim
