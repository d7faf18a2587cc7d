// Operation names and out-value names are those of the control object, so that a script
// written against the operations reads the same. Texts in answers are UTF-8; journal texts
// that are not valid UTF-8 never reach here (the journal keeps UTF-8 only).
#include "host/ControlProtocol.h"

#include "host/OnAirView.h"
#include "host/StatusView.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <limits>
#include <map>

namespace vidra {

namespace {

using nlohmann::json;

json Result(HResult hr) {
  return json{{"hr", static_cast<std::int32_t>(hr)}};
}

json Invalid(const std::string& error) {
  json answer = Result(HResult::E_INVALIDARG);
  answer["error"] = error;
  return answer;
}

std::string Dump(const json& answer) {
  // Replacement characters instead of an exception for any byte that is not UTF-8.
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

json GetMessage(CMOS_SRV_STNDRT& control, const json& request) {
  const auto found = request.find("number");
  if (found == request.end() || !found->is_number_integer()) {
    return Invalid("GetMessageByNumberInQueue needs \"number\", an integer");
  }
  const auto number = found->get<std::int64_t>();
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    return Invalid("\"number\" must fit in 32 bits");
  }
  std::string content;
  std::uint8_t dest = 0;
  std::uint64_t filetime = 0;
  std::int32_t clientId = 0;
  const HResult hr = control.GetMessageByNumberInQueue(static_cast<std::int32_t>(number), content,
                                                       dest, filetime, clientId);
  json answer = Result(hr);
  if (hr == HResult::S_OK) {
    answer["MessageContent"] = content;
    answer["MessageDest"] = dest;
    answer["messFiletime"] = filetime;
    answer["clientId"] = clientId;
  }
  return answer;
}

json GetState(CMOS_SRV_STNDRT& control) {
  std::uint8_t state = 0;
  const HResult hr = control.GetStateMOSSrv(state);
  json answer = Result(hr);
  answer["State"] = state;
  return answer;
}

json GetCount(CMOS_SRV_STNDRT& control) {
  std::int32_t count = 0;
  const HResult hr = control.GetMessageCount(count);
  json answer = Result(hr);
  answer["count"] = count;
  return answer;
}

json SetRole(CMOS_SRV_STNDRT& control, const json& request) {
  const auto found = request.find("role");
  if (found == request.end() || !found->is_string() || (*found != "main" && *found != "backup")) {
    return Invalid("SetRole needs \"role\": \"main\" or \"backup\"");
  }
  std::string why;
  const HResult hr = control.SetPairRole(*found == "main" ? PairRole::Main : PairRole::Backup, why);
  json answer = Result(hr);
  if (!why.empty()) {
    answer["error"] = why;
  }
  answer["pair"] = PairView(control);
  return answer;
}

using Operation = std::function<json(CMOS_SRV_STNDRT&, const json&)>;

const std::map<std::string, Operation, std::less<>>& Operations() {
  static const std::map<std::string, Operation, std::less<>> table{
      {"InitMOSSrv", [](CMOS_SRV_STNDRT& c, const json&) { return Result(c.InitMOSSrv()); }},
      {"StartToWork", [](CMOS_SRV_STNDRT& c, const json&) { return Result(c.StartToWork()); }},
      {"StopApplyingClients",
       [](CMOS_SRV_STNDRT& c, const json&) { return Result(c.StopApplyingClients()); }},
      {"DeInitMOSSrv", [](CMOS_SRV_STNDRT& c, const json&) { return Result(c.DeInitMOSSrv()); }},
      {"GetStateMOSSrv", [](CMOS_SRV_STNDRT& c, const json&) { return GetState(c); }},
      {"GetMessageByNumberInQueue", GetMessage},
      {"GetMessageCount", [](CMOS_SRV_STNDRT& c, const json&) { return GetCount(c); }},
      {"GetReadiness",
       [](CMOS_SRV_STNDRT& c, const json&) {
         json answer = Result(HResult::S_OK);
         answer["text"] = ReadinessTextView(c);
         answer["sheet"] = ReadinessView(c);
         return answer;
       }},
      {"SetRole", SetRole},
      {"GetPair",
       [](CMOS_SRV_STNDRT& c, const json&) {
         json answer = Result(HResult::S_OK);
         answer["pair"] = PairView(c);
         answer["phase"] = ServerPhaseName(c.CurrentPhase());
         return answer;
       }},
      {"GetOnAir",
       [](CMOS_SRV_STNDRT& c, const json&) {
         json answer = Result(HResult::S_OK);
         answer["onair"] = OnAirView(c);
         return answer;
       }},
  };
  return table;
}

}  // namespace

std::string HandleControlLine(CMOS_SRV_STNDRT& control, std::string_view line) {
  const json request = json::parse(line, nullptr, false);
  if (request.is_discarded() || !request.is_object()) {
    return Dump(Invalid("a request is one JSON object on one line"));
  }
  const auto op = request.find("op");
  if (op == request.end() || !op->is_string()) {
    return Dump(Invalid("the request has no \"op\" text"));
  }
  const auto& table = Operations();
  const auto found = table.find(op->get_ref<const std::string&>());
  if (found == table.end()) {
    return Dump(Invalid("unknown op \"" + op->get<std::string>() + "\""));
  }
  return Dump(found->second(control, request));
}

std::string OversizedLineAnswer(std::size_t limit) {
  return Dump(Invalid("a request line is limited to " + std::to_string(limit) + " bytes"));
}

}  // namespace vidra
