#pragma once
// Every message box of the program goes through here. The window installs
// the real boxes as the presenter; tests install an answerer that records
// each box and returns a scripted answer; the command line answers by policy.
#include <QString>

namespace msgbox {

enum class Kind { Error, Information, Question, Plain, Warning };

struct Box {
  Kind kind;
  QString caption;  // empty: the application title
  QString text;
  bool okOnly = false;  // a warning with OK alone, no question
  // Which question this is, for answerers that decide by policy (never by
  // the text); empty for boxes that only inform.
  QString id = {};
};

// The ids of the questions asked through boxes below the run.
inline constexpr char kDriverContinue[] = "driver-continue";  // the driver's "Продолжить выполнение ?"

class Answerer {
 public:
  virtual ~Answerer() = default;
  // Returns true for Yes (question, warning prompt); ignored for OK-only boxes.
  virtual bool answer(const Box &box) = 0;
};

// nullptr restores the presenter. The caller keeps ownership.
void SetAnswerer(Answerer *answerer);
Answerer *CurrentAnswerer();
// Who shows a box when no answerer is set: the window's real boxes. With
// neither, a box is only logged and a question is answered No.
void SetPresenter(Answerer *presenter);

// Error icon, OK.
void ShowError(const QString &text);
// Information icon, OK.
void ShowInformation(const QString &text);
// Question icon, Yes and No; true for Yes.
bool AskQuestion(const QString &text);
// The same with a caption of its own.
bool AskQuestion(const QString &caption, const QString &text);
// No icon, OK, titled with the application title.
void ShowPlain(const QString &text);
// Warning icon, Yes and No, with its own caption; true for Yes.
bool AskWarning(const QString &caption, const QString &text, const QString &id = QString());
// Warning icon, OK, with its own caption (empty: the application title).
void ShowWarning(const QString &caption, const QString &text);


}  // namespace msgbox
