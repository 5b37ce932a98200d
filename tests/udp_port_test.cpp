// The udp_port argument: which texts name a port, and which port.
#include <gtest/gtest.h>

#include "udp_port.h"

namespace {

struct Accepted {
  const char* text;
  std::uint16_t port;
};

TEST(UdpPort, AcceptsBase10PortsWithOptionalBlanksAndSign) {
  const Accepted table[] = {
      {"4242", 4242},  {" 4242", 4242}, {"\t 4242", 4242}, {"+4242", 4242},
      {"04242", 4242}, {"1", 1},        {"65535", 65535},  {" +80", 80},
  };
  for (const Accepted& row : table) {
    SCOPED_TRACE(row.text);
    const auto port = parse_udp_port(row.text);
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(*port, row.port);
  }
}

TEST(UdpPort, RefusesEverythingThatIsNotAPortTheUserWrote) {
  const char* const table[] = {
      // Out of range, including values that would wrap onto a real port.
      "0",
      "-0",
      "65536",
      "70000",
      "-1",
      "-65535",
      "2147483647",
      "2147483648",
      "-2147483648",
      "4294967297",
      "99999999999",
      "99999999999999999999999",
      // Not wholly a base-10 number.
      "4242 ",
      "4242\n",
      "42a",
      "0x10",
      "1e3",
      "4242.0",
      "",
      " ",
      "+",
      "-",
      "++4242",
      "+-1",
      "- 1",
  };
  for (const char* text : table) {
    SCOPED_TRACE(std::string("\"") + text + "\"");
    EXPECT_FALSE(parse_udp_port(text).has_value());
  }
}

}  // namespace
