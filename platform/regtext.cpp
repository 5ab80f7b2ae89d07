// The REGEDIT4 text form of the store: export and import.
#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/ascii.h"
#include "platform/registry.h"
#include "platform/registry_impl.h"
#include "platform/sqlite.h"

namespace qorda::platform {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kRoot = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The store's own order (SQLite NOCASE): ASCII letters folded to lower case, then bytes.
bool fold_less(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(ascii_lower(a[i]));
    auto y = static_cast<unsigned char>(ascii_lower(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

void append_quoted(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char c : s) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out.push_back(c);
    }
  }
  out.push_back('"');
}

void append_value(std::string& out, const RegValue& v) {
  append_quoted(out, v.name);
  out.push_back('=');
  if (v.type == RegType::Dword) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "dword:";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(v.dword >> shift) & 0xf]);
  } else {
    append_quoted(out, v.sz);
  }
}

void append_key(std::string& out, std::string_view path) {
  out.push_back('[');
  out += kRoot;
  if (!path.empty()) {
    out.push_back('\\');
    out += path;
  }
  out += "]\n";
}

Status malformed(size_t line, std::string_view reason) {
  return Status::error(EINVAL, "line " + std::to_string(line) + ": " + std::string(reason));
}

// Reads a quoted string with the escapes \\ \" \n \r starting at line[*i] (the opening quote);
// leaves *i after the closing quote.
Status parse_quoted(std::string_view line, size_t* i, std::string* out, size_t line_no) {
  if (*i >= line.size() || line[*i] != '"') return malformed(line_no, "missing opening quote");
  out->clear();
  for (size_t k = *i + 1; k < line.size(); ++k) {
    char c = line[k];
    if (c == '"') {
      *i = k + 1;
      return {};
    }
    if (c == '\0') return malformed(line_no, "NUL byte in a quoted string");
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (++k == line.size()) break;
    switch (line[k]) {
      case '\\':
        out->push_back('\\');
        break;
      case '"':
        out->push_back('"');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      default: {
        std::string shown = "unknown escape \\";
        unsigned char e = static_cast<unsigned char>(line[k]);
        if (e >= 0x21 && e < 0x7f) {
          shown.push_back(line[k]);
        } else {
          static constexpr char kHex[] = "0123456789abcdef";
          shown += "x";
          shown.push_back(kHex[e >> 4]);
          shown.push_back(kHex[e & 0xf]);
        }
        return malformed(line_no, shown);
      }
    }
  }
  return malformed(line_no, "missing closing quote");
}

bool parse_dword(std::string_view hex, uint32_t* v) {
  if (hex.size() != 8) return false;
  uint32_t r = 0;
  for (char c : hex) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return false;
    }
    r = r << 4 | static_cast<uint32_t>(d);
  }
  *v = r;
  return true;
}

// A store failure during an import: its own errno, with the line it happened at.
Status at_line(size_t line, const Status& s) {
  return Status::error(s.err, "line " + std::to_string(line) + ": " + s.msg);
}

}  // namespace

std::string value_line(const RegValue& v) {
  std::string out;
  append_value(out, v);
  return out;
}

Result<std::string> export_text(Registry& reg) {
  Registry::Impl& m = *reg.impl_;
  ReadScope snapshot(m);  // keys and values from one committed state

  struct Node {
    std::string name;
    std::string path;
    std::vector<size_t> children;
    std::vector<RegValue> values;
  };
  std::vector<Node> nodes;
  std::unordered_map<int64_t, size_t> index;
  std::vector<std::pair<int64_t, int64_t>> parents;  // (child id, parent id)
  {
    sql::Query q(m.db, "SELECT id, parent, name, path FROM keys");
    while (q.step()) {
      index.emplace(q.int64(0), nodes.size());
      parents.emplace_back(q.int64(0), q.int64(1));
      nodes.push_back(Node{std::string(q.text(2)), std::string(q.text(3)), {}, {}});
    }
    if (!q.status()) return q.status();
  }
  auto root = index.find(kRootKeyId);
  if (root == index.end()) return Status::error(EIO, m.path + ": the store has no root key");
  for (auto [child, parent] : parents) {
    if (child == kRootKeyId) continue;
    auto p = index.find(parent);
    if (p == index.end()) return Status::error(EIO, m.path + ": a key has no parent");
    nodes[p->second].children.push_back(index[child]);
  }
  {
    sql::Query q(m.db, "SELECT key, name, type, data FROM vals ORDER BY key, name");
    while (q.step()) {
      auto k = index.find(q.int64(0));
      if (k == index.end()) continue;
      RegValue v;
      v.name = std::string(q.text(1));
      if (q.int64(2) == static_cast<int64_t>(RegType::Dword)) {
        v.type = RegType::Dword;
        v.dword = static_cast<uint32_t>(q.int64(3));
      } else {
        v.sz = std::string(q.blob(3));
      }
      nodes[k->second].values.push_back(std::move(v));
    }
    if (!q.status()) return q.status();
  }

  std::string out(kHeader);
  out += "\n\n";
  // Depth first, children in the store's name order; a key's parents always come before it.
  std::vector<size_t> stack{root->second};
  while (!stack.empty()) {
    Node& n = nodes[stack.back()];
    stack.pop_back();
    if (&n != &nodes[root->second] || !n.values.empty()) {
      append_key(out, n.path);
      for (const RegValue& v : n.values) {
        append_value(out, v);
        out.push_back('\n');
      }
      out.push_back('\n');
    }
    std::sort(n.children.begin(), n.children.end(),
              [&](size_t a, size_t b) { return fold_less(nodes[a].name, nodes[b].name); });
    for (auto it = n.children.rbegin(); it != n.children.rend(); ++it) stack.push_back(*it);
  }
  return out;
}

