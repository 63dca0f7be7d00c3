#include "text.h"

#include <cstdio>
#include <cstring>

#include "command.h"

namespace host {

std::string Fixed(const std::optional<double>& v, int decimals) {
  if (!v) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, *v);
  return buf;
}

std::string CrossingText(const SeriesResult& r) {
  if (!r.daysToThreshold) return "";
  if (*r.daysToThreshold == kNeverDays) return "never";
  if (*r.daysToThreshold > kFarDays) return "> 10 years";
  return DayText(r.crossingDate);
}

std::string AckText(const SeriesResult& r) {
  if (!r.ackUntil) return {};
  std::string text = r.ackOwner.empty() ? "acknowledged" : "by " + r.ackOwner;
  text += (r.status == Status::kAcknowledged ? " until " : " (ran out ") + DayText(r.ackUntil) +
          (r.status == Status::kAcknowledged ? "" : ")");
  if (!r.ackNote.empty()) text += ": " + r.ackNote;
  return text;
}

std::string NoteText(const SeriesResult& r) {
  std::string text = AckText(r);
  for (const auto& flag : r.flags) text += (text.empty() ? "" : "; ") + flag;
  if (!r.rightSizing.empty()) {
    text += (text.empty() ? "" : "; ") + r.rightSizing;
    if (r.reclaimableShare) text += ", " + Fixed(100 * *r.reclaimableShare, 0) + "% reclaimable";
  }
  return text;
}

std::string Percent(const std::optional<float>& growth) {
  if (!growth) return "";
  char text[32];
  std::snprintf(text, sizeof text, "%+.1f%%", 100.0 * *growth);
  return text;
}

std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string MarkdownCell(const std::string& s) {
  std::string out;
  for (char c : Visible(s)) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '|':
      case '[':
      case ']':
      case '(':
      case ')':
      case '*':
      case '_':
      case '`':
      case '\\':
      case '!':
      case '#':
        out += '\\';
        out += c;
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Defused(const Cell& c, bool raw) {
  std::string text = CellText(c);
  if (raw || !std::holds_alternative<std::string>(c) || text.empty()) return text;
  return std::strchr("=+-@", text[0]) ? "'" + text : text;
}

std::map<Status, size_t> Counts(const ResultStore& results) {
  std::map<Status, size_t> counts;
  for (Status s : kAllStatuses) counts[s] = 0;
  for (size_t rank = 0; rank < results.size(); ++rank) ++counts[results.StatusAt(rank)];
  return counts;
}

}  // namespace host
