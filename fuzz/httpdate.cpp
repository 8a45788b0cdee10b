// The "Last-Modified" date parser on any header value.
#include <cmath>

#include "fuzzsupport.h"
#include "package/inetutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const TDateTime d = ParseHttpDate(fuzz::Bytes(data, size));
  // 0 (no date) or a day count; dates before 1899-12-30 are negative.
  if (!std::isfinite(d)) std::abort();
  return 0;
}
