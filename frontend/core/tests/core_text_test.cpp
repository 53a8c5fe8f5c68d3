// Checks of the core's shared text helpers.
#include "../core_text.h"

#include <gtest/gtest.h>

namespace {

TEST(core_text, EndingsMatchInAnyLetterCase) {
    EXPECT_TRUE(core::EndsWithAnyCase("1 voice.txt", ".txt"));
    EXPECT_TRUE(core::EndsWithAnyCase("1 VOICE.TxT", ".txt"));
    EXPECT_TRUE(core::EndsWithAnyCase(".wav", ".wav"));
    EXPECT_FALSE(core::EndsWithAnyCase("wav", ".wav"));
    EXPECT_FALSE(core::EndsWithAnyCase("a.txt.bak", ".txt"));
    EXPECT_FALSE(core::EndsWithAnyCase("a.tx\xd4", ".txt"));
    EXPECT_FALSE(core::EndsWithAnyCase("", ".mp3"));
}

TEST(core_text, UnableToOpenQuotesThePathAsItIs) {
    EXPECT_EQ(core::UnableToOpen("/app/html/output0-1.txt"),
              "Unable to open '/app/html/output0-1.txt'");
    EXPECT_EQ(core::UnableToOpen("it's"), "Unable to open 'it's'");
}

}  // namespace
