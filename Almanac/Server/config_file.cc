#include "Almanac/Server/config_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Almanac/Server/almanac_errors.h"

namespace almanac {
namespace {

using nlohmann::json;

constexpr const char* kAllowedValues =
    "use a string, true/false, a number from 0 to 4294967295, an array or an object";

// Hands the text to the parser one character at a time and counts how many it
// has taken. The parser announces values without saying where they are; the
// count tells where the parser stands when it announces one, and stepping
// back over the token from there gives the value's position.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, std::size_t* taken) : at_(at), taken_(taken) {}

  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    ++*taken_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
  bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  std::size_t* taken_;
};

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

bool IsNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Line and column (from 1) of the character at `offset`; an offset at the end
// of the text names the place just past the last character. Columns count
// characters as an editor shows them, so neither the bytes of a multi-byte
// character nor a byte order mark at the start add columns.
std::pair<std::size_t, std::size_t> Locate(std::string_view text, std::size_t offset) {
  if (offset > text.size()) offset = text.size();
  while (offset > 0 && offset < text.size() && IsContinuationByte(text[offset]))
    --offset;
  std::size_t line = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  if (lineStart == 0 && offset >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") lineStart = 3;
  std::size_t column = 1;
  for (std::size_t i = lineStart; i < offset; ++i) {
    if (!IsContinuationByte(text[i])) ++column;
  }
  return {line, column};
}

std::string FormatPosition(std::pair<std::size_t, std::size_t> position) {
  return std::to_string(position.first) + ":" + std::to_string(position.second);
}

// Why a number is refused, from the way it is written: the parser hands
// integers beyond 64 bits over as floating point, yet they deserve the
// message of an integer.
std::string NumberRefusal(const std::string& written) {
  if (written.find_first_of(".eE") != std::string::npos) {
    return written +
           " is not a configuration value; numbers are whole, without fraction or exponent, "
           "from 0 to 4294967295";
  }
  if (!written.empty() && written[0] == '-') {
    return written + " is not a configuration value; numbers go from 0 to 4294967295";
  }
  return written + " is too large; numbers go from 0 to 4294967295";
}

// Builds the tree from the parser's events. The first refusal stops the
// parse (a callback returning false ends it) and is kept as the message.
class TreeBuilder {
 public:
  TreeBuilder(std::string_view text, const std::size_t& taken, const std::string& name,
              KeyOffsets* offsets)
      : text_(text), taken_(taken), name_(name), offsets_(offsets) {
    stack_.reserve(kMaxConfigDepth);
  }

  const std::string& Error() const { return error_; }
  std::optional<ZQ_TTree>& Root() { return root_; }

  bool null() {
    const std::size_t at = taken_ - 4;
    if (stack_.empty()) return RefuseRoot(at, "null");
    return Refuse(at, std::string("null is not a configuration value; ") + kAllowedValues);
  }

  bool boolean(bool value) {
    const std::size_t at = taken_ - (value ? 4 : 5);
    if (stack_.empty()) return RefuseRoot(at, value ? "true" : "false");
    return Add(ZQ_TAny(ZQ_TBool(value)));
  }

  // Only negative numbers arrive here: the parser hands every other integer
  // to number_unsigned.
  bool number_integer(std::int64_t value) {
    const std::size_t at = NumberStart();
    if (stack_.empty()) return RefuseRoot(at, "a number");
    return Refuse(at, NumberRefusal(value == 0 ? "-0" : std::to_string(value)));
  }

  bool number_unsigned(std::uint64_t value) {
    const std::size_t at = NumberStart();
    if (stack_.empty()) return RefuseRoot(at, "a number");
    if (value > std::numeric_limits<std::uint32_t>::max()) {
      return Refuse(at, NumberRefusal(std::to_string(value)));
    }
    return Add(ZQ_TAny(ZQ_TUInt32(static_cast<std::uint32_t>(value))));
  }

  bool number_float(double, const std::string& written) {
    const std::size_t at = NumberStart();
    if (stack_.empty()) return RefuseRoot(at, "a number");
    return Refuse(at, NumberRefusal(written));
  }

  bool string(std::string& value) {
    const std::size_t at = StringStart();
    if (stack_.empty()) return RefuseRoot(at, "a string");
    return Add(ZQ_TAny(ZQ_TString(std::move(value))));
  }

  bool binary(json::binary_t&) { return Refuse(taken_, "binary data is not JSON"); }

  bool start_object(std::size_t) { return Open(true); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }

  bool key(std::string& key) {
    const std::size_t at = StringStart();
    Frame& frame = stack_.back();
    if (key.empty()) {
      return Refuse(at, "empty key; an entry without a name cannot be reached by a path");
    }
    if (key.find('/') != std::string::npos) {
      return Refuse(at, "key \"" + key + "\" contains '/', which separates the levels of a path");
    }
    auto [first, added] = frame.keyOffsets.emplace(key, at);
    if (!added) {
      const auto [line, column] = Locate(text_, first->second);
      return Refuse(at, "duplicate key \"" + key + "\" (first at line " + std::to_string(line) +
                            ", column " + std::to_string(column) + ")");
    }
    if (offsets_ != nullptr) offsets_->emplace(PathTo(key), at);
    frame.key = std::move(key);
    return true;
  }

  bool parse_error(std::size_t position, const std::string& lastToken,
                   const json::exception& failure) {
    if (failure.id == 406) {  // a number too large even for floating point
      return Refuse(NumberStart(), NumberRefusal(lastToken));
    }
    return Refuse(SyntaxErrorOffset(position, failure.what()), SyntaxErrorReason(failure.what()));
  }

 private:
  struct Frame {
    explicit Frame(bool isObject) : object(isObject) {}
    bool object;
    ZQ_TTree tree;
    ZQ_TList list;
    std::string key;  // the key whose value comes next
    std::unordered_map<std::string, std::size_t> keyOffsets;
  };

  // The path of `key` in the innermost object.
  std::string PathTo(const std::string& key) const {
    std::string path;
    for (std::size_t level = 0; level + 1 < stack_.size(); ++level) {
      const Frame& frame = stack_[level];
      path += frame.object ? frame.key : "#" + std::to_string(frame.list.Count());
      path += '/';
    }
    return path + key;
  }

  bool Refuse(std::size_t offset, const std::string& reason) {
    error_ = name_ + ":" + FormatPosition(Locate(text_, offset)) + ": " + reason;
    return false;
  }

  bool RefuseRoot(std::size_t offset, const char* what) {
    return Refuse(offset, std::string("the configuration must be a JSON object, not ") + what);
  }

  bool Add(ZQ_TAny value) {
    Frame& frame = stack_.back();
    if (frame.object) {
      frame.tree.SetChild(ZQ_TString(frame.key), std::move(value));
    } else {
      frame.list.Append(std::move(value));
    }
    return true;
  }

  bool Open(bool object) {
    const std::size_t at = taken_ - 1;
    if (stack_.empty() && !object) return RefuseRoot(at, "an array");
    if (stack_.size() >= kMaxConfigDepth) {
      return Refuse(at, "nested deeper than " + std::to_string(kMaxConfigDepth) + " levels");
    }
    stack_.emplace_back(object);
    return true;
  }

  bool Close() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty()) {
      root_.emplace(std::move(frame.tree));
      return true;
    }
    return frame.object ? Add(ZQ_TAny(std::move(frame.tree))) : Add(ZQ_TAny(std::move(frame.list)));
  }

