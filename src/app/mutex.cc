#include "app/mutex.h"

int Mutex::Create(const std::tstring& name) {
  Close();
  return static_cast<int>(handle_.Create(name));
}