Status import_text(Registry& reg, std::string_view text) {
  auto tx = reg.begin();
  if (!tx) return tx.status();

  enum class Selected { None, Key, Deleted };
  Selected selected = Selected::None;
  std::string key;  // the selected key's path below the root
  std::string name, data;
  size_t line_no = 0;
  size_t pos = 0;
  bool saw_header = false;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    std::string_view line =
        text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? text.size() : nl + 1;
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);

    if (line_no == 1) {
      if (line.substr(0, kBom.size()) == kBom) line.remove_prefix(kBom.size());
      if (line != kHeader) return malformed(1, "the first line must be REGEDIT4");
      saw_header = true;
      continue;
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos || line[0] == ';') continue;

    if (line[0] == '[') {
      if (line.size() < 2 || line.back() != ']') {
        return malformed(line_no, "a key line must end with ']'");
      }
      std::string_view inner = line.substr(1, line.size() - 2);
      bool remove = !inner.empty() && inner[0] == '-';
      if (remove) inner.remove_prefix(1);
      size_t slash = inner.find('\\');
      if (!ascii_iequal(inner.substr(0, slash), kRoot)) {
        return malformed(line_no, "a key must start with HKEY_LOCAL_MACHINE");
      }
      std::string_view path =
          slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
      if (slash != std::string_view::npos) {
        size_t start = 0;
        for (;;) {
          size_t end = path.find('\\', start);
          if (end == start || start == path.size()) {
            return malformed(line_no, "empty key name in the path");
          }
          if (end == std::string_view::npos) break;
          start = end + 1;
        }
        if (path.find('\0') != std::string_view::npos ||
            path.find('\r') != std::string_view::npos) {
          return malformed(line_no, "a key name holds a NUL byte or a carriage return");
        }
      }
      if (remove) {
        if (path.empty()) return malformed(line_no, "the root key cannot be deleted");
        Status s = reg.delete_key(path);
        if (!s && s.err != ENOENT) return at_line(line_no, s);
        selected = Selected::Deleted;
      } else {
        if (Status s = reg.create_key(path); !s) return at_line(line_no, s);
        key.assign(path);
        selected = Selected::Key;
      }
      continue;
    }

    if (line[0] != '"') {
      return malformed(line_no, "expected [KEY], \"name\"=value, a ';' comment or a blank line");
    }
    if (selected == Selected::None) return malformed(line_no, "a value before any [KEY] line");
    if (selected == Selected::Deleted) {
      return malformed(line_no, "a value under a key being deleted ([-KEY])");
    }
    size_t i = 0;
    if (Status s = parse_quoted(line, &i, &name, line_no); !s) return s;
    if (i == line.size() || line[i] != '=') {
      return malformed(line_no, "expected '=' after the value name");
    }
    std::string_view rhs = line.substr(i + 1);
    Status s;
    if (rhs == "-") {
      s = reg.delete_value(key, name);
      if (s.err == ENOENT) s = {};
    } else if (!rhs.empty() && rhs[0] == '"') {
      size_t j = 0;
      if (Status q = parse_quoted(rhs, &j, &data, line_no); !q) return q;
      if (j != rhs.size()) return malformed(line_no, "unexpected text after the closing quote");
      s = reg.set_sz(key, name, data);
    } else if (rhs.substr(0, 6) == "dword:") {
      uint32_t v = 0;
      if (!parse_dword(rhs.substr(6), &v)) {
        return malformed(line_no, "a dword needs exactly 8 hex digits (dword:0000abcd)");
      }
      s = reg.set_dword(key, name, v);
    } else {
      return malformed(line_no, "a value must be \"text\", dword:XXXXXXXX or -");
    }
    if (!s) return at_line(line_no, s);
  }
  if (!saw_header) return malformed(1, "the first line must be REGEDIT4");
  return (*tx)->commit();
}

}  // namespace qorda::platform
