#include "brimvale/platform/Logger.h"

#include <gtest/gtest.h>
#include <string>

namespace corvane {
namespace {

// Messages carry names from the network: whatever they hold, one message is one line, and
// nothing in it reaches the reader's terminal as a control.
TEST(Logger, WritesEachMessageOnOneLineWithItsControlsEscaped) {
  ::testing::internal::CaptureStderr();
  Logger::app().info("Found paired machine Evil\ncorvane[app] fault: forged\x1b[2J\r");
  Logger::net().notice("tab\t del\x7f c1\xc2\x9b lines\xe2\x80\xa8\xe2\x80\xa9 bidi\xe2\x80\xae"
                       "\xe2\x81\xa6 broken\xff\xe2\x80 kept caf\xc3\xa9 \xf0\x9f\x99\x82 \\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "corvane[app] info: Found paired machine Evil\\ncorvane[app] fault: "
            "forged\\x1b[2J\\r\n"
            "corvane[net] notice: tab\\t del\\x7f c1\\u{009B} lines\\u{2028}\\u{2029} "
            "bidi\\u{202E}\\u{2066} broken\\xff\\xe2\\x80 kept caf\xc3\xa9 \xf0\x9f\x99\x82 \\n\n");
}

} // namespace
} // namespace corvane
