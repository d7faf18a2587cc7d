// What --http accepts, and what the metrics count a message as: an NRCS must not be able to
// add label values at will.
#include <gtest/gtest.h>

#include "host/StatusServer.h"
#include "transport/MessageKind.h"

namespace vidra {
namespace {

TEST(StatusParts, HttpEndpointsAndTheirMistakes) {
  HttpEndpoint endpoint;
  std::string error;
  ASSERT_TRUE(ParseHttpEndpoint("8080", endpoint, error));
  EXPECT_EQ(endpoint.address, "127.0.0.1");
  EXPECT_EQ(endpoint.port, 8080);
  ASSERT_TRUE(ParseHttpEndpoint(":0", endpoint, error));
  EXPECT_EQ(endpoint.address, "127.0.0.1");
  EXPECT_EQ(endpoint.port, 0);
  ASSERT_TRUE(ParseHttpEndpoint("0.0.0.0:9100", endpoint, error));
  EXPECT_EQ(endpoint.address, "0.0.0.0");
  EXPECT_EQ(endpoint.port, 9100);
  for (const char* bad : {"", "web", "70000", "127.0.0.1:", "1:2:x", "-1"}) {
    EXPECT_FALSE(ParseHttpEndpoint(bad, endpoint, error)) << bad;
    EXPECT_NE(error.find("is not PORT, :PORT or ADDRESS:PORT"), std::string::npos) << bad;
  }
}

TEST(StatusParts, MessagesCountAsTheirMosTypeOrAsOther) {
  EXPECT_EQ(MessageKind(u"<mos><mosID>V</mosID><ncsID>N</ncsID><messageID>1</messageID>"
                        u"<heartbeat/></mos>"),
            "heartbeat");
  EXPECT_EQ(MessageKind(u"<?xml version=\"1.0\"?>\n<mos>\n  <mosID>V</mosID>\n  <roCreate>"),
            "roCreate");
  EXPECT_EQ(MessageKind(u"<mos><mosID>V</mosID><myOwnElement/></mos>"), "other");
  EXPECT_EQ(MessageKind(u"<mos><mosID>V</mosID></mos>"), "none");
  EXPECT_EQ(MessageKind(u"<mos>" + std::u16string(5000, u' ') + u"<roReq/></mos>"), "none")
      << "only the start of a message is looked at";
  EXPECT_EQ(AnswerStatus(u"<mos><roAck><roID>R</roID><roStatus>OK</roStatus></roAck></mos>"), "OK");
  EXPECT_EQ(AnswerStatus(u"<roAck><roStatus>OK but no</roStatus>"), "NACK");
  EXPECT_EQ(AnswerStatus(u"<roAck><roStatus>NACK</roStatus>"), "NACK");
}

}  // namespace
}  // namespace vidra
