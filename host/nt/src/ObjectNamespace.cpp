// Object namespace: device names and symbolic links, and name lookup.
#include "ObjectNamespace.h"

#include <algorithm>

#include "Kernel.h"

namespace emu::detail {

namespace {

constexpr std::u16string_view kDosDevices = u"\\??";

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t a = text[i], b = prefix[i];
        if (a >= u'a' && a <= u'z') a = static_cast<char16_t>(a - 32);
        if (b >= u'a' && b <= u'z') b = static_cast<char16_t>(b - 32);
        if (a != b) return false;
    }
    return true;
}

// Directories that exist in the emulated namespace, by key.
bool IsKnownDirectory(std::u16string_view key) { return key.empty() || key == u"\\DEVICE" || key == u"\\??"; }

std::u16string ParentOf(std::u16string_view name) { return std::u16string(name.substr(0, name.rfind(u'\\'))); }

}  // namespace

std::string Narrow(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

std::u16string ToU16(const UNICODE_STRING* text)
{
    if (!text || !text->Buffer) return {};
    return std::u16string(text->Buffer, text->Length / sizeof(WCHAR));
}

std::u16string ObjectNamespace::Canonical(std::u16string_view name)
{
    for (std::u16string_view alias : {std::u16string_view(u"\\DosDevices"), std::u16string_view(u"\\GLOBAL??")}) {
        if (StartsWithNoCase(name, alias) && (name.size() == alias.size() || name[alias.size()] == u'\\')) {
            return std::u16string(kDosDevices) + std::u16string(name.substr(alias.size()));
        }
    }
    return std::u16string(name);
}

std::u16string ObjectNamespace::Key(std::u16string_view canonicalName)
{
    std::u16string key(canonicalName);
    for (char16_t& c : key) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c = static_cast<char16_t>(c - 32);
    }
    return key;
}

NTSTATUS ObjectNamespace::CheckPlace(std::u16string_view canonicalName)
{
    if (canonicalName.size() < 2 || canonicalName.front() != u'\\' || canonicalName.back() == u'\\' ||
        canonicalName.find(u"\\\\") != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string key = Key(canonicalName);
    if (IsKnownDirectory(key)) return STATUS_OBJECT_NAME_COLLISION;
    if (!IsKnownDirectory(ParentOf(key))) return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::InsertDevice(std::u16string_view name, PDEVICE_OBJECT device)
{
    std::u16string canonical = Canonical(name);
    NTSTATUS status = CheckPlace(canonical);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(mutex_);
    auto [it, inserted] = entries_.try_emplace(Key(canonical));
    if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
    it->second = Entry{canonical, device, {}, nextOrder_++};
    return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [device](const auto& item) { return item.second.device == device; });
}

NTSTATUS ObjectNamespace::CreateLink(std::u16string_view link, std::u16string_view target)
{
    std::u16string canonical = Canonical(link);
    NTSTATUS status = CheckPlace(canonical);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard lock(mutex_);
    auto [it, inserted] = entries_.try_emplace(Key(canonical));
    if (!inserted) return STATUS_OBJECT_NAME_COLLISION;
    it->second = Entry{canonical, nullptr, std::u16string(target), nextOrder_++};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::DeleteLink(std::u16string_view link)
{
    std::u16string key = Key(Canonical(link));
    std::lock_guard lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (it->second.device) return STATUS_OBJECT_TYPE_MISMATCH;
    entries_.erase(it);
    return STATUS_SUCCESS;
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view link) const
{
    std::lock_guard lock(mutex_);
    auto it = entries_.find(Key(Canonical(link)));
    if (it == entries_.end() || it->second.device) return std::nullopt;
    return it->second.linkTarget;
}

std::vector<ObjectNamespace::LinkEntry> ObjectNamespace::Links() const
{
    std::vector<const Entry*> links;
    std::lock_guard lock(mutex_);
    for (const auto& [key, entry] : entries_) {
        if (!entry.device) links.push_back(&entry);
    }
    std::sort(links.begin(), links.end(), [](const Entry* a, const Entry* b) { return a->order < b->order; });
    std::vector<LinkEntry> out;
    for (const Entry* entry : links) out.push_back(LinkEntry{entry->name, entry->linkTarget});
    return out;
}

ObjectNamespace::Resolution ObjectNamespace::Resolve(std::u16string_view name) const
{
    std::u16string current = Canonical(name);
    std::lock_guard lock(mutex_);
    for (int reparse = 0; reparse <= kMaxReparse; ++reparse) {
        if (current.empty() || current.front() != u'\\') return Resolution{STATUS_OBJECT_NAME_INVALID};
        std::u16string key = Key(current);
        bool followed = false;
        // The longest leading run of whole components that names an object.
        for (std::size_t end = key.size(); end > 0; end = key.rfind(u'\\', end - 1)) {
            auto it = entries_.find(key.substr(0, end));
            if (it == entries_.end()) continue;
            std::u16string rest = current.substr(end);
            if (it->second.device) {
                ObReferenceObject(it->second.device);
                return Resolution{STATUS_SUCCESS, it->second.device, rest};
            }
            current = Canonical(it->second.linkTarget + rest);
            followed = true;
            break;
        }
        if (!followed) {
            bool directoryExists = IsKnownDirectory(ParentOf(key));
            return Resolution{directoryExists ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND};
        }
    }
    return Resolution{STATUS_OBJECT_NAME_NOT_FOUND};  // a loop of links
}

void ObjectNamespace::ReportLeakedLinks()
{
    for (const LinkEntry& link : Links()) {
        Violation(Rule::HandleLeak, nullptr,
                  "symbolic link " + Narrow(link.name) + " -> " + Narrow(link.target) +
                      " was never deleted (IoDeleteSymbolicLink)");
        DeleteLink(link.name);
    }
}

}  // namespace emu::detail
