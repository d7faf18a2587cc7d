#include "transport/TransportSettings.h"

#include <gtest/gtest.h>

namespace vidra {
namespace {

using Entries = std::vector<SettingsSource::Entry>;

TEST(TransportSettings, DefaultsAreTheMosPortsAndSectionsOverrideThem) {
  TransportSettings read;
  std::string error;
  ASSERT_EQ(ReadTransportSettings(MapSettings(Entries{}), read, error), HResult::S_OK);
  EXPECT_EQ(read.listenAddress, 0u);
  EXPECT_EQ(read.lowerPort, 10540u);
  EXPECT_EQ(read.upperPort, 10541u);
  EXPECT_EQ(read.nrcsUpperPort, 10541u);
  EXPECT_EQ(read.journalTextBytes, 64u << 20);

  const MapSettings custom(Entries{{"network", "ListenAddress", " 127.0.0.1 "},
                                   {"Network", "LOWERPORT", "0"},
                                   {"Network", "UpperPort", "20541"},
                                   {"Network", "MaxConnections", "8"},
                                   {"Journal", "MaxTextBytes", "2097152"},
                                   {"Network", "NrcsBuddy", "10.1.2.4"}});
  ASSERT_EQ(ReadTransportSettings(custom, read, error), HResult::S_OK) << error;
  EXPECT_EQ(read.listenAddress, 0x7F000001u);
  EXPECT_EQ(read.lowerPort, 0u);
  EXPECT_EQ(read.upperPort, 20541u);
  EXPECT_EQ(read.maxConnections, 8u);
  EXPECT_EQ(read.journalTextBytes, 2097152u);
  EXPECT_EQ(read.nrcsBuddy, 0x0A010204u);
  ASSERT_EQ(ReadTransportSettings(MapSettings(Entries{{"Network", "NrcsBuddy", " "}}), read, error),
            HResult::S_OK)
      << "an empty NrcsBuddy is none";
  EXPECT_EQ(read.nrcsBuddy, 0u);
}

TEST(TransportSettings, WrongValuesAreNamedAndChangeNothing) {
  const struct {
    Entries entries;
    const char* expected;
  } cases[] = {
      {{{"Network", "LowerPort", "70000"}},
       "site.ini: [Network] LowerPort = '70000' is not a whole number from 0 to 65535"},
      {{{"Network", "ListenAddress", "localhost"}},
       "site.ini: [Network] ListenAddress = 'localhost' is not an IPv4 address"},
      {{{"Network", "MaxConnections", "0"}}, "[Network] MaxConnections = '0'"},
      {{{"Network", "NrcsBuddy", "buddy.newsroom"}},
       "[Network] NrcsBuddy = 'buddy.newsroom' is not an IPv4 address such as 10.1.2.4"},
      {{{"Network", "NrcsBuddy", "0.0.0.0"}}, "[Network] NrcsBuddy = '0.0.0.0' is not an IPv4"},
      {{{"Network", "LowerPort", "5000"}, {"Network", "UpperPort", "5000"}},
       "LowerPort and UpperPort are both 5000"},
      {{{"Network", "AllowedHosts", "10.0.0.1, nrcs.local"}},
       "[Network] AllowedHosts = '10.0.0.1, nrcs.local': 'nrcs.local' is not an IPv4 address"},
      {{{"Network", "AllowedHosts", "10.0.0.0/33"}}, "'10.0.0.0/33' is not an IPv4 address"},
      {{{"Network", "AllowedHosts", " , "}}, "it names no host"},
      {{{"Media", "PushObjects", "maybe"}}, "[Media] PushObjects = 'maybe' is not yes or no"},
  };
  for (const auto& c : cases) {
    TransportSettings read;
    read.upperPort = 1;
    std::string error;
    EXPECT_EQ(ReadTransportSettings(MapSettings(c.entries, "site.ini"), read, error),
              HResult::E_INVALIDARG);
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(read.upperPort, 1u) << "a failed read leaves the output as it was";
  }
}

TEST(TransportSettings, AllowedHostsTakeAddressesAndRanges) {
  TransportSettings read;
  std::string error;
  EXPECT_TRUE(read.Allows(0x0A000001u)) << "without the key every host may connect";
  const MapSettings allowed(
      Entries{{"Network", "AllowedHosts", "192.168.10.0/24,10.1.2.3  172.16.0.0/12"}});
  ASSERT_EQ(ReadTransportSettings(allowed, read, error), HResult::S_OK) << error;
  ASSERT_EQ(read.allowedHosts.size(), 3u);
  EXPECT_TRUE(read.Allows(0xC0A80A07u));   // 192.168.10.7
  EXPECT_FALSE(read.Allows(0xC0A80B07u));  // 192.168.11.7
  EXPECT_TRUE(read.Allows(0x0A010203u));   // 10.1.2.3
  EXPECT_FALSE(read.Allows(0x0A010204u));
  EXPECT_TRUE(read.Allows(0xAC1FFFFFu));  // 172.31.255.255
  EXPECT_FALSE(read.Allows(0x7F000001u)) << "loopback is not special";
  std::vector<HostRange> all;
  ASSERT_TRUE(ParseHostRanges("0.0.0.0/0", all, error));
  EXPECT_TRUE(all[0].Contains(0xFFFFFFFFu));
}

}  // namespace
}  // namespace vidra
