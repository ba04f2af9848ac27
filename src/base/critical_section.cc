#include "base/critical_section.h"

#include "base/exception.h"

CriticalSection::~CriticalSection() noexcept(false) {
  if (count_ == 0) return;
  // Release what this thread still holds so that the system lock is never destroyed while locked.
  if (IsOwned()) {
    for (; count_ > 0; --count_) mutex_.unlock();
  }
  throw RuntimeException("CCriticalSectionをEnterした回数だけLeaveしないまま終了している", true);
}

bool CriticalSection::TryEnter() {
  if (!mutex_.try_lock()) return false;
  owner_ = std::this_thread::get_id();
  ++count_;
  return true;
}

void CriticalSection::Enter() {
  mutex_.lock();
  owner_ = std::this_thread::get_id();
  ++count_;
}

void CriticalSection::Leave() {
  // A thread that does not hold the lock has nothing to leave; letting it go on would release
  // another thread's hold.
  if (count_ == 0 || !IsOwned()) {
    throw RuntimeException("CCriticalSectionをEnterしていないのにLeaveしている", true);
  }
  if (--count_ == 0) owner_ = std::thread::id{};
  mutex_.unlock();
}

bool CriticalSection::IsOwned() const { return owner_ == std::this_thread::get_id(); }
