#include "base/singleton.h"

#include "base/exception.h"

SingletonManager& SingletonManager::GetInstance() {
  static SingletonManager manager;
  return manager;
}

SingletonManager::~SingletonManager() noexcept(false) {
  CriticalSectionLock hold(lock_);
  while (!objects_.empty()) {
    SingletonBase* object = objects_.front();
    objects_.pop_front();
    delete object;
  }
}

void SingletonManager::Register(SingletonBase* object) {
  if (object == nullptr) throw SingletonManagerException("NULL pointer exception.");
  CriticalSectionLock hold(lock_);
  objects_.push_front(object);
}
