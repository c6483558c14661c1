// export_json.cpp -- the export tests' JSON parser (RFC 8259, strict: no
// trailing commas, no raw control characters, \u escapes decoded, strings
// must be valid UTF-8).
#include "export_json.h"

#include <cctype>
#include <stdexcept>

namespace export_test {
namespace {

class Parser {
 public:
  explicit Parser(const std::string& t) : t_(t) {}

  Json whole() {
    Json v = value();
    blanks();
    if (i_ != t_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error(why + " at byte " + std::to_string(i_) + " of: " + t_);
  }
  void blanks() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  bool eat(char c) {
    blanks();
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!eat(c)) fail(std::string("expected '") + c + "'");
  }
  bool word(const char* w) {
    std::string s(w);
    if (t_.compare(i_, s.size(), s) != 0) return false;
    i_ += s.size();
    return true;
  }

  Json value() {
    blanks();
    if (i_ >= t_.size()) fail("missing value");
    Json v;
    char c = t_[i_];
    if (c == '{') {
      ++i_;
      v.type = Json::Type::object;
      if (eat('}')) return v;
      do {
        blanks();
        std::string k = string_text();
        expect(':');
        if (!v.object.emplace(k, value()).second) fail("duplicate key " + k);
      } while (eat(','));
      expect('}');
    } else if (c == '[') {
      ++i_;
      v.type = Json::Type::array;
      if (eat(']')) return v;
      do v.array.push_back(value());
      while (eat(','));
      expect(']');
    } else if (c == '"') {
      v.type = Json::Type::string;
      v.string = string_text();
    } else if (word("null")) {
    } else if (bool truth = word("true"); truth || word("false")) {
      v.type = Json::Type::boolean;
      v.boolean = truth;
    } else {
      v.type = Json::Type::number;
      std::size_t start = i_;
      if (t_[i_] == '-') ++i_;
      if (i_ >= t_.size() || !std::isdigit(static_cast<unsigned char>(t_[i_]))) fail("bad number");
      if (t_[i_] == '0' && i_ + 1 < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_ + 1])))
        fail("leading zero");
      while (i_ < t_.size() && (std::isdigit(static_cast<unsigned char>(t_[i_])) || t_[i_] == '.' ||
                                t_[i_] == 'e' || t_[i_] == 'E' || t_[i_] == '+' || t_[i_] == '-'))
        ++i_;
      v.number = t_.substr(start, i_ - start);
    }
    return v;
  }

  void utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // A raw byte sequence of a string must be well-formed UTF-8.
  void raw_character(std::string& out) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(t_[i_ + k]); };
    unsigned char c = b(0);
    std::size_t n = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF5 ? 4 : 0;
    if (n == 0 || i_ + n > t_.size()) fail("invalid UTF-8");
    for (std::size_t k = 1; k < n; ++k)
      if ((b(k) & 0xC0) != 0x80) fail("invalid UTF-8");
    if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) > 0x9F) || (c == 0xF0 && b(1) < 0x90) ||
        (c == 0xF4 && b(1) > 0x8F))
      fail("invalid UTF-8");
    out.append(t_, i_, n);
    i_ += n;
  }

  std::string string_text() {
    if (i_ >= t_.size() || t_[i_] != '"') fail("expected a string");
    ++i_;
    std::string out;
    for (;;) {
      if (i_ >= t_.size()) fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(t_[i_]);
      if (c == '"') {
        ++i_;
        return out;
      }
      if (c < 0x20) fail("raw control character in a string");
      if (c != '\\') {
        raw_character(out);
        continue;
      }
      if (++i_ >= t_.size()) fail("unterminated escape");
      char e = t_[i_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (i_ + 4 > t_.size()) fail("short \\u escape");
          unsigned cp = static_cast<unsigned>(std::stoul(t_.substr(i_, 4), nullptr, 16));
          i_ += 4;
          if (cp >= 0xD800 && cp < 0xE000) fail("surrogate escape");
          utf8(out, cp);
          break;
        }
        default: fail("unknown escape");
      }
    }
  }

  const std::string& t_;
  std::size_t i_ = 0;
};

}  // namespace

Json parse_json(const std::string& text) { return Parser(text).whole(); }

std::vector<Json> parse_lines(const std::string& output) {
  std::vector<Json> out;
  std::size_t at = 0;
  while (at < output.size()) {
    std::size_t nl = output.find('\n', at);
    if (nl == std::string::npos) throw std::runtime_error("last line has no newline");
    out.push_back(parse_json(output.substr(at, nl - at)));
    at = nl + 1;
  }
  return out;
}

}  // namespace export_test
