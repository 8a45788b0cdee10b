#pragma once
// The general error of the program: an exception that carries a message for
// the operator. Event handlers catch it and show the message in an error box.
#include <QString>
#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
 public:
  explicit Exception(const QString &message)
      : std::runtime_error(message.toStdString()), message_(message), what_(message.toStdString()) {}
  const QString &message() const { return message_; }
  void setMessage(const QString &m) {
    message_ = m;
    what_ = m.toStdString();
  }
  const char *what() const noexcept override { return what_.c_str(); }

 private:
  QString message_;
  std::string what_;
};

// The message of any exception, for showing.
inline QString ExceptionMessage(const std::exception &e) {
  if (auto *ex = dynamic_cast<const Exception *>(&e)) return ex->message();
  return QString::fromUtf8(e.what());
}
