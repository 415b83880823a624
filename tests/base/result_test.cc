#include "base/result.h"

#include <gtest/gtest.h>

#include <string>

#include "base/os_error.h"
#include "base/unique_fd.h"

namespace brask {
namespace {

TEST(Result, StringValueAndFailureStayDistinct) {
  Result<std::string> good = std::string("value");
  Result<std::string> bad = fail("value");
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, "value");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "value");
}

TEST(OsError, NamesDescriptionAndNumber) {
  EXPECT_EQ(os_error_text(32), "Broken pipe (os error 32)");
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
}

TEST(UniqueFd, PipeEndsAreCloseOnExec) {
  auto pipe = make_pipe();
  ASSERT_TRUE(pipe.ok()) << pipe.error();
  EXPECT_TRUE(fcntl(pipe->read_end.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(pipe->write_end.get(), F_GETFD) & FD_CLOEXEC);
}

}  // namespace
}  // namespace brask
