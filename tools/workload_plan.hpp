// Reads tests/golden/workloads.txt, the statements of every seeded workload
// (its opening comment gives the grammar), into plain data; the receipt tool
// runs them on the core. Nothing here knows a class: a malformed plan stops
// the tool with the line at fault.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace plan {

// A constant, a constructor argument or a query argument.
struct Arg {
  enum class Kind { Other, Integer, Real, Text, Reals };
  Kind kind = Kind::Other;  // Other: the state `b`
  uint64_t integer = 0;
  double real = 0;
  std::string text;
  std::vector<double> reals;
};

// The argument tuples of a feed or extend: which shape, which of them, how often.
struct Items {
  enum class Shape { Single, Pair, Row, Pick };
  Shape shape = Shape::Single;
  size_t width = 1;                         // values per item: 1, 2, or d + 1 for a row
  const std::vector<Arg>* picks = nullptr;  // the list of a NAME.x shape
  size_t start = 0, stop = SIZE_MAX, step = 1, times = 1;
};

struct Query {
  std::string label, method;
  std::vector<Arg> args;
};

struct Step {
  std::string verb;
  char target = 'a';  // a, b, or s for split
  Items items;
  std::vector<std::string> methods;  // feed
  std::vector<Query> queries;        // ask
  std::string what;                  // receipt
};

struct Workload {
  std::string name;
  std::vector<Arg> args;
  std::vector<uint8_t> saturated;  // empty: no saturated mode
  std::vector<Step> steps;
};

struct Plan {
  size_t n = 0;
  std::vector<std::string> modes;
  std::map<std::string, std::vector<Arg>> lists;
  std::map<std::string, std::vector<std::string>> parts;
  std::vector<Workload> workloads;
};

[[noreturn]] inline void fail(const std::string& why) { throw std::runtime_error(why); }

inline uint64_t to_u64(const std::string& t) {
  char* end = nullptr;
  uint64_t v = std::strtoull(t.c_str(), &end, 0);
  if (t.empty() || t[0] == '-' || *end != '\0') fail("not an integer: " + t);
  return v;
}

inline double to_f64(const std::string& t) {
  char* end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (t.empty() || *end != '\0') fail("not a number: " + t);
  return v;
}

