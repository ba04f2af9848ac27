// The system's re-entrant lock. On top of the system lock it records the owning thread and how
// often it was entered, so that leaving a lock that was not entered, and destroying one still held,
// are reported as errors instead of going unnoticed.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class ICriticalSection {
 public:
  virtual bool TryEnter() = 0;
  virtual void Enter() = 0;
  virtual void Leave() = 0;
  virtual bool IsOwned() const = 0;
  virtual ~ICriticalSection() noexcept(false) = default;
};

class CriticalSection : public ICriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  // Throws a RuntimeException when the lock is still entered.
  ~CriticalSection() noexcept(false) override;

  bool TryEnter() override;
  void Enter() override;
  // Throws a RuntimeException when the lock is not entered.
  void Leave() override;
  bool IsOwned() const override;
  int GetCount() const { return count_; }

 private:
  std::recursive_mutex mutex_;
  // Written only by the holder; atomic because any thread may read them (IsOwned, misuse checks).
  std::atomic<std::thread::id> owner_{};
  std::atomic<int> count_ = 0;
};

// Holds a lock for a scope: enters on construction and leaves as often as it entered when it goes,
// so an exception passing through an operation releases the lock.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(ICriticalSection& lock) : lock_(&lock) { lock_->Enter(); }
  ~CriticalSectionLock() {
    for (; count_ > 0; --count_) lock_->Leave();
  }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  ICriticalSection* lock_;
  int count_ = 1;
};
