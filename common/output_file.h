// Writing an output file so that a reader never sees half of it and nobody else can plant
// the temporary file: a new file made by mkstemp beside the target, written, flushed to
// disk, given the mode and group of the regular file it replaces (or the usual mode under
// the umask), then renamed over the target: a symbolic link or a FIFO in its place is
// replaced, never written through or opened. A signal that ends the program removes the
// temporary file. On failure (of the write, or an exception of the writer) the
// temporary file is removed and the target stays.
#pragma once

#include <functional>
#include <ostream>
#include <string>

namespace host {

// The text is what `write` writes to the stream, written out as it is made: a large output
// is never held whole in memory.
void WriteFileWhole(const std::string& path, const std::function<void(std::ostream&)>& write);

}  // namespace host
