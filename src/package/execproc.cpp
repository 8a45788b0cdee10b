#include "package/execproc.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include "common/applog.h"
#include "common/error.h"
#include "common/waits.h"

namespace {

// Small reads, so that a character split between two reads is the normal case
// the decoder has to handle, not a rare one.
constexpr qint64 kReadChunk = 255;
// How often window messages go through while the child runs.
constexpr int kMessagesEveryMs = 50;

}  // namespace

int ExecuteAndCapture(const QString &FileName, const QStringList &Args, QString &Output) {
  Output.clear();

  // A path with a folder part is made absolute, so that the change of working
  // folder below does not change which program a relative path names.
  const QFileInfo info(FileName);
  const bool hasFolder = FileName.contains(QLatin1Char('/')) || FileName.contains(QDir::separator());
  const QString program = hasFolder ? info.absoluteFilePath() : FileName;

  QProcess process;
  process.setProgram(program);
  process.setArguments(Args);
  process.setWorkingDirectory(info.absolutePath());
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.setInputChannelMode(QProcess::ForwardedInputChannel);
  applog::Info(QStringLiteral("Запуск: ") + program + QLatin1Char(' ') + Args.join(QLatin1Char(' ')));
  process.start();
  if (!process.waitForStarted(-1)) {
    Output.clear();
    applog::Info(QStringLiteral("Не запущен: ") + process.errorString());
    throw Exception(process.errorString());
  }

  // One decoder for the whole run: it keeps the bytes of an unfinished
  // character until the next read completes it.
  QStringDecoder decoder(QStringDecoder::Utf8);
  char buffer[kReadChunk + 1];
  const auto drain = [&] {
    for (;;) {
      const qint64 n = process.read(buffer, kReadChunk);
      if (n <= 0) break;
      Output += decoder.decode(QByteArrayView(buffer, n));
    }
  };

  // A flashing tool may run for tens of seconds: the wait lets window
  // messages through every 50 ms (the windows repaint, the busy animation
  // moves), while the output keeps being read into the buffer meanwhile. The
  // caller still gets control back only once the child has ended.
  for (;;) {
    drain();
    if (process.state() == QProcess::NotRunning) break;
    if (process.waitForFinished(kMessagesEveryMs)) break;
    waits::ProcessMessages();
  }
  drain();
  // What the tool printed is what tells a failed flashing from a good one.
  applog::Info(QStringLiteral("Завершён с кодом ") +
               QString::number(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1) +
               (Output.isEmpty() ? QString() : QStringLiteral(", вывод:\n") + Output));
  return process.exitCode();
}

int ExecuteAndCapture(const QString &FileName, const QString &Params, QString &Output) {
  return ExecuteAndCapture(FileName, QProcess::splitCommand(Params), Output);
}
