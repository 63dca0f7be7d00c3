// Writing an output file so that a reader never sees half of it and nobody else can plant
// the temporary file: a new file made by mkstemp beside the target, written, flushed to
// disk, given the mode of the file it replaces (or the usual mode under the umask), then
// renamed over the target. On failure the temporary file is removed and the target stays.
#pragma once

#include <string>

namespace host {

void WriteFileWhole(const std::string& path, const std::string& text);

}  // namespace host
