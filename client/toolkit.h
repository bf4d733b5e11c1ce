// How the command-line client reaches the toolkit: objects are created by
// class identifier through the runtime (the registered libkel.so); when the
// toolkit is not registered, the client loads the libkel.so installed beside it
// ($RINGWELL_KEL_LIBRARY, else ../lib/libkel.so next to the program).
//
// Thread-safety: the toolkit's objects belong to the thread that created them.
#pragma once

#include <stdexcept>
#include <string>

#include "ringwell/common/com.h"
#include "ringwell/kel/kel.h"

namespace ringwell::kel::client {

// A failure to show the user: the toolkit's description (or the error text of
// the status code) and the code.
class Failure : public std::runtime_error {
 public:
  Failure(HRESULT code, const std::string& what, std::string field = {})
      : std::runtime_error(what), code_(code), field_(std::move(field)) {}
  HRESULT code() const { return code_; }
  // The field of a request description (or the flag) the failure is about,
  // when it is about one.
  const std::string& field() const { return field_; }

 private:
  HRESULT code_;
  std::string field_;
};

// A command line that cannot be carried out as written (exit code 2).
class UsageFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws Failure for a failed status code, with the calling thread's error
// description when there is one, prefixed by `doing` when given (which is
// also the failure's field).
HRESULT Check(HRESULT hr, const std::string& doing = {});

// Creates a toolkit object of class `clsid` and returns its interface I. The
// first call serves the toolkit in this process (ServeToolkitInProcess).
HRESULT CreateObject(const Guid& clsid, const Guid& iid, void** object);
template <class I>
ComPtr<I> Make(const Guid& clsid) {
  ComPtr<I> object;
  Check(CreateObject(clsid, I::kIid, object.PutVoid()), "creating a toolkit object");
  return object;
}

// The service, with its location set to `root` when one is given.
ComPtr<IKelService> OpenService(const std::string& root);

// Takes the toolkit's class factories from its library (the registered one,
// else the one beside this program) once per process and serves them in this
// process (CoRegisterClassObject), so that creating an object no longer reads
// the registry. Objects are still created by class identifier through the
// runtime. False, changing nothing, when the library cannot be loaded (the
// same answer on every later call).
bool ServeToolkitInProcess();

}  // namespace ringwell::kel::client
