// What a connection thread does with the text it receives: frame whole messages, recognise
// acknowledgements and produce answers. Each connection owns one session for its life, so a
// half-received message never crosses to another connection. RawSession stands in until the
// MOS parser does this work: it takes each receive as one message and answers nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/HResult.h"

namespace vidra {

enum class PortFlag { Lower, Upper };

class MessageSession {
 public:
  virtual ~MessageSession() = default;
  virtual HResult Initialize() = 0;
  // Appends text to the framing buffer and takes the next whole message, if there is one;
  // called with empty text to take a further message already buffered.
  virtual bool LoadMessage(std::u16string_view text) = 0;
  // The loaded message as text, for the log.
  virtual std::string GetXml() const = 0;
  // True for an acknowledgement, which gets no answer; its messageID has been recorded.
  virtual bool IsRoAck() = 0;
  // The answer to the loaded message in 16-bit units, or none for messages not answered.
  virtual std::optional<std::u16string> HandleMessage(PortFlag port) = 0;
};

class RawSession final : public MessageSession {
 public:
  HResult Initialize() override { return HResult::S_OK; }
  bool LoadMessage(std::u16string_view text) override;
  std::string GetXml() const override;
  bool IsRoAck() override { return false; }
  std::optional<std::u16string> HandleMessage(PortFlag /*port*/) override { return std::nullopt; }

 private:
  std::u16string current_;
};

}  // namespace vidra
