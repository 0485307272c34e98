// The process handle table.
#include "HandleTable.h"

namespace emu::detail {

io::Handle HandleTable::Insert(Object object)
{
    io::Handle handle = next_;
    next_ += 4;
    entries_.emplace(handle, std::move(object));
    return handle;
}

const HandleTable::Object* HandleTable::Find(io::Handle handle) const
{
    auto it = entries_.find(handle);
    return it == entries_.end() ? nullptr : &it->second;
}

std::optional<HandleTable::Object> HandleTable::Remove(io::Handle handle)
{
    auto it = entries_.find(handle);
    if (it == entries_.end()) return std::nullopt;
    Object object = std::move(it->second);
    entries_.erase(it);
    return object;
}

std::vector<std::pair<io::Handle, HandleTable::Object>> HandleTable::TakeAll()
{
    std::vector<std::pair<io::Handle, Object>> all(entries_.begin(), entries_.end());
    entries_.clear();
    return all;
}

}  // namespace emu::detail
