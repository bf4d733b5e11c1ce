#include "ringwell/common/hresult.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace ringwell {
namespace {

TEST(ErrorTextTest, SystemCodesHaveTheSystemText) {
  EXPECT_EQ(ErrorText(E_INVALIDARG), "The parameter is incorrect.");
  EXPECT_EQ(ErrorText(E_FAIL), "Unspecified error");
  EXPECT_EQ(ErrorText(HresultFromWin32(ERROR_PATH_NOT_FOUND)),
            "The system cannot find the path specified.");
}

TEST(ErrorTextTest, ErrnoCodesAreDescribedByTheSystemsErrnoText) {
  // ELOOP has no Win32 counterpart and travels in a facility of its own.
  const HRESULT loop = HresultFromErrno(ELOOP);
  EXPECT_TRUE(Failed(loop));
  EXPECT_EQ(ErrnoFromHresult(loop), ELOOP);
  EXPECT_EQ(ErrorText(loop), std::strerror(ELOOP));
  // Mapped codes keep their Win32 value so callers can test for them.
  EXPECT_EQ(HresultFromErrno(EACCES), E_ACCESSDENIED);
  EXPECT_EQ(HresultFromErrno(ENOMEM), E_OUTOFMEMORY);
  EXPECT_EQ(HresultFromErrno(ENOENT), HresultFromWin32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(ErrnoFromHresult(E_ACCESSDENIED), EACCES);
}

TEST(ErrorTextTest, CodesWithoutSystemText) {
  EXPECT_EQ(ErrorText(MakeHresult(0x80040201u)), "IDispatch error #1");
  EXPECT_EQ(ErrorText(MakeHresult(0x8004FFFFu)), "IDispatch error #65023");
  // 0x80040200 itself is not in the IDispatch range.
  EXPECT_EQ(ErrorText(MakeHresult(0x80040200u)), "Unknown error 0x80040200");
  EXPECT_EQ(ErrorText(MakeHresult(0x8000ABCDu)), "Unknown error 0x8000ABCD");
}

}  // namespace
}  // namespace ringwell
