// IP entries: allow or deny logins from the client addresses a mask matches. Entries are lines
// of text in the user's and the template's "szip" values; the best-scoring entry decides, the
// user's own entries before the template's, and the server default ("ballowip") decides for
// addresses that no entry matches.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qorda::vfs {

// An IPv4 address as the four bytes of its dotted form a.b.c.d, in that order.
using IpBytes = std::array<uint8_t, 4>;

// One parsed entry: origin 'u', 't' or 's'; allow or deny; the address mask.
struct IpRecord {
  char origin = 'u';
  bool allow = true;
  std::string mask;

  bool operator==(const IpRecord&) const = default;
};

// The text new entries start from, the editors' pseudo-entries for the server default, and the
// message shown when a mask is refused.
inline constexpr const char* kNewUserIpLine = "[u] a *.*.*.*";
inline constexpr const char* kNewTemplateIpLine = "[t] a *.*.*.*";
inline constexpr const char* kDefaultAllowIpLine = "[s] a *.*.*.*";
inline constexpr const char* kDefaultDenyIpLine = "[s] d *.*.*.*";
inline constexpr const char* kInvalidIpMaskMessage = "Invalid ip mask, please try again.";

// Highest and lowest score of a matching mask: an exact address, four wildcards.
inline constexpr int kIpScoreExact = 12;
inline constexpr int kIpScoreMin = 4;

// Text form "[%c] %c %s": origin, "a" or "d", mask. Parsing takes the origin from column 1,
// allow exactly when column 4 is "a", the mask from column 6; short lines read as absent columns.
IpRecord parse_ip_entry(std::string_view line);
std::string format_ip_entry(const IpRecord& rec);

// Scores a mask against an address: per part +3 for an exact byte, +2 for a range holding the
// byte, +1 for "*"; 0 when any part fails to match. A mask that is not four well-formed parts
// (as validate_ip_mask accepts them) scores 0 for every address, so hand-edited junk never
// matches by accident. A full match scores 4..12.
int score_ip_mask(const IpBytes& addr, std::string_view mask);

// The best entry for an address over the user's lines and then, only when no user line matched,
// the template's (nullopt: no template). Equal scores keep the earlier line.
struct IpMatch {
  enum class Source { None, User, Template };
  Source source = Source::None;
  size_t line = 0;  // index among the lines of the list (store::split_lines)
  int score = 0;
  bool allow = false;
};
IpMatch find_best_ip_entry(std::string_view user_szip,
                           std::optional<std::string_view> template_szip, const IpBytes& addr);

// Allow (true) or deny: the best entry's decision, or `default_allow` ("ballowip") when no entry
// matches.
bool select_ip_decision(std::string_view user_szip, std::optional<std::string_view> template_szip,
                        bool default_allow, const IpBytes& addr);

// The editors' check of a typed mask: exactly four parts separated by ".", each "*", a number of
// one to three digits not above 255, or a range n-m of two such numbers with n <= m.
bool validate_ip_mask(std::string_view mask);

// Parses a dotted IPv4 address "a.b.c.d" (each 0..255, 1..3 digits).
std::optional<IpBytes> parse_ip_address(std::string_view text);
std::string format_ip_address(const IpBytes& addr);

}  // namespace qorda::vfs
