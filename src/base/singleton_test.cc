#include "base/singleton.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string deleted;

class Service : public Singleton<Service> {
 public:
  explicit Service(char name) : name_(name) {}
  ~Service() noexcept(false) override { deleted += name_; }

 private:
  char name_;
};

// An object that is two services at once, as the file manager is.
class Base : public Singleton<Base> {};
class Both : public Base, public Singleton<Both> {};

TEST(SingletonTest, InstanceFollowsTheObjectAndTheManagerDeletesInReverse) {
  auto* both = new Both;
  EXPECT_EQ(Singleton<Base>::GetInstance(), both);
  delete static_cast<SingletonBase*>(both);
  EXPECT_EQ(Singleton<Both>::GetInstance(), nullptr);
  EXPECT_EQ(Singleton<Base>::GetInstance(), nullptr);
  {
    SingletonManager manager;
    manager.Register(new Service('A'));
    auto* latest = new Service('B');
    manager.Register(latest);
    EXPECT_EQ(Singleton<Service>::GetInstance(), latest);
  }
  EXPECT_EQ(deleted, "BA");
  EXPECT_EQ(Singleton<Service>::GetInstance(), nullptr);
}

}  // namespace
