#pragma once
// Every message box of the program goes through here. Tests install an
// answerer that records each box and returns a scripted answer.
#include <QString>

namespace msgbox {

enum class Kind { Error, Information, Question, Plain, Warning };

struct Box {
  Kind kind;
  QString caption;  // empty: the application title
  QString text;
};

class Answerer {
 public:
  virtual ~Answerer() = default;
  // Returns true for Yes (question, warning prompt); ignored for OK-only boxes.
  virtual bool answer(const Box &box) = 0;
};

// nullptr restores the real boxes. The caller keeps ownership.
void SetAnswerer(Answerer *answerer);

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
bool AskWarning(const QString &caption, const QString &text);

}  // namespace msgbox
