#include "command_counters.h"

void command_counters::count(const QString& type, bool known, outcome what)
{
    const auto index = static_cast<std::size_t>(what);
    if (!known) {
        ++other[index];
        return;
    }
    for (of_type& t : types) {
        if (t.type == type) {
            ++t.by_outcome[index];
            return;
        }
    }
    if (types.size() < named_types) {
        types.push_back({type, {}});
        ++types.back().by_outcome[index];
        return;
    }
    ++other[index];
}
