// Who may reach a block on POSIX: one this process creates is read-write for owner
// and group whatever the umask, the group TARVEX_GROUP names when it names one, and
// an existing block keeps the mode and group its creator gave it.
#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/shared_memory.h"
#include "test_names.h"

namespace {

constexpr std::size_t kSize = 0x1000;

struct Access {
  bool exists = false;
  mode_t mode = 0;
  gid_t group = 0;
};

Access AccessOf(const std::string& name) {
  Access access;
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
  if (fd < 0) return access;
  struct stat status {};
  if (fstat(fd, &status) == 0) {
    access = {true, static_cast<mode_t>(status.st_mode & 07777), status.st_gid};
  }
  close(fd);
  return access;
}

class BlockAccess : public ::testing::Test {
 protected:
  void SetUp() override { savedMask_ = umask(077); }
  void TearDown() override {
    umask(savedMask_);
    platform_test::SetEnvironment("TARVEX_GROUP", "");
  }
  std::string name_ = platform_test::UniqueName("TarvexTest access ");
  mode_t savedMask_ = 0;
};

TEST_F(BlockAccess, CreatedBlockIsOwnerAndGroupWhateverTheUmask) {
  platform::SharedMemoryError error;
  platform::SharedMemory block = platform::SharedMemory::CreateOrOpen(name_, kSize, &error);
  ASSERT_TRUE(block.valid()) << error.call << ": " << error.text;
  const Access access = AccessOf(name_);
  ASSERT_TRUE(access.exists);
  EXPECT_EQ(access.mode, 0660u);
  EXPECT_EQ(access.group, getegid());
}

TEST_F(BlockAccess, NamedGroupGetsTheBlockOrCreationFailsAndLeavesNoName) {
  // Root may give a block to any group; anyone else only to a group of their own.
  const bool root = geteuid() == 0;
  const char* other = root ? "nogroup" : "root";
  const group* entry = getgrnam(other);
  if (entry == nullptr) GTEST_SKIP() << "no group " << other << " on this machine";
  const gid_t otherGid = entry->gr_gid;
  platform_test::SetEnvironment("TARVEX_GROUP", other);
  platform::SharedMemoryError error;
  {
    platform::SharedMemory block = platform::SharedMemory::CreateOrOpen(name_, kSize, &error);
    const Access access = AccessOf(name_);
    if (root) {
      ASSERT_TRUE(block.valid()) << error.text;
      EXPECT_EQ(access.group, otherGid);
      EXPECT_EQ(access.mode, 0660u);
    } else {
      EXPECT_FALSE(block.valid());
      EXPECT_FALSE(access.exists);
      EXPECT_NE(error.text.find("(named by TARVEX_GROUP)"), std::string::npos) << error.text;
    }
  }

  const std::string missing = "no-such-group-" + std::to_string(getpid());
  platform_test::SetEnvironment("TARVEX_GROUP", missing);
  error = {};
  platform::SharedMemory block = platform::SharedMemory::CreateOrOpen(name_, kSize, &error);
  EXPECT_FALSE(block.valid());
  EXPECT_FALSE(AccessOf(name_).exists);
  EXPECT_STREQ(error.call, "CreateFileMapping");
  EXPECT_EQ(error.text, "no group \"" + missing + "\" (named by TARVEX_GROUP)");
}

TEST_F(BlockAccess, ExistingBlockKeepsItsModeAndGroup) {
  const int fd = shm_open(("/" + name_).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kSize), 0);
  close(fd);
  // Neither the named group nor our own mode touches a block someone else made.
  platform_test::SetEnvironment("TARVEX_GROUP", "no-such-group");
  platform::SharedMemoryError error;
  platform::SharedMemory block = platform::SharedMemory::CreateOrOpen(name_, kSize, &error);
  EXPECT_TRUE(block.valid()) << error.text;
  const Access access = AccessOf(name_);
  EXPECT_EQ(access.mode, 0600u);
  EXPECT_EQ(access.group, getegid());
  shm_unlink(("/" + name_).c_str());
}

}  // namespace