// A quoted string whose \xNN escapes spell the bytes of its UTF-8 form.
inline std::string unquote(const std::string& t) {
  if (t.size() < 2 || t.front() != '"' || t.back() != '"') fail("not a quoted string: " + t);
  std::string out;
  for (size_t i = 1; i + 1 < t.size(); ++i) {
    if (t.compare(i, 2, "\\x") == 0) {
      out += static_cast<char>(std::stoi(t.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += t[i];
    }
  }
  return out;
}

inline Arg list_item(const std::string& type, const std::string& t) {
  Arg a;
  if (type == "str") {
    a.kind = Arg::Kind::Text;
    a.text = unquote(t);
  } else if (type == "u64") {
    a.kind = Arg::Kind::Integer;
    a.integer = to_u64(t);
  } else if (type == "f64") {
    a.kind = Arg::Kind::Real;
    a.real = to_f64(t);
  } else {
    fail("unknown list type " + type);
  }
  return a;
}

// Splits "head*k" into head and k (1 when absent).
inline std::pair<std::string, size_t> repeated(const std::string& t) {
  size_t star = t.find('*');
  if (star == std::string::npos) return {t, 1};
  return {t.substr(0, star), to_u64(t.substr(star + 1))};
}

inline void append(std::vector<uint8_t>& out, uint64_t bits, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

// Little-endian bytes per piece kind; 0 for a part name.
inline int width_of(const std::string& kind) {
  if (kind == "u8") return 1;
  if (kind == "u32") return 4;
  return kind == "u64" || kind == "f64" ? 8 : 0;
}

inline void put_pieces(const Plan& p, const std::vector<std::string>& pieces,
                       std::vector<uint8_t>& out) {
  for (const std::string& piece : pieces) {
    auto [token, times] = repeated(piece);
    size_t colon = token.find(':');
    std::string kind = token.substr(0, colon);
    std::string v = colon == std::string::npos ? "" : token.substr(colon + 1);
    auto part = p.parts.find(kind);
    if (part == p.parts.end() && width_of(kind) == 0) fail("unknown piece " + piece);
    for (size_t k = 0; k < times; ++k) {
      if (part != p.parts.end())
        put_pieces(p, part->second, out);
      else
        append(out, kind == "f64" ? std::bit_cast<uint64_t>(to_f64(v)) : to_u64(v), width_of(kind));
    }
  }
}

inline Arg arg(const Plan& p, const std::string& t) {
  Arg a;
  if (t == "b") return a;
  if (auto it = p.lists.find(t); it != p.lists.end()) {
    a.kind = Arg::Kind::Reals;
    for (const Arg& item : it->second) a.reals.push_back(item.real);
    return a;
  }
  if (size_t open = t.find('['); open != std::string::npos) {
    const std::vector<Arg>& list = p.lists.at(t.substr(0, open));
    return list.at(to_u64(t.substr(open + 1, t.size() - open - 2)));
  }
  char* end = nullptr;
  a.integer = std::strtoull(t.c_str(), &end, 0);
  if (t[0] != '-' && *end == '\0') {
    a.kind = Arg::Kind::Integer;
  } else {
    a.kind = Arg::Kind::Real;
    a.real = to_f64(t);
  }
  return a;
}

// "label=method(a,b)" or a bare method recorded under its own name.
inline Query query(const Plan& p, const std::string& t) {
  Query q;
  size_t eq = t.find('=');
  std::string call = eq == std::string::npos ? t : t.substr(eq + 1);
  size_t open = call.find('(');
  q.method = call.substr(0, open);
  q.label = eq == std::string::npos ? q.method : t.substr(0, eq);
  if (open == std::string::npos) return q;
  std::stringstream args(call.substr(open + 1, call.size() - open - 2));
  for (std::string a; std::getline(args, a, ',');) q.args.push_back(arg(p, a));
  return q;
}

inline size_t slice_bound(const std::string& t, size_t absent) {
  return t.empty() ? absent : to_u64(t);
}

inline Items items(const Plan& p, const std::string& wanted) {
  auto [head, times] = repeated(wanted);
  Items it;
  it.times = times;
  size_t open = head.find('[');
  std::string shape = head.substr(0, open);
  if (open != std::string::npos) {
    std::vector<std::string> bounds;
    std::stringstream cut(head.substr(open + 1, head.size() - open - 2));
    for (std::string b; std::getline(cut, b, ':');) bounds.push_back(b);
    bounds.resize(3);
    it.start = slice_bound(bounds[0], 0);
    it.stop = slice_bound(bounds[1], SIZE_MAX);
    it.step = slice_bound(bounds[2], 1);
  }
  if (shape == "x") return it;
  if (shape == "pair") {
    it.shape = Items::Shape::Pair;
    it.width = 2;
  } else if (shape.rfind("row", 0) == 0) {
    it.shape = Items::Shape::Row;
    it.width = to_u64(shape.substr(3)) + 1;
  } else if (shape.size() > 2 && shape.ends_with(".x")) {
    it.shape = Items::Shape::Pick;
    it.picks = &p.lists.at(shape.substr(0, shape.size() - 2));
  } else {
    fail("unknown shape " + shape);
  }
  return it;
}

inline Step step(const Plan& p, const std::string& verb, const std::vector<std::string>& rest) {
  Step s;
  s.verb = verb;
  if (verb == "feed" || verb == "extend") {
    s.target = rest.at(0) == "split" ? 's' : rest.at(0).at(0);
    s.items = items(p, rest.at(1));
    s.methods.assign(rest.begin() + 2, rest.end());
  } else if (verb == "ask") {
    for (const std::string& t : rest) s.queries.push_back(query(p, t));
  } else if (verb == "receipt") {
    s.what = rest.at(0);
  } else if (verb != "merge" && verb != "join" && verb != "finish") {
    fail("unknown statement " + verb);
  }
  return s;
}

inline void statement(Plan& p, const std::string& verb, const std::vector<std::string>& rest) {
  if (verb == "values") {
    p.n = to_u64(rest.at(0));
  } else if (verb == "modes") {
    p.modes = rest;
  } else if (verb == "list") {
    std::vector<Arg>& list = p.lists[rest.at(0)];
    for (size_t i = 2; i < rest.size(); ++i) list.push_back(list_item(rest[1], rest[i]));
  } else if (verb == "part") {
    p.parts[rest.at(0)].assign(rest.begin() + 1, rest.end());
  } else if (verb == "class") {
    p.workloads.push_back({rest.at(0), {}, {}, {}});
    for (size_t i = 1; i < rest.size(); ++i) p.workloads.back().args.push_back(arg(p, rest[i]));
  } else if (p.workloads.empty()) {
    fail(verb + " outside a class");
  } else if (verb == "saturated") {
    put_pieces(p, rest, p.workloads.back().saturated);
  } else {
    p.workloads.back().steps.push_back(step(p, verb, rest));
  }
}

inline Plan read(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail("cannot read " + path);
  Plan p;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::stringstream tokens(line.substr(0, line.find('#')));
    std::vector<std::string> words;
    for (std::string w; tokens >> w;) words.push_back(w);
    if (words.empty()) continue;
    try {
      statement(p, words[0], {words.begin() + 1, words.end()});
    } catch (const std::exception& e) {
      fail(path + ":" + std::to_string(number) + ": " + e.what());
    }
  }
  return p;
}

}  // namespace plan
