// The CSV form: every column, RFC 4180 with CRLF line ends.
#include "csv.h"

#include "text.h"
#include "writers.h"

namespace host {

void WriteCsv(std::ostream& out, const ResultStore& results, bool raw) {
  const auto& columns = results.columns();
  for (size_t c = 0; c < columns.size(); ++c) out << (c ? "," : "") << columns[c].name;
  out << "\r\n";
  for (const auto& r : results) {
    for (size_t c = 0; c < columns.size(); ++c)
      out << (c ? "," : "") << CsvField(Defused(columns[c].get(r), raw));
    out << "\r\n";
  }
}

}  // namespace host