  // Where a syntax error is reported. `position` counts what the parser has
  // read, plus one once it has met the end of the input. A token the parser
  // did not expect is complete and ends at `position`, so the report points
  // at its start; a token the scanner could not finish is reported at the
  // character that broke it.
  std::size_t SyntaxErrorOffset(std::size_t position, std::string_view message) const {
    if (position > text_.size()) return text_.size();
    if (message.find(" - unexpected ") != std::string_view::npos) return TokenStart(position);
    return position > 0 ? position - 1 : 0;
  }

  // The parser's message without its own position, which counts bytes, and
  // without what it last read, which holds the text of earlier tokens as
  // well: "[json.exception.parse_error.101] parse error at line 1, column 9:
  // syntax error while parsing value - invalid literal; last read: '"a": nul}'".
  static std::string SyntaxErrorReason(std::string reason) {
    const std::size_t colon = reason.find(": ");
    if (colon != std::string::npos) reason.erase(0, colon + 2);
    const std::size_t lastRead = reason.find("; last read: '");
    if (lastRead != std::string::npos) {
      const std::size_t expected = reason.rfind("'; expected ");
      reason.erase(lastRead, expected != std::string::npos && expected > lastRead
                                 ? expected + 1 - lastRead
                                 : std::string::npos);
    }
    return reason;
  }

