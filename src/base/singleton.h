// Process-wide services. Each service class T derives from Singleton<T>, which makes the live T
// reachable through Singleton<T>::GetInstance(); the SingletonManager owns the services and deletes
// them when the process ends, last registered first.
#pragma once

#include <list>

#include "base/critical_section.h"

// The common root of every service, so that the manager can own any of them. A virtual base: an
// object that is two singletons at once has one root.
class SingletonBase {
 public:
  virtual ~SingletonBase() noexcept(false) = default;
};

// Constructing a T stores its address (replacing any earlier one: callers test GetInstance() before
// creating); destroying it clears the pointer.
template <typename T>
class Singleton : public virtual SingletonBase {
 public:
  static T* GetInstance() { return instance_; }

 protected:
  Singleton() { instance_ = static_cast<T*>(this); }
  ~Singleton() noexcept(false) override { instance_ = nullptr; }

 private:
  static inline T* instance_ = nullptr;
};

class SingletonManager {
 public:
  // The process's manager, created on first use and destroyed with the static objects at exit.
  static SingletonManager& GetInstance();

  // A manager of one's own is for tests; the process uses GetInstance().
  SingletonManager() = default;
  SingletonManager(const SingletonManager&) = delete;
  SingletonManager& operator=(const SingletonManager&) = delete;
  // Deletes the services, last registered first.
  virtual ~SingletonManager() noexcept(false);

  // Takes ownership of object. Null throws a SingletonManagerException.
  void Register(SingletonBase* object);

 private:
  CriticalSection lock_;
  std::list<SingletonBase*> objects_;
};
