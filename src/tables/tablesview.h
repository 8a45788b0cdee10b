#pragma once
// What a tables operation shows while it runs: its progress window and its
// log window. The window installs the real ones; without them the progress
// goes nowhere and the log lines go to the program's log file.
#include <QString>
#include <memory>

class QObject;

namespace tablesview {

// One operation's log: lines the operator may have to read.
class TLog {
 public:
  virtual ~TLog() = default;
  virtual void Info(const QString &line) = 0;
};

// One operation's progress: the events the tables object sends, each with
// its JSON text.
class TProgress {
 public:
  virtual ~TProgress() = default;
  virtual void Show(QObject *sender, const QString &params) = 0;
  virtual void Step(QObject *sender, const QString &params) = 0;
  virtual void Hide(QObject *sender, const QString &params) = 0;
};

class TFactory {
 public:
  virtual ~TFactory() = default;
  virtual std::unique_ptr<TLog> MakeLog() = 0;
  virtual std::unique_ptr<TProgress> MakeProgress() = 0;
};

// nullptr: the plain ones. The caller keeps ownership.
void SetFactory(TFactory *factory);

std::unique_ptr<TLog> MakeLog();
std::unique_ptr<TProgress> MakeProgress();  // null: no progress shown

}  // namespace tablesview
