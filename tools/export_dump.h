// export_dump.h -- what kavrex-export does with a dump before loading it:
// a dump on standard input is first copied whole, and a dump whose own
// headers say it is cut short, or that is no dump at all, is refused.
#pragma once

#include <string>

namespace kavrex_export {

// Copies standard input to an unnamed file in $TMPDIR (or /tmp) and
// returns a path that opens it; "" after a message naming the dump `name`.
// The loader seeks in the file it reads (to the control block and back),
// which a pipe cannot do; the copy also lets the headers be checked before
// the load, as for any file, instead of as the loader reads. It costs the
// dump's size in the temporary directory until the program ends.
std::string copy_standard_input(const char* name);

// Reads the headers of the dump at `path` (named `name` in messages):
// "kavrex-export: NAME: not a dump file", or "kavrex-export: NAME:
// truncated dump (N of M bytes)" unless `allow_truncated`, on standard
// error, and true: the dump is not to be loaded. A file that cannot be
// opened or read is left to the loader, which tells why in its own words.
bool dump_refused(const char* path, const char* name, bool allow_truncated);

}  // namespace kavrex_export
