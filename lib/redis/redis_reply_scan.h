#pragma once

#include "redis_protocol.h"

#include <cstddef>
#include <string_view>

// The replies a transaction gets by the thousand (+OK, +QUEUED, :n, short strings, EXEC's array of
// them) read straight from the bytes, without hiredis's tasks and callbacks. Only whole items in
// the form Redis writes them are read here; anything else (a nested array, a long string, an item
// not yet whole, a malformed one) is left to hiredis, from its first byte, so what it makes of it
// is as before.
namespace redis::scan {

// The reply whole at p that is not an array: the byte past it, or null when it is not one read
// here.
const char* scalar_at(const char* p, const char* end, reply_view& s);

// The header "*<count>\r\n" whole at p: the byte past it, or null when it is not one read here.
// count -1 is the nil array.
const char* array_header_at(const char* p, const char* end, long long& count);

// The text of a status reply; OK and QUEUED share one rather than copy it.
QByteArray status_text(std::string_view text);

}  // namespace redis::scan
