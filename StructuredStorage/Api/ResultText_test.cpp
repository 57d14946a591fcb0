#include "qss/ResultText.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qss {
namespace {

TEST(ResultTextTest, EveryLibraryCodeHasWordsOfItsOwn) {
  const QssResult codes[] = {kQssOk, kQssPartial, kQssInvalidPointer, kQssOutOfMemory, kQssWriteFault,
                             kQssUnspecifiedFailure, kQssInvalidArgument, kQssInvalidRequest, kQssNotFound,
                             kQssAlreadyOpen, kQssNotAContainer, kQssBeforeHead, kQssTruncated, kQssNotEmpty, kQssNoRoomInPlace,
                             kQssTableCannotGrow, kQssNullName, kQssNullResult, kQssReadOnly};
  for (QssResult code : codes) {
    const std::string text = QssResultText(code);
    EXPECT_FALSE(text.empty()) << std::hex << static_cast<std::int32_t>(code);
    EXPECT_EQ(text.find("unknown"), std::string::npos) << text;
    EXPECT_EQ(text.find("system error"), std::string::npos) << text;
  }
  EXPECT_EQ(QssResultText(kQssNotFound), "no such entry");
}

TEST(ResultTextTest, SystemErrorsCarryTheSystemsOwnWords) {
#ifdef _WIN32
  // ERROR_ACCESS_DENIED
  const std::string text = QssResultText(QssResultFromSystemError(5));
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text.find("system error"), std::string::npos) << text;
  EXPECT_NE(text.back(), '\n');
#else
  EXPECT_EQ(QssResultText(QssResultFromSystemError(ENOENT)), "No such file or directory");
  EXPECT_EQ(QssResultText(QssResultFromSystemError(ENOSPC)), "No space left on device");
#endif
}

TEST(ResultTextTest, UnknownCodesAreNamedByTheirValue) {
  EXPECT_EQ(QssResultText(static_cast<QssResult>(0x81019999u)), "unknown result 0x81019999");
}

}  // namespace
}  // namespace qss
