// What the writers of the report's forms share: numbers, crossings and growth as a person
// reads them, escaping for HTML and Markdown, CSV cells a spreadsheet will not run, and
// the counts of each status.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "columns.h"
#include "result_store.h"

namespace host {

// A number to `decimals` places; nothing for none.
std::string Fixed(const std::optional<double>& v, int decimals = 2);
// The crossing as a person reads it: "never", "> 10 years" beyond ten years, else the day.
std::string CrossingText(const SeriesResult& r);
// The row's acknowledgement as a person reads it ("by ops until 2027-01-31: disks
// ordered"); empty for none.
std::string AckText(const SeriesResult& r);
// What the table's note says: the acknowledgement, then the flags.
std::string NoteText(const SeriesResult& r);
// A growth rate as a person reads it: "+4.2%".
std::string Percent(const std::optional<float>& growth);
std::string HtmlEscape(const std::string& s);
// A Markdown cell: HTML, link and emphasis syntax escaped, so that a name renders as text.
std::string MarkdownCell(const std::string& s);
// A text cell a spreadsheet would run as a formula ("=...", "+...", "-...", "@...") gets a
// leading apostrophe; numbers stay as they are. `raw` (--csv-raw) turns this off.
std::string Defused(const Cell& c, bool raw);
// How many results have each status (every status, 0 for none).
std::map<Status, size_t> Counts(const ResultStore& results);

}  // namespace host
