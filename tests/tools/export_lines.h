// export_lines.h -- what the kavrex-export tests share: running the export
// and python3, reading its JSON Lines with python3's json module, and the
// ring whose walk skips ahead.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/image_builder.h"
#include "support/installation.h"

namespace export_test {

inline test::RunResult run_export(const test::Installation& inst, const std::vector<std::string>& args,
                                  test::RunOptions o = {}) {
  return inst.run("kavrex-export", args, std::move(o));
}

// Runs a python3 script with `input` on its standard input.
inline test::RunResult python(const std::string& script, const std::vector<std::string>& args,
                              const std::string& input) {
  std::vector<std::string> argv{"/usr/bin/python3", "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  test::RunOptions o;
  o.input = input;
  return test::run(argv, o);
}

// A value of an exported line as python3 read it: its type (s string,
// i integer, a arrays of integers, n null) and its text (the string's
// bytes, the integer's digits, the arrays as compact JSON). Asking for
// another type than the value has throws, which fails the test.
struct Value {
  char type = 'n';
  std::string text;
  const std::string& as(char t) const {
    if (type != t) throw std::runtime_error(std::string("a value of type ") + type + ", not " + t + ": " + text);
    return text;
  }
  const std::string& str() const { return as('s'); }
  std::int64_t i64() const { return std::stoll(as('i')); }
  bool is_null() const { return type == 'n'; }
};
using Json = std::map<std::string, Value>;

// Reads the output strictly: valid UTF-8 ending in a newline, each line a
// flat object without duplicate keys whose values are strings without lone
// surrogates, integers, nulls or arrays of arrays of integers. Prints each
// line's fields as "KEY TYPE TEXT", each followed by a tab, strings in hex.
constexpr const char* kReadLines = R"(
import json, sys
data = sys.stdin.buffer.read()
assert data == b'' or data.endswith(b'\n'), 'the last line has no newline'
def pairs(items):
    assert len(set(k for k, _ in items)) == len(items), 'duplicate key'
    return dict(items)
def refuse(text):
    raise ValueError('not an integer: ' + text)
for line in data.decode('utf-8').split('\n')[:-1]:
    fields = []
    for k, v in json.loads(line, object_pairs_hook=pairs, parse_float=refuse, parse_constant=refuse).items():
        if v is None: fields.append(k + ' n ')
        elif type(v) is str: fields.append(k + ' s ' + v.encode('utf-8').hex())
        elif type(v) is int: fields.append(k + ' i ' + str(v))
        elif type(v) is list and all(type(a) is list and all(type(b) is int for b in a) for a in v):
            fields.append(k + ' a ' + json.dumps(v, separators=(',', ':')))
        else: raise ValueError('a value the export does not write: ' + repr(v))
    print(''.join(f + '\t' for f in fields))
)";

inline std::vector<Json> read_json_lines(const std::string& output) {
  test::RunResult r = python(kReadLines, {}, output);
  if (r.status != 0) throw std::runtime_error("not JSON Lines: " + r.err);
  std::vector<Json> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    Json& j = lines.emplace_back();
    std::istringstream fields(line);
    for (std::string key, type, text;
         std::getline(fields, key, ' ') && std::getline(fields, type, ' ') && std::getline(fields, text, '\t');) {
      Value& v = j[key];
      v.type = type.at(0);
      if (v.type != 's') v.text = text;
      for (std::size_t i = 0; v.type == 's' && i + 1 < text.size(); i += 2)
        v.text += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
  }
  return lines;
}

// Stamps of the records in an export's output, in order.
inline std::vector<std::uint64_t> stamps(const std::string& out) {
  std::vector<std::uint64_t> s;
  for (std::size_t at = 0; (at = out.find("\"stamp\":", at)) != std::string::npos; at += 8)
    s.push_back(std::stoull(out.substr(at + 8)));
  return s;
}

// A ring whose reader comes within a window of the tail before it reaches
// the head (tail 90, head 95): it starts at 10, skips ahead twice (to 10,
// then 30) and stops at its maximum skip. Record 20 points at a format
// outside the image; sessions run 0 to 6.
inline void write_overrun_dump(const std::string& path) {
  kvf::sim::ImageBuilder image({.ring_records = 100});
  for (int i = 0; i < 100; ++i) {
    kvf::sim::Record r = image.record("ring.c", i, "n=%d");
    r.args.i32(i);
    r.session = i % 7;
    if (i == 20) r.format = 0x10;
    image.append_record(r);
  }
  image.set_indexes(95, 90);
  image.write_dump(path);
}

}  // namespace export_test