  // The start of the complete token that ends at `end`.
  std::size_t TokenStart(std::size_t end) const {
    if (end == 0) return 0;
    const char last = text_[end - 1];
    if (last == '"') return StringStart(end);
    if (last >= '0' && last <= '9') return RunStart(end, IsNumberChar);
    if ((last >= 'a' && last <= 'z') || (last >= 'A' && last <= 'Z')) {
      return RunStart(end, [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
    }
    return end - 1;
  }

  // The start of the string whose closing quote is text_[end - 1]: the
  // nearest quote before it that is not escaped, i.e. not preceded by an odd
  // number of backslashes.
  std::size_t StringStart(std::size_t end) const {
    std::size_t quote = end - 1;
    while (quote > 0) {
      --quote;
      if (text_[quote] != '"') continue;
      std::size_t backslashes = 0;
      while (backslashes < quote && text_[quote - 1 - backslashes] == '\\')
        ++backslashes;
      if (backslashes % 2 == 0) return quote;
    }
    return quote;
  }
  std::size_t StringStart() const { return StringStart(taken_); }

  template <class IsPart>
  std::size_t RunStart(std::size_t end, IsPart isPart) const {
    while (end > 0 && isPart(text_[end - 1]))
      --end;
    return end;
  }

  // The parser has read one character past a number to see that it ended,
  // unless the input ended. Neither that character, when it cannot be part
  // of a number, nor what comes before a number (space, ':', ',', '[') is a
  // number character, so the number starts where the run of them does.
  std::size_t NumberStart() const {
    std::size_t end = taken_;
    if (end > 0 && !IsNumberChar(text_[end - 1])) --end;
    return RunStart(end, IsNumberChar);
  }

  std::string_view text_;
  const std::size_t& taken_;
  const std::string& name_;
  KeyOffsets* offsets_;
  std::vector<Frame> stack_;
  std::optional<ZQ_TTree> root_;
  std::string error_;
};

std::string ErrnoText(int error) {
  return std::generic_category().message(error);
}

}  // namespace

std::string ReadConfigFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ALMANAC_THROW(ZQM_EException, path + ": " + ErrnoText(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      ALMANAC_THROW(ZQM_EException, path + ": " + ErrnoText(errno));
    }
    if (count == 0) break;
    if (content.size() + static_cast<std::size_t>(count) > kMaxConfigBytes) {
      ALMANAC_THROW(ZQM_EException, path + ": larger than " + std::to_string(kMaxConfigBytes) +
                                        " bytes, too large for a configuration file");
    }
    content.append(buffer, static_cast<std::size_t>(count));
  }
  return content;
}

std::string PositionIn(std::string_view text, std::size_t offset) {
  return FormatPosition(Locate(text, offset));
}

namespace {

ZQ_TTree Parse(std::string_view text, const std::string& name, KeyOffsets* offsets) {
  std::size_t taken = 0;
  TreeBuilder builder(text, taken, name, offsets);
  const bool parsed = json::sax_parse(CountingIterator(text.data(), &taken),
                                      CountingIterator(text.data() + text.size(), &taken), &builder,
                                      json::input_format_t::json, /*strict=*/true);
  if (!parsed || !builder.Root()) {
    ALMANAC_THROW(ZQM_EException, builder.Error().empty()
                                      ? name + ": the configuration could not be read"
                                      : builder.Error());
  }
  return std::move(*builder.Root());
}

}  // namespace

ZQ_TTree ParseConfigText(std::string_view text, const std::string& name) {
  return Parse(text, name, nullptr);
}

ZQ_TTree ParseConfigText(std::string_view text, const std::string& name, KeyOffsets& offsets) {
  return Parse(text, name, &offsets);
}

ZQ_TTree LoadConfigFile(const std::string& path) {
  return ParseConfigText(ReadConfigFile(path), path);
}

}  // namespace almanac
