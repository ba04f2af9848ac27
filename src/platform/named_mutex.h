// A named lock shared by every process of the same user that asks for the same name. The system
// releases it when the holding process ends, however it ends, so a crashed holder never blocks the
// next one. Children started by the holder do not inherit it.
#pragma once

#include <string>

#include "platform/native_handle.h"

namespace platform {

// One open lock. Owns the system object; not copyable; one thread at a time.
class NamedMutex {
 public:
  enum Result { kCreated = 0, kExists = 1, kOtherKind = 2 };

  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Opens the lock called `name` (any text; letter case matters) and takes it when it is free.
  // kExists: another process holds it (it stays open, see Wait). kOtherKind: the name is taken
  // by something that is not such a lock. kCreated also when the system refused the lock for
  // another reason (another user's file under the name, for one); nothing is then held.
  Result Create(const std::string& name);
  // Blocks until this process holds the lock opened by Create; does nothing when none is open.
  void Wait();
  // Releases and forgets the lock.
  void Close();
  bool IsOpen() const { return lock_.Valid(); }
  // The id of the process that holds the lock as that process recorded it; 0 when unknown.
  int HolderProcessId() const;

 private:
  void RecordHolder();

  NativeHandle lock_;
};

}  // namespace platform
