// The progress window's messages: show, progress steps and hide, each a JSON
// text, as a producer sends them. The input is up to eight messages split at
// NUL bytes; a message's first byte picks the call (by its value modulo 3:
// show, progress, hide). Unreadable values are message boxes; nothing else
// may go wrong.
#include "common/waits.h"
#include "forms/progressformunit.h"
#include "fuzzapp.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz::Scratch();
  fuzz::App();
  // Steps are put on screen at most every few milliseconds: a virtual clock
  // lets every one of them through without waiting.
  static waits::VirtualClock clock;
  waits::SetClock(&clock);
  const QList<QByteArray> parts = fuzz::Bytes(data, size).split('\0');
  TProgressForm form;
  int n = 0;
  for (const QByteArray &part : parts) {
    if (part.isEmpty() || ++n > 8) continue;
    const QString text = QString::fromUtf8(part.mid(1));
    switch (static_cast<unsigned char>(part[0]) % 3) {
      case 0: form.Do_Show(nullptr, text); break;
      case 1: form.DoProgress(nullptr, text); break;
      default: form.Do_Hide(nullptr, text); break;
    }
    waits::Sleep(TProgressForm::kRefreshMs);
  }
  return 0;
}
