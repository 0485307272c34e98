// A process's handle table: handle values to the objects they stand for
// (file objects and events). Handle values are multiples of four, as on the
// platform, and are not reused within a system so that a stale handle is
// refused instead of reaching another object.
//
// Not locked itself: the owner (UserIo) guards it with its mutex.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "emu/Io.h"
#include "emu_ntddk.h"

namespace emu::detail {

struct FileRecord;

// An event object of the process (the KEVENT a Win32 event handle stands for).
struct EventObject {
    KEVENT event{};
};

class HandleTable {
public:
    using Object = std::variant<FileRecord*, std::shared_ptr<EventObject>>;

    io::Handle Insert(Object object);
    const Object* Find(io::Handle handle) const;
    std::optional<Object> Remove(io::Handle handle);
    std::vector<std::pair<io::Handle, Object>> TakeAll();
    std::size_t Count() const { return entries_.size(); }

private:
    std::map<io::Handle, Object> entries_;
    io::Handle next_ = 0x100;
};

}  // namespace emu::detail
