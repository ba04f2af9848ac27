#include "base/singleton.h"

#include <gtest/gtest.h>

#include <string>

#include "base/exception.h"

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

TEST(SingletonTest, InstancePointerFollowsTheObject) {
  EXPECT_EQ(Singleton<Service>::GetInstance(), nullptr);
  {
    Service first('x');
    EXPECT_EQ(Singleton<Service>::GetInstance(), &first);
    Service second('y');
    EXPECT_EQ(Singleton<Service>::GetInstance(), &second);
  }
  EXPECT_EQ(Singleton<Service>::GetInstance(), nullptr);
  deleted.clear();

  auto* both = new Both;
  EXPECT_EQ(Singleton<Both>::GetInstance(), both);
  EXPECT_EQ(Singleton<Base>::GetInstance(), both);
  SingletonBase* root = both;
  delete root;
  EXPECT_EQ(Singleton<Both>::GetInstance(), nullptr);
  EXPECT_EQ(Singleton<Base>::GetInstance(), nullptr);
}

TEST(SingletonTest, ManagerDeletesLastRegisteredFirst) {
  deleted.clear();
  {
    SingletonManager manager;
    manager.Register(new Service('A'));
    manager.Register(new Service('B'));
    try {
      manager.Register(nullptr);
      FAIL();
    } catch (const Exception& failure) {
      EXPECT_EQ(failure.GetText(), "SingletonManager : NULL pointer exception.");
    }
    manager.Register(new Service('C'));
  }
  EXPECT_EQ(deleted, "CBA");
}

}  // namespace
