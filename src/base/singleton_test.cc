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

TEST(SingletonTest, InstanceFollowsTheObjectAndTheManagerDeletesInReverse) {
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
