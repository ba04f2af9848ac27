// A system-wide named mutex, owned by the process that created it until it closes it or ends.
#pragma once

#include "base/tstring.h"
#include "platform/named_mutex.h"

class IMutex {
 public:
  virtual ~IMutex() = default;
  // Closes what was held, then creates the mutex `name` and owns it when no other process does.
  // 0: created and owned (also when the system refused it for another reason: then nothing is
  // held); 1: another process holds it; 2: the name belongs to something that is not a mutex.
  virtual int Create(const std::tstring& name) = 0;
  // Waits without time limit until this process owns the mutex; nothing when none is held.
  virtual void Lock() = 0;
  // Releases and forgets the mutex.
  virtual void Close() = 0;
};

// Not copyable; one thread at a time.
class Mutex : public IMutex {
 public:
  Mutex() = default;
  ~Mutex() override { Close(); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  int Create(const std::tstring& name) override;
  void Lock() override { handle_.Wait(); }
  void Close() override { handle_.Close(); }

  // The process that owns the mutex opened by Create, as far as it can be told; 0 when unknown.
  int GetOwnerProcessId() const { return handle_.HolderProcessId(); }

 private:
  platform::NamedMutex handle_;
};
