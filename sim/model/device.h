#pragma once
// One driver instance over a simulated register: the property bag of the
// driver, and the methods that act on the register. Each call works on the
// state as stored right now, under the state file's lock.
#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/model/register.h"
#include "sim/model/store.h"

namespace osim {

inline constexpr int kUnknownMember = -100;  // as the component boundary defines it

class Device {
 public:
  // dir empty: the default state folder; port 0: the register of the first
  // logical device. Throws StateError when the state cannot be made or read.
  explicit Device(QString dir = {}, int port = 0);

  // A method's result, or kUnknownMember.
  int Invoke(const std::string &method);
  // Property access: false for an unknown name or a name of another type.
  bool GetInt(const std::string &name, int &v);
  bool SetInt(const std::string &name, int v);
  bool GetDouble(const std::string &name, double &v);
  bool SetDouble(const std::string &name, double v);
  bool GetStr(const std::string &name, std::string &v);
  bool SetStr(const std::string &name, const std::string &v);

  Store &store() { return store_; }
  int port() const { return port_; }  // the active logical device's register
  // The settings dialog; the component sets it where a GUI is available.
  std::function<void(Device &)> showProperties;

 private:
  enum class Type { Int, Double, Str };
  struct Prop {
    Type type;
    bool writable;
    int i = 0;
    double d = 0;
    std::string s;
  };

  Store store_;
  int port_;
  std::map<std::string, Prop> props_;
  std::vector<std::pair<std::string, ojson>> sets_;  // input properties set since the last call

  Prop *Find(const std::string &name, Type type);
  int &I(const char *name) { return props_.at(name).i; }
  double &D(const char *name) { return props_.at(name).d; }
  std::string &S(const char *name) { return props_.at(name).s; }
  int Dispatch(Register &r, const std::string &method, bool &changed);
  int ReadTable(Register &r);
  int WriteTable(Register &r);
  int StartXModem(Register &r);
  void RefreshTransfer();
};

// Whether the driver has a method of that name.
bool KnownMethod(const std::string &method);

// The faults of a register as lines of text.
std::vector<std::string> DescribeFaults(const Faults &f);

}  // namespace osim
