// A line is "P" or "D", then tab-separated fields; a backslash, a tab, a line feed and a
// carriage return in a field are written \\, \t, \n and \r, so a line holds any text.
#include "media/PlaceholderLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "common/Log.h"
#include "common/Text.h"

namespace vidra {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFields = 14;  // with the kind

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) {
      return false;
    }
    switch (text[i]) {
      case '\\':
        out += '\\';
        break;
      case 't':
        out += '\t';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      default:
        return false;
    }
  }
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t tab = line.find('\t'); tab != std::string::npos; tab = line.find('\t', start)) {
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  fields.push_back(line.substr(start));
  return fields;
}

std::string LineOf(const PlaceholderRecord& r) {
  const NrcsObjectText& t = r.text;
  std::string line = "P";
  for (const std::string* field :
       {&r.objID, &r.relativePath, &t.objSlug, &t.mosAbstract, &t.objGroup, &t.objType, &t.objTB,
        &t.objDur, &t.createdBy, &t.changedBy, &t.description, &t.metadataXml}) {
    line += '\t';
    line += Escape(*field);
  }
  line += '\t' + std::to_string(r.created) + ':' + std::to_string(r.changed);
  return line + '\n';
}

bool ReadRecord(const std::vector<std::string>& fields, PlaceholderRecord& r) {
  if (fields.size() != kFields) {
    return false;
  }
  NrcsObjectText& t = r.text;
  std::string* into[] = {&r.objID,     &r.relativePath, &t.objSlug,     &t.mosAbstract,
                         &t.objGroup,  &t.objType,      &t.objTB,       &t.objDur,
                         &t.createdBy, &t.changedBy,    &t.description, &t.metadataXml};
  for (std::size_t i = 0; i < std::size(into); ++i) {
    if (!Unescape(fields[i + 1], *into[i])) {
      return false;
    }
  }
  const std::string& times = fields.back();
  const std::size_t colon = times.find(':');
  if (colon == std::string::npos || r.objID.empty() || r.relativePath.empty()) {
    return false;
  }
  char* end = nullptr;
  r.created = std::strtoull(times.c_str(), &end, 10);
  r.changed = std::strtoull(times.c_str() + colon + 1, &end, 10);
  return *end == '\0';
}

bool WriteWhole(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Closes the descriptor it holds, whatever way the function is left.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool PlaceholderLog::Load(std::vector<PlaceholderRecord>& records, std::string& error) {
  records.clear();
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    std::error_code exists;
    if (!fs::exists(fs::path(path_), exists)) {
      return true;  // none made yet
    }
    error = "the placeholder log " + path_ + " cannot be read: " + ErrorText(errno);
    return false;
  }
  std::map<std::string, PlaceholderRecord> byId;
  std::vector<std::string> order;
  std::string line;
  std::size_t lines = 0;
  std::size_t damaged = 0;
  while (std::getline(in, line)) {
    ++lines;
    const std::vector<std::string> fields = Split(line);
    PlaceholderRecord record;
    std::string removed;
    if (fields.size() == 2 && fields[0] == "D" && Unescape(fields[1], removed)) {
      byId.erase(removed);
    } else if (fields[0] == "P" && ReadRecord(fields, record)) {
      const std::string id = record.objID;
      if (byId.insert_or_assign(id, std::move(record)).second) {
        order.push_back(id);
      }
    } else {
      ++damaged;
    }
  }
  if (damaged > 0) {
    Log("VIDRA - placeholder log %s: %zu damaged line(s) left out", path_.c_str(), damaged);
  }
  std::string whole;
  for (const std::string& id : order) {
    if (const auto found = byId.find(id); found != byId.end()) {
      whole += LineOf(found->second);
      records.push_back(std::move(found->second));
      byId.erase(found);
    }
  }
  if (lines == records.size() && damaged == 0) {
    return true;  // nothing to compact
  }
  // Written beside it and renamed over it, so a crash leaves the old log or the new one.
  const std::string temporary = path_ + ".new";
  {
    Fd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.Get() < 0 || !WriteWhole(fd.Get(), whole) || ::fsync(fd.Get()) != 0) {
      error = "the placeholder log " + path_ + " cannot be compacted: " + ErrorText(errno);
      return false;
    }
  }
  if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    error = "the placeholder log " + path_ + " cannot be compacted: " + ErrorText(errno);
    return false;
  }
  return true;
}

bool PlaceholderLog::Put(const PlaceholderRecord& record, std::string& error) {
  return Append(LineOf(record), error);
}

bool PlaceholderLog::Remove(const std::string& objID, std::string& error) {
  return Append("D\t" + Escape(objID) + '\n', error);
}

bool PlaceholderLog::Append(const std::string& line, std::string& error) {
  const auto open = [this] {
    return ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  };
  int opened = open();
  if (opened < 0 && errno == ENOENT) {
    // Its folder is made with the first record, not looked for at every one.
    std::error_code made;
    fs::create_directories(fs::path(path_).parent_path(), made);
    opened = open();
  }
  Fd fd(opened);
  if (fd.Get() < 0 || !WriteWhole(fd.Get(), line) || ::fdatasync(fd.Get()) != 0) {
    error = "the placeholder log " + path_ + " cannot be written: " + ErrorText(errno);
    return false;
  }
  return true;
}

}  // namespace vidra
